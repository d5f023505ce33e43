// Command-line entry point: parses the options, prepares the store directory
// and runs the requested commands in a fixed order; the last command that
// runs decides the exit code.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CLI_Display.h"
#include "CommandOutput.h"
#include "Log.h"
#include "Lumivance2/common/aDirectory.h"
#include "Parameters.h"
#include "Updater.h"
#include "Usage.h"
#include "server/UpdateServerRequest.h"
#include "store/BuildPath.h"

namespace {

const uint32_t kUnknownSerial = 0xCDBFBBEB;

void showVersion(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::Info, "%s (%s)", APP_NAME, _version_text().c_str());
}

void showCopyright(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::Info, "%s", COPYRIGHT_TEXT);
}

// Makes sure the store root exists; false (after its message) when it cannot.
bool prepareStoreDirectory(UpdaterDisplayInterface& display, Parameters& parameters) {
    if (parameters.storeDirectory.empty()) {
        char home[2048] = "";
        aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
        // An empty home would put the store at the file system root.
        if (err == aErrNone && home[0] == '\0') err = aErrNotFound;
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        parameters.storeDirectory = BuildPath(home, ".morvanex", nullptr);
    }
    parameters.storeDirectory = BuildPath(parameters.storeDirectory.c_str(), "updater", nullptr);
    const char* path = parameters.storeDirectory.c_str();
    if (aDirectory_Ensure(path, 0755) != aErrNone || !aDirectory_Exists(path)) {
        display.message(UpdaterDisplayInterface::Error, "Could not find updater directory at %s",
                        path);
        return false;
    }
    return true;
}

// The discovery link type: the -t transport unless it is recovery.
linkType discoveryType(const Parameters& parameters) {
    if (parameters.transportGiven && parameters.transport != TRANSPORT_RECOVER)
        return parameters.transport;
    return 0;
}

int runCommands(Updater& updater, UpdaterDisplayInterface& display, Parameters& p) {
    int result = 0;

    if (p.commands.IsSet(CMD_FINGERPRINT)) {
        if (p.serialPort.empty()) {
            display.message(UpdaterDisplayInterface::Error,
                            "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, p.serialPort, kUnknownSerial, p.birdFile,
                                    p.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(UpdaterDisplayInterface::Error, "Got no response from chip");
            result = 1;
        }
    }

    if (p.commands.IsSet(CMD_GET_BUILD)) {
        if (p.serialNumber == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            "-G must specify a specific device via -d");
            display.message(UpdaterDisplayInterface::Error, "--help for usage information");
            return 1;
        }
        display.message(UpdaterDisplayInterface::Info,
                        "Retrieving firmware for device with serial number %08X", p.serialNumber);
        if (p.buildNumber.empty()) {
            display.message(UpdaterDisplayInterface::Info, "No build specified");
            display.message(UpdaterDisplayInterface::Info, "Using Latest build");
        } else {
            display.message(UpdaterDisplayInterface::Info, "Retrieving firmware build %s",
                            p.buildNumber.c_str());
        }
        uint32_t build =
            updater.Download_Firmware(p.serialNumber, p.buildNumber, p.overrideModelCheck, false);
        if (build != 0) {
            p.buildNumber = std::to_string(build);
            result = 0;
        } else {
            result = 1;
        }
    }

    const linkType type = discoveryType(p);
    if (p.commands.IsSet(CMD_DISCOVER)) {
        if (p.routerSerial != 0) {
            display.message(UpdaterDisplayInterface::Info,
                            "Searching for Lumivance Network devices connected to %08X",
                            p.routerSerial);
            _display_device_list(display, updater.Discover_LVNetwork_Devices(p.routerSerial, type),
                                 type);
        } else {
            display.message(UpdaterDisplayInterface::Info, "Searching for Lumivance devices");
            const linkType searched = type == 0 ? LINK_USB : type;
            _display_device_list(display, updater.Discover_Devices(searched), searched);
        }
        return 0;
    }

    if (p.commands.IsSet(CMD_UPDATE)) {
        const unsigned build =
            static_cast<unsigned>(std::strtoul(p.buildNumber.c_str(), nullptr, 10));
        updater.Set_UEIBytes_Load(p.useUEIBytes);
        if (p.transport == TRANSPORT_RECOVER)
            return updater.Recover_Firmware(p.serialPort, build, p.baudRate, p.serialNumber,
                                            p.birdFile, p.overrideModelCheck)
                       ? 0
                       : 1;
        if (p.serialNumber == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            "Must specify the specific device to be updated");
            return 1;
        }
        return updater.Update_Firmware(p.serialNumber, build, p.birdFile, p.moduleAddress,
                                       p.routerSerial, p.overrideModelCheck)
                   ? 0
                   : 1;
    }

    if (p.commands.IsSet(CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS)) {
        const bool local = !p.commands.IsSet(CMD_LIST_BUILDS);
        if (p.serialNumber == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            local
                                ? "Error must supply a serial number for the List Local Builds "
                                  "command"
                                : "Error must supply a serial number for the List Builds command");
            _display_usage(false, false);
            return 1;
        }
        BuildList list = local ? updater.Get_BuildListLocal(p.serialNumber)
                               : updater.Get_BuildList(p.serialNumber);
        _display_builds(display, p.serialNumber, UpdateServerRequest::SortBuildsByVersion(list));
        return 0;
    }

    _release_params(p);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters parameters;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, parameters) != 0) {
        showVersion(display);
        showCopyright(display);
        _display_usage(false, false);
        _release_params(parameters);
        return 1;
    }

    showVersion(display);

    if (parameters.commands.IsSet(CMD_HELP) || parameters.commands.Value() == 0) {
        showCopyright(display);
        _display_usage(parameters.debugMaskGiven, parameters.helpRequested);
        _release_params(parameters);
        return 0;
    }

    if (!prepareStoreDirectory(display, parameters)) return 1;

    Updater updater(parameters.updateServerUrl, parameters.storeDirectory, display);
    return runCommands(updater, display, parameters);
}
