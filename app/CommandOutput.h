// Console listings printed by the command-line tool: discovered devices,
// build lists and the recovery fingerprint.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "DeviceInfo.h"
#include "Lumivance2/common/aDefs.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "recovery/Fingerprint.h"

// "Discovered Devices: (USB|TCPIP|Unknown)", a header chosen by type, then one
// line per device chosen by the device's own link type.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& list,
                          linkType type);

// The build list of one device in the given (already sorted) order.
void _display_builds(UpdaterDisplayInterface& display, unsigned serial,
                     const std::vector<std::pair<std::string, std::string>>& builds);

// "[ %08X %08X %08X %08X ]".
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
