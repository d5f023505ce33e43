// Guards CZMQ's process-wide interface setting, through which a beacon picks
// its network interface: whoever creates a beacon on a particular interface
// sets the setting and holds the lock until the beacon has picked it up.
// An interface text is a dotted IPv4 address, the empty text or "*".
#pragma once

#include <string>

// 1 after taking the lock and setting the interface; 0, nothing locked, for an invalid text.
int zBeaconInterface_setAndLock(const char* interfaceText);
void zBeaconInterface_unlock();
// As setAndLock, but first saves the current setting (after taking the lock).
int zBeaconInterface_backupSetAndLock(const char* interfaceText);
// Puts the saved setting back and releases the lock.
void zBeaconInterface_restoreAndUnlock();
std::string zBeaconInterface_get();
std::string zBeaconInterface_getAndLock();
std::string zBeaconInterface_getBackup();
std::string zBeaconInterface_getBackupAndLock();

bool _isValidIpAddress(const char* text);
bool _isValidBeaconConfig(const char* text);
