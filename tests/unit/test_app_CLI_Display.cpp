// Console display: which stream each message goes to, the 2047-character cut,
// muting, and the progress bar and spinner on a terminal and off one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/CLI_Display.h"

namespace {

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0) text.append(buffer, n);
    return text;
}

// Points file descriptor `target` (1 or 2) at a temporary file while alive.
class Capture {
  public:
    explicit Capture(int target) : target(target) {
        char path[] = "/tmp/cli-display-XXXXXX";
        fd = mkstemp(path);
        unlink(path);
        fflush(nullptr);
        saved = dup(target);
        dup2(fd, target);
    }
    std::string finish() {
        fflush(nullptr);
        dup2(saved, target);
        close(saved);
        lseek(fd, 0, SEEK_SET);
        std::string text = readAll(fd);
        close(fd);
        return text;
    }

  private:
    int target;
    int fd = -1;
    int saved = -1;
};

// Points standard output at the slave side of a raw pseudo-terminal.
class Terminal {
  public:
    Terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        if (slave < 0) return;
        termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        fflush(stdout);
        saved = dup(1);
        dup2(slave, 1);
    }
    bool ok() const { return saved >= 0; }
    // Restores standard output and returns what was written to the terminal.
    std::string finish() {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(slave);
        fcntl(master, F_SETFL, O_NONBLOCK);
        std::string text = readAll(master);
        close(master);
        return text;
    }

  private:
    int master = -1;
    int slave = -1;
    int saved = -1;
};

void drawEverything(CLI_Display& display) {
    display.update_progress(0.5, nullptr);
    display.update_progress(1.0, "label");
    display.display_progress(true);
    display.display_progress(false);
    display.update_spinner(true, nullptr);
    display.update_spinner(true, "x");
    display.update_spinner(false, nullptr);
}

TEST(CLI_Display, LevelsGoToTheirStreams) {
    CLI_Display display;
    Capture out(1), err(2);
    display.message(UpdaterDisplayInterface::Info, "info %d", 1);
    display.message(UpdaterDisplayInterface::Error, "error %s", "two");
    display.message(7, "other level");
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::Info, "muted info");
    display.message(UpdaterDisplayInterface::Error, "muted error");
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::Error, "after");
    const std::string errText = err.finish();
    const std::string outText = out.finish();
    EXPECT_EQ("info 1\nother level\n", outText);
    EXPECT_EQ("error two\nafter\n", errText);
}

TEST(CLI_Display, LongMessageIsCutAndStillEndsTheLine) {
    CLI_Display display;
    const std::string longText(3000, 'a');
    Capture out(1);
    display.message(UpdaterDisplayInterface::Info, "%s", longText.c_str());
    EXPECT_EQ(std::string(2047, 'a') + "\n", out.finish());
}

TEST(CLI_Display, NothingDrawnWhenOutputIsNotATerminal) {
    CLI_Display display;
    Capture out(1), err(2);
    drawEverything(display);
    display.message(UpdaterDisplayInterface::Info, "line");
    EXPECT_EQ("", err.finish());
    EXPECT_EQ("line\n", out.finish());
}

TEST(CLI_Display, ProgressBarAndSpinnerOnATerminal) {
    CLI_Display display;
    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    display.update_progress(0.0, nullptr);
    display.update_progress(0.5, nullptr);
    display.update_progress(1.0, nullptr);
    display.update_progress(0.25, "abc");
    display.display_progress(true);
    display.display_progress(false);
    const std::string text = terminal.finish();

    const std::string bar(69, '=');
    std::string expected;
    expected += "\r[>" + std::string(68, ' ') + "] (  0% ) ";
    expected += "\r[" + bar.substr(0, 34) + ">" + std::string(34, ' ') + "] ( 50% ) ";
    expected += "\r[" + bar + "> ] (100% ) ";  // width -1 prints one blank
    // With a label the bar is 69 - 3 - 4 = 62 wide; a quarter fills 15.
    expected += "\r (abc) [" + bar.substr(0, 15) + ">" + std::string(46, ' ') + "] ( 25% ) ";
    expected += "\r" + std::string(88, ' ') + "\r";
    EXPECT_EQ(expected, text);
}

TEST(CLI_Display, ProgressKeepsOutOfRangeFractionsInsideTheBar) {
    CLI_Display display;
    Terminal terminal;
    ASSERT_TRUE(terminal.ok());
    display.update_progress(-0.5, nullptr);
    display.update_progress(1.5, nullptr);
    display.update_progress(0.5, std::string(80, 'L').c_str());  // no room for a bar
    const std::string text = terminal.finish();
    const std::string expected = "\r[>" + std::string(68, ' ') + "] (  0% ) " + "\r[" +
                                 std::string(69, '=') + "> ] (100% ) " + "\r (" +
                                 std::string(80, 'L') + ") [>] ( 50% ) ";
    EXPECT_EQ(expected, text);
}

TEST(CLI_Display, SpinnerCyclesAndKeepsItsFrameWhenSwitchedOff) {
    const std::string frames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};
    CLI_Display display;
    // The counter is shared by the process: eight calls show each frame once,
    // and where "." falls tells where the counter stood.
    Terminal first;
    ASSERT_TRUE(first.ok());
    for (int i = 0; i < 8; ++i) display.update_spinner(true, nullptr);
    const std::string cycle = first.finish();
    int start = -1;
    for (int s = 0; s < 8 && start < 0; ++s) {
        std::string expected;
        for (int i = 0; i < 8; ++i) expected += "\r " + frames[(s + i) % 8] + "      \r";
        if (cycle == expected) start = s;
    }
    ASSERT_GE(start, 0) << cycle;

    // Switching off clears the line and does not reset the counter.
    Terminal second;
    ASSERT_TRUE(second.ok());
    std::string expected;
    int index = start;
    for (int i = 0; i < 6; ++i) {
        display.update_spinner(true, i % 2 ? "lbl" : nullptr);
        expected += (i % 2 ? "\r (lbl) " : "\r ") + frames[index] + "      \r";
        index = (index + 1) % 8;
        if (i == 2) {
            display.update_spinner(false, "lbl");
            expected += "\r" + std::string(88, ' ') + "\r";
        }
    }
    EXPECT_EQ(expected, second.finish());
}

}  // namespace
