// The option scanner: argument vectors in, record fields and messages out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Log.h"
#include "app/Parameters.h"

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> infos;
    std::vector<std::string> errors;
};

struct Scan {
    int result = -1;
    Parameters p;
    RecordingDisplay display;
    std::vector<std::string> argvAfter;
};

// Runs _get_params on "Updater" + args with a clean log mask.
Scan scan(std::vector<std::string> args, FILE* log = nullptr) {
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::SetOutput(log);
    Scan s;
    args.insert(args.begin(), "/usr/local/bin/Updater");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    s.result = _get_params(s.display, static_cast<int>(args.size()), argv.data(), s.p);
    for (size_t i = 0; i < args.size(); ++i) s.argvAfter.push_back(argv[i]);
    Log::DeactivatePackage(0xFFFFFFFF);
    Log::SetOutput(nullptr);
    return s;
}

TEST(CommandsClass, SetAndMaskTest) {
    CommandsClass c;
    EXPECT_FALSE(c.IsSet(0xFFFFFFFF));
    EXPECT_TRUE(c.Set(CMD_UPDATE));
    EXPECT_TRUE(c.IsSet(CMD_DISCOVER | CMD_UPDATE));
    EXPECT_FALSE(c.IsSet(CMD_DISCOVER));
    EXPECT_FALSE(CommandsClass().Set(0));
}

TEST(Parameters, DefaultsWithoutArguments) {
    Scan s = scan({});
    EXPECT_EQ(0, s.result);
    EXPECT_EQ(0u, s.p.commands.Value());
    EXPECT_EQ(0u, s.p.serialNumber);
    EXPECT_EQ(0u, s.p.routerSerial);
    EXPECT_EQ(1u, s.p.transport);
    EXPECT_FALSE(s.p.transportGiven);
    EXPECT_EQ(115200u, s.p.baudRate);
    EXPECT_EQ(0u, s.p.moduleAddress);
    EXPECT_EQ("", s.p.buildNumber);
    EXPECT_EQ(UPDATE_SERVER_HTTP_URL, s.p.updateServerUrl);
    EXPECT_EQ("", s.p.storeDirectory);
    EXPECT_EQ("Updater", s.p.appName);
    EXPECT_EQ("a+", s.p.logFileMode);
    EXPECT_EQ("Updater.log", s.p.logFileName);
    EXPECT_TRUE(s.p.useUEIBytes);
    EXPECT_FALSE(s.p.overrideModelCheck);
    EXPECT_FALSE(s.p.debugMaskGiven);
    EXPECT_FALSE(s.p.helpRequested);
    EXPECT_TRUE(s.display.errors.empty());
}

TEST(Parameters, DefaultUrlsUseOneHostAndTheQueryPath) {
    EXPECT_EQ(std::string("http://") + UPDATE_SERVER_HOST + "/cgi/u", UPDATE_SERVER_HTTP_URL);
    EXPECT_EQ(std::string("https://") + UPDATE_SERVER_HOST + "/cgi/u", UPDATE_SERVER_HTTPS_URL);
}

TEST(Parameters, AppNameDropsDirectoriesOfEitherSeparator) {
    Log::SetOutput(nullptr);
    RecordingDisplay d;
    Parameters p;
    char a0[] = "C:\\tools\\bin/x\\Upd";
    char* argv[] = {a0, nullptr};
    EXPECT_EQ(0, _get_params(d, 1, argv, p));
    EXPECT_EQ("Upd", p.appName);
}

// Accepted options and the field each one sets; none of them reports anything.
TEST(Parameters, AcceptedOptions) {
    struct Case {
        std::vector<std::string> args;
        uint32_t commands;
        uint32_t serial;
    };
    const Case cases[] = {
        {{"-D"}, CMD_DISCOVER, 0},
        {{"-U", "-d", "40F5849A"}, CMD_UPDATE, 0x40F5849A},
        {{"-B", "-L", "-G", "-I", "-N", "-C"},
         CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS | CMD_GET_BUILD | CMD_VIEW_INFO | CMD_FINGERPRINT |
             CMD_CHECK_BIRDFILE,
         0},
        {{"-d", "0x40F5849A"}, 0, 0x40F5849A},
        {{"-d", "0X40F5849A"}, 0, 0x40F5849A},
        {{"-d", "40f5849a"}, 0, 0x40F5849A},
        {{"-d=40F5849A"}, 0, 0x40F5849A},
        {{"-d", "123456789"}, 0, 0x23456789},  // low 32 bits
        {{"-d", "1", "-d", "2"}, 0, 2},        // a later value overwrites
        {{"-Z", "anything"}, CMD_Z, 0},
        {{"-d"}, 0, 0},                   // missing argument: skipped silently
        {{"-d", "-D"}, CMD_DISCOVER, 0},  // -D still taken as a command
        {{"-GU", "-Hh", "-q", "-b123", "--htt", "stray", "-", "--", "-help"}, 0, 0},
        {{"-D=1"}, 0, 0},  // unexpected argument: skipped
        {{"--he"}, CMD_HELP, 0},
        {{"-OVER", "-D"}, CMD_DISCOVER, 0},
        {{"-O"}, 0, 0},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const auto& a : c.args) name += a + " ";
        SCOPED_TRACE(name);
        Scan s = scan(c.args);
        EXPECT_EQ(0, s.result);
        EXPECT_EQ(c.commands, s.p.commands.Value());
        EXPECT_EQ(c.serial, s.p.serialNumber);
        EXPECT_TRUE(s.display.errors.empty());
        EXPECT_TRUE(s.display.infos.empty());
    }
}

TEST(Parameters, ValueOptions) {
    Scan s = scan({"-b", "007",        "-o", "9600",     "-s",       "/dev/ttyUSB0", "-f", "a.bird",
                   "-i", "/data/fw",   "-l", "log text", "-k",       "k.log",        "-e", "-n",
                   "-r", "0xD272031D", "-m", "0",        "-OVERRIDE"});
    EXPECT_EQ(0, s.result);
    EXPECT_EQ("7", s.p.buildNumber);
    EXPECT_EQ(9600u, s.p.baudRate);
    EXPECT_EQ("/dev/ttyUSB0", s.p.serialPort);
    EXPECT_EQ("a.bird", s.p.birdFile);
    EXPECT_EQ("/data/fw", s.p.storeDirectory);
    EXPECT_EQ("log text", s.p.logMessage);
    EXPECT_EQ("k.log", s.p.logFileName);
    EXPECT_TRUE(s.p.echo);
    EXPECT_TRUE(s.p.flagN);
    EXPECT_EQ(0xD272031Du, s.p.routerSerial);
    EXPECT_FALSE(s.p.useUEIBytes);
    EXPECT_TRUE(s.p.overrideModelCheck);
    EXPECT_EQ(0u, s.p.commands.Value());  // -OVERRIDE sets no command bit

    EXPECT_EQ("0", scan({"-b", "abc"}).p.buildNumber);
    EXPECT_EQ(0u, scan({"-o", "fast"}).p.baudRate);
    EXPECT_EQ("4294967295", scan({"-b", "4294967295"}).p.buildNumber);
}

TEST(Parameters, UEIBytesFlag) {
    const struct {
        const char* arg;
        bool expected;
    } cases[] = {{"1", true},  {"10", true},   {"true", true},  {"trueish", true},
                 {"0", false}, {"tru", false}, {"TRUE", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        EXPECT_EQ(c.expected, scan({"-m", c.arg}).p.useUEIBytes);
    }
}

TEST(Parameters, Transport) {
    const struct {
        const char* arg;
        uint32_t transport;
        int result;
    } cases[] = {{"USB", 1, 0},   {"USBX", 1, 0},       {"TCP", 2, 0},
                 {"TCPIP", 2, 0}, {"RECOVER", 0xFF, 0}, {"RECOVERY", 0xFF, 0},
                 {"tcp", 0, 1},   {"RECOV", 0, 1},      {"US", 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        Scan s = scan({"-t", c.arg});
        EXPECT_EQ(c.result, s.result);
        EXPECT_EQ(c.transport, s.p.transport);
        EXPECT_TRUE(s.p.transportGiven);
        if (c.result) {
            ASSERT_EQ(1u, s.display.errors.size());
            EXPECT_EQ(std::string("Invalid transport type:[") + c.arg +
                          "]\nMust be one of the following: USB, TCPIP, RECOVER",
                      s.display.errors[0]);
        }
    }
}

// Every failing case with its exact messages.
TEST(Parameters, ScanErrors) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> errors;
    };
    const std::string multi =
        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.";
    const Case cases[] = {
        {{"-d", "0x"}, {"Invalid serial number obtained from argument []"}},
        {{"-d", "00000000"}, {"Invalid serial number obtained from argument [00000000]"}},
        {{"-d", "40F5849G"}, {"Invalid serial number obtained from argument [40F5849G]"}},
        {{"-d="}, {"Invalid serial number obtained from argument []"}},
        {{"-r", "0Xzz"}, {"Invalid router serial number obtained from argument [zz]"}},
        {{"-Y"}, {"Unhandled command: [-Y]"}},
        {{"--http", "--http"}, {multi}},
        {{"--http", "--https"}, {multi}},
        {{"--https", "-u", "host:1234"}, {multi}},
        {{"-d", "xyz", "-r", "0", "-Y", "-D"},
         {"Invalid serial number obtained from argument [xyz]",
          "Invalid router serial number obtained from argument [0]", "Unhandled command: [-Y]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        Scan s = scan(c.args);
        EXPECT_EQ(1, s.result);
        EXPECT_EQ(c.errors, s.display.errors);
        EXPECT_TRUE(s.display.infos.empty());
    }
}

TEST(Parameters, ServerUrlChoice) {
    EXPECT_EQ(UPDATE_SERVER_HTTPS_URL, scan({"--https"}).p.updateServerUrl);
    EXPECT_EQ(UPDATE_SERVER_HTTP_URL, scan({"--http"}).p.updateServerUrl);
    Scan s = scan({"-u", "host:1234"});
    EXPECT_EQ(0, s.result);
    EXPECT_EQ("host:1234", s.p.updateServerUrl);
}

TEST(Parameters, HelpStopsTheScan) {
    Scan s = scan({"-h", "-d", "xyz"});
    EXPECT_EQ(0, s.result);
    EXPECT_TRUE(s.p.helpRequested);
    EXPECT_TRUE(s.p.commands.IsSet(CMD_HELP));
    EXPECT_TRUE(s.display.errors.empty());
    EXPECT_EQ(0u, s.p.serialNumber);

    s = scan({"-d", "xyz", "--help", "-Y"});
    EXPECT_EQ(0, s.result);  // an earlier error does not make help fail
    EXPECT_EQ(std::vector<std::string>{"Invalid serial number obtained from argument [xyz]"},
              s.display.errors);

    for (const char* help : {"-H", "--help", "--he", "--hel"}) {
        SCOPED_TRACE(help);
        EXPECT_TRUE(scan({help, "--http", "--http"}).p.helpRequested);
    }
}

TEST(Parameters, DebugMask) {
    Log::DeactivatePackage(0xFFFFFFFF);
    RecordingDisplay d;
    Parameters p;
    std::string args[] = {"Updater", "-X", "0x10", "-X", "1"};
    char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0], &args[4][0], nullptr};
    EXPECT_EQ(0, _get_params(d, 5, argv, p));
    EXPECT_EQ(0x11u, Log::package_bitmask);  // accumulates
    EXPECT_EQ(1u, p.debugMask);
    EXPECT_TRUE(p.debugMaskGiven);
    Log::DeactivatePackage(0xFFFFFFFF);

    Scan s = scan({"-X", "12z"});
    EXPECT_EQ(0, s.result);  // reported but not a failure
    EXPECT_TRUE(s.p.debugMaskGiven);
    EXPECT_EQ(
        std::vector<std::string>{"Invalid format for \"-X\" parameter, unprocessed characters [z]"},
        s.display.errors);

    EXPECT_EQ(0x1FFFFFFFFull & 0xFFFFFFFF, scan({"-X", "0x1FFFFFFFF"}).p.debugMask);
    EXPECT_EQ(255u, scan({"-X=0XfF"}).p.debugMask);
    EXPECT_EQ(10u, scan({"-X", " 10"}).p.debugMask);
}

TEST(Parameters, NumberReaders) {
    char* end = nullptr;
    EXPECT_EQ(0u, _get_hex_arg("1A", nullptr));
    EXPECT_EQ(0x1Au, _get_hex_arg("1A", &end));
    EXPECT_EQ('\0', *end);
    char* untouched = reinterpret_cast<char*>(&end);
    char* e2 = untouched;
    EXPECT_EQ(0u, _get_hex_arg("1G", &e2));
    EXPECT_EQ(untouched, e2);
    EXPECT_EQ(0u, _get_hex_arg("", &end));
    EXPECT_EQ(0u, _get_int_arg("12", nullptr));
    EXPECT_EQ(12u, _get_int_arg("12", &end));
    EXPECT_EQ(0u, _get_int_arg("1A", &end));
    EXPECT_EQ(0u, _get_int_arg("-1", &end));
    EXPECT_EQ(0u, _get_int_arg(" 1", &end));
    EXPECT_EQ(705032704u, _get_int_arg("5000000000", &end));  // low 32 bits
}

// The log lines of the scan, with argv as the scanner leaves it.
TEST(Parameters, LogsHomeAndArguments) {
    char buffer[4096] = {};
    FILE* log = fmemopen(buffer, sizeof(buffer) - 1, "w");
    ASSERT_NE(nullptr, log);
    setvbuf(log, nullptr, _IONBF, 0);
    Scan s = scan({"word", "-X", "0x10000", "-d", "0x1", "other", "-D"}, log);
    fclose(log);
    EXPECT_EQ(0, s.result);
    const std::vector<std::string> reordered = {
        "/usr/local/bin/Updater", "-X", "0x10000", "-d", "0x1", "-D", "word", "other"};
    EXPECT_EQ(reordered, s.argvAfter);
    // Home directory is logged before -X is seen, and the 0x prefix line
    // belongs to package 1, which is not active.
    const std::string expected =
        "\nApplication parameters:[Updater]\n"
        "\t[/usr/local/bin/Updater]\n\t[-X]\n\t[0x10000]\n\t[-d]\n\t[0x1]\n\t[-D]\n\t[word]\n"
        "\t[other]\n";
    EXPECT_EQ(expected, std::string(buffer));

    char buffer2[4096] = {};
    log = fmemopen(buffer2, sizeof(buffer2) - 1, "w");
    setvbuf(log, nullptr, _IONBF, 0);
    scan({"-X", "1", "-d", "0x1", "-r", "0X2"}, log);
    fclose(log);
    EXPECT_EQ("Discarding '0x' serial number prefix\nDiscarding '0x' router serial number prefix\n",
              std::string(buffer2));
}

}  // namespace
