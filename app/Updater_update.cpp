// Firmware update flow: choose the BIRD file, personalise it with the device's
// serial number, connect (directly or through a router), check the file
// against the device, send the loader, find the device again, send the
// firmware, and record the transfer in the device's settings.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "DeviceQueries.h"
#include "Log.h"
#include "Lumivance2/common/aDefs.h"
#include "Lumivance2/common/aTime.h"
#include "Lumivance2/common/lvusb_driver.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "firmware/BirdFile.h"
#include "objects/Module.h"
#include "objects/SystemClass.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"

using Morvanex::Lumivance::Module;
using Morvanex::Lumivance::SystemClass;

namespace {

constexpr unsigned kReenumerationTries = 15;
constexpr unsigned kReenumerationPauseMs = 1000;

// Unsigned decimal conversion as strtoul does it: leading blanks, digits up
// to the first non-digit. False when there is no number or it does not fit.
bool toBuildNumber(const std::string& text, unsigned& value) {
    const char* s = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s, &end, 10);
    if (errno == ERANGE || v > 0xFFFFFFFFull) return false;
    value = unsigned(v);
    return true;
}

std::string birdName(unsigned build) {
    return std::to_string(build) + ".bird";
}

}  // namespace

// True when the file fits the connected device: it has blocks, it carries the
// device's serial number (or can take it), and its model is the device's.
bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& birdFile, Module& module,
                        unsigned serial) {
    if (birdFile.Blocks().empty()) return false;
    if (!birdFile.HasSerialOffsets() && !birdFile.ValidateSerialNumber(serial)) return false;

    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    unsigned int deviceSerial = 0;
    aErr err = system.getSerialNumber(&deviceSerial);
    if (deviceSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 int(err));
        return false;
    }
    unsigned char model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!birdFile.ValidateModel(name)) {
        display.message(UpdaterDisplayInterface::Error,
                        "Connected device model and Bird file model do not match [%s] (%d)", name,
                        int(err));
        return false;
    }
    return true;
}

BirdFile Updater::load_bird(const char* verb, std::string birdFile, unsigned serial, unsigned build,
                            bool downloadIfMissing) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDirectory, "load_bird");
    if (!store) return BirdFile();
    if (!birdFile.empty()) {
        display.message(UpdaterDisplayInterface::Info, "%s from Birdfile: %s", verb,
                        birdFile.c_str());
        return BirdFile(birdFile);
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    display.message(UpdaterDisplayInterface::Info, "%s firmware with build: %u", verb, build);
    try {
        return item.ReadBirdFile(birdName(build));
    } catch (const std::exception&) {
        if (!downloadIfMissing) throw std::runtime_error("Error reading birdfile");
    }
    display.message(UpdaterDisplayInterface::Info, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadBirdFile(birdName(build));
}

bool Updater::Update_Firmware(unsigned serial, unsigned build, std::string birdFile,
                              uint8_t moduleAddress, unsigned routerSerial,
                              bool overrideModelCheck) {
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::Error,
                        "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storeDirectory, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);
    const uint64_t started = aTime_GetMSTicks();

    // Which build: the server's newest when it is already in the store, else
    // the latest download, else the latest transfer.
    if (birdFile.empty()) {
        if (build == 0) {
            std::string latest, firmwareName;
            UpdateServerRequest::QueryBuild(serial, latest, firmwareName, serverUrl);
            unsigned newest = 0;
            if (!toBuildNumber(latest, newest)) {
                Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
                newest = 0;
            }
            if (newest != 0) {
                bool stored = false;
                try {
                    item.ReadBirdFile(birdName(newest));
                    stored = true;
                } catch (const std::exception&) {
                }
                if (stored) {
                    build = newest;
                } else {
                    display.message(UpdaterDisplayInterface::Info,
                                    "New firmware is available.  Updater will proceed if valid "
                                    "firmware is found locally.");
                    build = 0;
                }
            }
        }
        if (build == 0) {
            build = unsigned(item.settings.GetInt(UPDATER_KEY_LATEST_DOWNLOAD, 0));
            if (build != 0)
                display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = unsigned(item.settings.GetInt(UPDATER_KEY_LATEST_TRANSFER, 0));
            if (build != 0)
                display.message(UpdaterDisplayInterface::Info, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display.message(UpdaterDisplayInterface::Error,
                            "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile file;
    try {
        file = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::exception&) {
        display.message(UpdaterDisplayInterface::Error, "Failed to load bird file");
        return false;
    }

    if (file.HasSerialOffsets()) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, uint8_t(0));
    aErr err = _disableNet(target, display);
    if (err == aErrNone && routerSerial != 0) {
        if (moduleAddress == 0) {
            std::vector<DeviceInfo> found = Discover_LVNetwork_Devices(routerSerial, LINK_INVALID);
            if (found.empty()) {
                display.message(UpdaterDisplayInterface::Error,
                                "Unable to find modules on Network");
                return false;
            }
            bool have = false;
            uint16_t address = 0;
            for (const DeviceInfo& d : found) {
                if (d.spec.serialNumber == serial) {
                    address = d.networkAddress;
                    have = true;
                }
            }
            if (!have) {
                display.message(UpdaterDisplayInterface::Error,
                                "Module address required for indirect firmware update, could not "
                                "find serial number [0x%08X] on network",
                                serial);
                return false;
            }
            target.setModuleAddress(uint8_t(address & 0xFF));
        }
        {
            Module router(0, uint8_t(0));
            err = _disableNet(router, display);
            if (err == aErrNone) {
                err = router.connect(LINK_USB, routerSerial);
                if (err == aErrNotFound) err = router.connect(LINK_TCPIP, routerSerial);
                if (err != aErrNone) {
                    display.message(UpdaterDisplayInterface::Error,
                                    "Failed to connect to link module [%08X]", routerSerial);
                    return false;
                }
                err = target.connectThroughLinkModule(&router);
                if (err != aErrNone)
                    display.message(UpdaterDisplayInterface::Error,
                                    "Failed to connect to module [%08X]", serial);
            }
        }
    } else if (err == aErrNone) {
        err = target.connect(LINK_USB, serial);
        if (err == aErrNotFound) err = target.connect(LINK_TCPIP, serial);
        if (err != aErrNone)
            display.message(UpdaterDisplayInterface::Error, "Failed to connect to module [%08X]",
                            serial);
    }

    if (err == aErrNone && target.isConnected() && !overrideModelCheck &&
        !_validate_birdfile(display, file, target, serial)) {
        display.message(UpdaterDisplayInterface::Error, "Birdfile failed validation");
        return false;
    }

    if (err == aErrNone) err = _transfer_loader(display, target, file);
    if (err == aErrNone && !target.isConnected()) {
        // The device restarted into its loader and left the bus: look for it
        // again, starting over with a fresh USB context every third try.
        target.disconnect();
        for (unsigned attempt = 0; attempt < kReenumerationTries; ++attempt) {
            if ((attempt + 1) % 3 == 0) {
                Log::log(DEBUG_APP,
                         "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Lumivance_libusb_exit();
            }
            target.discoverAndConnect(LINK_USB, serial);
            if (target.isConnected()) break;
            aTime_MSSleep(kReenumerationPauseMs);
        }
    }
    if (err == aErrNone)
        err = _transfer_firmware(display, target, file, routerSerial != 0, useUEIBytes);

    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
        target.disconnect();
        return false;
    }
    target.disconnect();

    if (birdFile.empty()) birdFile = birdName(build);
    // A device seen for the first time gets its store directory now, so that
    // the record lands there and not in a settings file in the working
    // directory.
    if (!item.IsValid()) {
        try {
            item = store->AddDevice(serial);
        } catch (const std::exception& e) {
            Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", e.what());
        }
    }
    item.settings.Add(UPDATER_KEY_LATEST_TRANSFER, birdFile);
    item.settings.Add(UPDATER_KEY_LAST_TRANSFER_DATE, KeyValueStore::TimeStamp());
    item.settings.Save();
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(UpdaterDisplayInterface::Info, "Update time: %.4f sec",
                    double(aTime_GetMSTicks() - started) / 1000.0);
    return true;
}
