// Placeholder until the update flow lands: reports that it is not available.
#include "Updater.h"

bool Updater::Update_Firmware(unsigned, unsigned, std::string, uint8_t, unsigned, bool) {
    display.message(UpdaterDisplayInterface::Error, "Firmware update is not available in this version");
    return false;
}
