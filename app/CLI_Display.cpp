#include "CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const int kBarWidth = 69;
const char kBar[] = "=====================================================================";
static_assert(sizeof(kBar) == kBarWidth + 1, "the bar text is as wide as the bar");

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

// Shared by every display; touched only by the thread that draws.
uint8_t spinnerFrame = 0;

bool stdoutIsTerminal() {
    return isatty(fileno(stdout)) == 1;
}

void clearLine() {
    std::fprintf(stdout, "\r%*s\r", 88, " ");
}

}  // namespace

CLI_Display::CLI_Display() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::info_message(const char* text) {
    std::fprintf(stdout, "%s\n", text);
}

void CLI_Display::error_message(const char* text) {
    std::fprintf(stderr, "%s\n", text);
}

void CLI_Display::display_progress(bool show) {
    if (!stdoutIsTerminal()) return;
    if (!show) clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!stdoutIsTerminal()) return;
    // Out-of-range fractions would overrun the bar; keep them within [0, 1].
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;

    int width = kBarWidth;
    if (label) width = kBarWidth - static_cast<int>(std::strlen(label)) - 4;
    if (width < 1) width = 1;  // a very long label leaves a one-character bar
    const int filled = static_cast<int>(width * fraction);
    const int percent = static_cast<int>(fraction * 100.0);
    if (label)
        std::fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar,
                     width - filled - 1, "", percent);
    else
        std::fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, width - filled - 1, "",
                     percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
    if (!stdoutIsTerminal()) return;
    if (!on) {
        clearLine();
        return;
    }
    const char* frame = kSpinnerFrames[spinnerFrame];
    spinnerFrame = static_cast<uint8_t>((spinnerFrame + 1) % 8);
    if (label)
        std::fprintf(stdout, "\r (%s) %s      \r", label, frame);
    else
        std::fprintf(stdout, "\r %s      \r", frame);
}
