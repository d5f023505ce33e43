// The Updater: one per run, created by main; every command is one operation.
// Each operation creates what it needs (store, BIRD file, server request,
// modules) and destroys it before returning.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Lumivance2/common/aDefs.h"
#include "UpdaterDisplayInterface.h"
#include "recovery/Fingerprint.h"

class BirdFile;

// Build-number text to version text.
typedef std::map<std::string, std::string> BuildList;

class Updater {
public:
    Updater(const std::string& url, const std::string& directory, UpdaterDisplayInterface& display);

    void Set_UEIBytes_Load(bool flag) { useUEIBytes = flag; }

    // Device discovery and inventory (Updater_discover.cpp).
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_LVNetwork_Devices(unsigned routerSerial, linkType type);

    // Firmware update flow (Updater_update.cpp).
    bool Update_Firmware(unsigned serial, unsigned build, std::string birdFile, uint8_t moduleAddress,
                         unsigned routerSerial, bool overrideModelCheck);
    BirdFile load_bird(const char* verb, std::string birdFile, unsigned serial, unsigned build,
                       bool downloadIfMissing);

    // Build download and selection (Updater_builds.cpp).
    uint32_t Download_Firmware(unsigned serial, std::string buildText, bool overrideCheck, bool noCal);
    uint32_t Download_Firmware(const Fingerprint& fingerprint, std::string buildText, bool overrideCheck);
    BuildList Get_BuildList(unsigned serial);
    BuildList Get_BuildListLocal(unsigned serial);

    // Recovery (Updater_recovery.cpp).
    bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                          std::string birdFile, bool overrideModelCheck);
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string port, unsigned serial,
                         std::string birdFile, unsigned baud, bool resetAfter);

    const std::string& url() const { return serverUrl; }
    const std::string& directory() const { return storeDirectory; }
    UpdaterDisplayInterface& getDisplay() { return display; }

private:
    std::string serverUrl;
    std::string storeDirectory;
    UpdaterDisplayInterface& display;
    uint8_t chipFamily = 0;
    bool useUEIBytes = false;
};
