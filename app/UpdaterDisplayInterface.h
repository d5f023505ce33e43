// The user-facing display: messages at two levels, a progress bar and a
// spinner. Every Updater operation prints only through this interface.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { Info = 0, Error = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into 2048 bytes (cut to 2047 characters); level 1 goes to
    // error_message, every other level to info_message. Nothing when muted.
    void message(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }

protected:
    bool muted = false;
};
