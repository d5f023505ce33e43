#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <mutex>

namespace {

std::mutex _interfaceLock;
std::string _backupInterface;

std::string sCurrent() {
    const char* current = zsys_interface();
    return current ? current : "";
}

bool sValid(const char* text) {
    return text && (_isValidBeaconConfig(text) || _isValidIpAddress(text));
}

}  // namespace

bool _isValidIpAddress(const char* text) {
    in_addr parsed{};
    return text && inet_pton(AF_INET, text, &parsed) == 1;
}

bool _isValidBeaconConfig(const char* text) {
    return text && (text[0] == '\0' || std::string(text) == "*");
}

int zBeaconInterface_setAndLock(const char* interfaceText) {
    if (!sValid(interfaceText)) return 0;
    _interfaceLock.lock();
    zsys_set_interface(interfaceText);
    return 1;
}

void zBeaconInterface_unlock() {
    _interfaceLock.unlock();
}

int zBeaconInterface_backupSetAndLock(const char* interfaceText) {
    if (!sValid(interfaceText)) return 0;
    _interfaceLock.lock();
    if (_backupInterface.capacity() < 100) _backupInterface.reserve(100);
    _backupInterface = sCurrent();
    zsys_set_interface(interfaceText);
    return 1;
}

void zBeaconInterface_restoreAndUnlock() {
    zsys_set_interface(_backupInterface.c_str());
    _interfaceLock.unlock();
}

std::string zBeaconInterface_get() {
    return sCurrent();
}

std::string zBeaconInterface_getAndLock() {
    _interfaceLock.lock();
    return sCurrent();
}

std::string zBeaconInterface_getBackup() {
    return _backupInterface;
}

std::string zBeaconInterface_getBackupAndLock() {
    _interfaceLock.lock();
    return _backupInterface;
}
