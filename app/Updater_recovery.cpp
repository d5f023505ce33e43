// Recovery through the processor's ROM boot loader is not part of this build:
// both operations say so and fail.
#include "Updater.h"

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    display.message(UpdaterDisplayInterface::Error,
                    "Recovery through the ROM boot loader is not available in this version");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    display.message(UpdaterDisplayInterface::Error,
                    "Reading a processor fingerprint is not available in this version");
    return false;
}
