#include "Parameters.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Log.h"
#include "Lumivance2/common/aDirectory.h"

#define UPDATE_SERVER_HOST_TEXT "updates.lumivance.example"

const char* const UPDATE_SERVER_HOST = UPDATE_SERVER_HOST_TEXT;
const char* const UPDATE_SERVER_HTTP_URL = "http://" UPDATE_SERVER_HOST_TEXT "/cgi/u";
const char* const UPDATE_SERVER_HTTPS_URL = "https://" UPDATE_SERVER_HOST_TEXT "/cgi/u";

namespace {

enum OptionKind { OPT_COMMAND, OPT_HELP, OPT_PARAMETER, OPT_HTTP, OPT_HTTPS };

struct Option {
    const char* text;
    OptionKind kind;
    bool takesArgument;
};

// Scanned in this order; the first exact match wins.
const Option kOptions[] = {
    {"-B", OPT_COMMAND, false},        {"-L", OPT_COMMAND, false},  {"-D", OPT_COMMAND, false},
    {"-G", OPT_COMMAND, false},        {"-I", OPT_COMMAND, false},  {"-U", OPT_COMMAND, false},
    {"-OVERRIDE", OPT_COMMAND, false}, {"-N", OPT_COMMAND, false},  {"-Y", OPT_COMMAND, false},
    {"-C", OPT_COMMAND, false},        {"-h", OPT_HELP, false},     {"-H", OPT_HELP, false},
    {"-n", OPT_PARAMETER, false},      {"-X", OPT_PARAMETER, true}, {"-Z", OPT_PARAMETER, true},
    {"-m", OPT_PARAMETER, true},       {"-i", OPT_PARAMETER, true}, {"-b", OPT_PARAMETER, true},
    {"-d", OPT_PARAMETER, true},       {"-t", OPT_PARAMETER, true}, {"-f", OPT_PARAMETER, true},
    {"-r", OPT_PARAMETER, true},       {"-s", OPT_PARAMETER, true}, {"-o", OPT_PARAMETER, true},
    {"-e", OPT_PARAMETER, false},      {"-l", OPT_PARAMETER, true}, {"-k", OPT_PARAMETER, true},
    {"-u", OPT_PARAMETER, true},       {"--help", OPT_HELP, false}, {"--http", OPT_HTTP, false},
    {"--https", OPT_HTTPS, false},
};
const size_t kOptionCount = sizeof(kOptions) / sizeof(kOptions[0]);

size_t leadingHyphens(const char* text) {
    size_t n = 0;
    while (text[n] == '-') ++n;
    return n;
}

// The table entry that `name` (an option without its "=argument") selects:
// an exact match, else the one entry it abbreviates. nullptr when it is
// unknown or ambiguous.
const Option* findOption(const std::string& name) {
    for (size_t i = 0; i < kOptionCount; ++i)
        if (name == kOptions[i].text) return &kOptions[i];

    const size_t hyphens = leadingHyphens(name.c_str());
    const size_t rest = name.size() - hyphens;
    if (rest == 0) return nullptr;
    const Option* found = nullptr;
    for (size_t i = 0; i < kOptionCount; ++i) {
        const char* entry = kOptions[i].text;
        if (leadingHyphens(entry) != hyphens) continue;
        const size_t entryRest = std::strlen(entry) - hyphens;
        if (rest >= entryRest) continue;  // a proper prefix only
        if (name.compare(hyphens, rest, entry + hyphens, rest) != 0) continue;
        if (found) return nullptr;  // ambiguous
        found = &kOptions[i];
    }
    return found;
}

// What one accepted option asks of the record.
class OptionHandler {
  public:
    OptionHandler(UpdaterDisplayInterface& display, Parameters& parameters)
        : display(display), p(parameters) {}

    // Returns true when scanning is to stop (a help option).
    bool handle(const Option& option, const char* argument);

    bool failed = false;
    int serverChoices = 0;

  private:
    uint32_t serial(const char* argument, const char* prefixLog, const char* invalidFormat);
    void debugMask(const char* argument);

    UpdaterDisplayInterface& display;
    Parameters& p;
};

uint32_t OptionHandler::serial(const char* argument, const char* prefixLog,
                               const char* invalidFormat) {
    if (argument[0] == '0' && (argument[1] == 'x' || argument[1] == 'X')) {
        argument += 2;
        Log::log(DEBUG_Updater, "%s", prefixLog);
    }
    char* end = nullptr;
    uint32_t value = _get_hex_arg(argument, &end);
    if (value == 0) {
        display.message(UpdaterDisplayInterface::Error, invalidFormat, argument);
        failed = true;
    }
    return value;
}

void OptionHandler::debugMask(const char* argument) {
    p.debugMaskGiven = true;
    const bool hex = argument[0] == '0' && (argument[1] == 'x' || argument[1] == 'X');
    char* end = nullptr;
    unsigned long long value = std::strtoull(argument, &end, hex ? 16 : 10);
    p.debugMask = static_cast<uint32_t>(value);
    if (end && *end != '\0') {
        display.message(UpdaterDisplayInterface::Error,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X",
                        end);
        return;  // the mask is not activated, and the run goes on
    }
    Log::ActivatePackage(p.debugMask);
}

bool OptionHandler::handle(const Option& option, const char* argument) {
    const std::string text = option.text;
    switch (option.kind) {
        case OPT_HELP:
            p.commands.Set(CMD_HELP);
            p.helpRequested = true;
            return true;
        case OPT_HTTP:
            p.updateServerUrl = UPDATE_SERVER_HTTP_URL;
            ++serverChoices;
            return false;
        case OPT_HTTPS:
            p.updateServerUrl = UPDATE_SERVER_HTTPS_URL;
            ++serverChoices;
            return false;
        case OPT_COMMAND:
            if (text == "-B")
                p.commands.Set(CMD_LIST_BUILDS);
            else if (text == "-L")
                p.commands.Set(CMD_LIST_LOCAL_BUILDS);
            else if (text == "-D")
                p.commands.Set(CMD_DISCOVER);
            else if (text == "-G")
                p.commands.Set(CMD_GET_BUILD);
            else if (text == "-I")
                p.commands.Set(CMD_VIEW_INFO);
            else if (text == "-U")
                p.commands.Set(CMD_UPDATE);
            else if (text == "-OVERRIDE")
                p.overrideModelCheck = true;
            else if (text == "-N")
                p.commands.Set(CMD_FINGERPRINT);
            else if (text == "-C")
                p.commands.Set(CMD_CHECK_BIRDFILE);
            else {
                display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]",
                                option.text);
                failed = true;
            }
            return false;
        case OPT_PARAMETER:
            break;
    }

    switch (text[1]) {
        case 'X':
            debugMask(argument);
            break;
        case 'Z':
            p.commands.Set(CMD_Z);
            break;
        case 'm':
            p.useUEIBytes = argument[0] == '1' || std::strncmp(argument, "true", 4) == 0;
            break;
        case 'i':
            p.storeDirectory = argument;
            break;
        case 'b': {
            char* end = nullptr;
            p.buildNumber = std::to_string(_get_int_arg(argument, &end));
            break;
        }
        case 'd':
            p.serialNumber = serial(argument, "Discarding '0x' serial number prefix\n",
                                    "Invalid serial number obtained from argument [%s]");
            break;
        case 'r':
            p.routerSerial = serial(argument, "Discarding '0x' router serial number prefix\n",
                                    "Invalid router serial number obtained from argument [%s]");
            break;
        case 't':
            p.transportGiven = true;
            if (std::strncmp(argument, "USB", 3) == 0) {
                p.transport = 1;
            } else if (std::strncmp(argument, "TCP", 3) == 0) {
                p.transport = 2;
            } else if (std::strncmp(argument, "RECOVER", 7) == 0) {
                p.transport = TRANSPORT_RECOVER;
            } else {
                display.message(UpdaterDisplayInterface::Error,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                argument);
                p.transport = 0;
                failed = true;
            }
            break;
        case 'f':
            p.birdFile = argument;
            break;
        case 's':
            p.serialPort = argument;
            break;
        case 'o': {
            char* end = nullptr;
            p.baudRate = _get_int_arg(argument, &end);
            break;
        }
        case 'e':
            p.echo = true;
            break;
        case 'n':
            p.flagN = true;
            break;
        case 'l':
            p.logMessage = argument;
            break;
        case 'k':
            p.logFileName = argument;
            break;
        case 'u':
            p.updateServerUrl = argument;
            ++serverChoices;
            break;
        default:
            break;
    }
    return false;
}

void resetToDefaults(Parameters& p) {
    p.serialNumber = 0;
    p.routerSerial = 0;
    p.transport = 1;
    p.transportGiven = false;
    p.serialPort.clear();
    p.baudRate = 115200;
    p.moduleAddress = 0;
    p.birdFile.clear();
    p.logMessage.clear();
    p.buildNumber.clear();
    p.echo = false;
    p.updateServerUrl = UPDATE_SERVER_HTTP_URL;
    p.flagN = false;
    p.storeDirectory.clear();
    p.logFileMode = "a+";
    p.logFileName = "Updater.log";
    p.overrideModelCheck = false;
    p.useUEIBytes = true;
    p.debugMask = 0;
    p.debugMaskGiven = false;
    p.helpRequested = false;
}

std::string baseName(const char* path) {
    if (!path) return std::string();
    const char* start = path;
    for (const char* c = path; *c; ++c)
        if (*c == '/' || *c == '\\') start = c + 1;
    return start;
}

bool allOf(const char* text, const char* accepted) {
    for (const char* c = text; *c; ++c)
        if (!std::strchr(accepted, *c)) return false;
    return true;
}

uint32_t convert(const char* text, char** end, const char* accepted, int base) {
    if (!end || !text || !allOf(text, accepted)) return 0;
    return static_cast<uint32_t>(std::strtoull(text, end, base));
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
    return convert(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return convert(text, end, "0123456789", 10);
}

int _validate_params(Parameters&) {
    return 0;
}

int _release_params(Parameters&) {
    return 0;
}

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& p) {
    resetToDefaults(p);
    p.appName = baseName(argc > 0 ? argv[0] : nullptr);

    char home[2048] = "";
    aDirectory_GetHomeDirectory(home, sizeof(home));
    p.homeDirectory = home;
    Log::log(DEBUG_APP, "Home directory:[%s]\n", p.homeDirectory.c_str());

    OptionHandler handler(display, p);
    std::vector<char*> options;
    std::vector<char*> words;  // non-option arguments, moved behind the options
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        options.push_back(arg);
        const char* equals = std::strchr(arg, '=');
        const std::string name = equals ? std::string(arg, equals - arg) : std::string(arg);
        const Option* option = findOption(name);
        if (!option) continue;  // unknown or ambiguous: ignored
        const char* argument = nullptr;
        if (option->takesArgument) {
            if (equals) {
                argument = equals + 1;
            } else if (i + 1 < argc && argv[i + 1][0] != '-') {
                argument = argv[++i];
                options.push_back(argv[i]);
            } else {
                continue;  // missing argument: ignored, the next element is scanned as usual
            }
        } else if (equals) {
            continue;  // unexpected argument: ignored
        }
        if (handler.handle(*option, argument)) return 0;
    }

    // Reorder argv: options (with their arguments) first, then the other words.
    int index = 1;
    for (char* arg : options) argv[index++] = arg;
    for (char* arg : words) argv[index++] = arg;

    if (handler.serverChoices > 1) {
        display.message(UpdaterDisplayInterface::Error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or "
                        "-U <host:port>.");
        handler.failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", p.appName.c_str());
    for (int i = 0; i < argc; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);

    if (handler.failed) return 1;
    return _validate_params(p);
}
