// Four 32-bit words that identify a processor for recovery.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
