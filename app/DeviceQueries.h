// Queries the Updater makes on a connected module, shared by discovery and
// the update flow.
#pragma once

#include <cstdint>

#include "DeviceInfo.h"
#include "Lumivance2/common/aDefs.h"
#include "UpdaterDisplayInterface.h"
#include "objects/Module.h"

// Switches the module's networking off so the Updater always talks to the
// device directly; shows "Failed to SET network configuration" on failure.
aErr _disableNet(Morvanex::Lumivance::Module& module, UpdaterDisplayInterface& display);
// The firmware build number from the 0x49 0xFF query, or 0.
uint32_t _get_build_number(Morvanex::Lumivance::Module& module);
// Version, module and router address through the system entity.
aErr _get_version(Morvanex::Lumivance::Module& module, DeviceInfo& info);
// The stored name, read only from firmware 2.10.4 on.
aErr _get_device_name(Morvanex::Lumivance::Module& module, DeviceInfo& info);
// The link type (USB, then TCP/IP) on which a device with that serial number
// is found, or 0.
linkType _discover_link_type(uint32_t serial);
