// Console display: information lines on the standard output, error lines on
// the standard error stream, and a progress bar and spinner that are drawn
// only when the standard output is a terminal.
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
  public:
    // Makes the standard output and error streams unbuffered.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
