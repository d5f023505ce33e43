// Placeholder until the update server client lands: reports that it is not available.
#include "Updater.h"

uint32_t Updater::Download_Firmware(unsigned, std::string, bool, bool) {
    display.message(UpdaterDisplayInterface::Error, "Firmware download is not available in this version");
    return 0;
}

uint32_t Updater::Download_Firmware(const Fingerprint&, std::string, bool) {
    display.message(UpdaterDisplayInterface::Error, "Firmware download is not available in this version");
    return 0;
}

BuildList Updater::Get_BuildList(unsigned) {
    display.message(UpdaterDisplayInterface::Error, "Listing server builds is not available in this version");
    return {};
}

BuildList Updater::Get_BuildListLocal(unsigned) {
    display.message(UpdaterDisplayInterface::Error, "Listing local builds is not available in this version");
    return {};
}
