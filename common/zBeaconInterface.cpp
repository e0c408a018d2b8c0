/* The lock around czmq's process-wide beacon interface, with a saved copy of the interface
 * that a caller can put back when it is done. */
#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>
#include <string>

#include "aDebugging.h"

namespace {

constexpr std::size_t _BACKUP_CAPACITY = 100;

std::mutex _interfaceLock;
/* Set on the thread that holds _interfaceLock, so that a second lock by the holder or an
 * unlock by another thread is refused instead of hanging or breaking the mutex. */
thread_local bool sHeld = false;

/* Guards _backupInterface and every call of czmq's interface setter and getter: czmq frees
 * its old text when the interface is set, so a reader must not race a setter. Taken after
 * _interfaceLock, never before it. */
std::mutex sTextLock;
std::string _backupInterface;

/* The texts handed to callers, one of each kind per thread. */
thread_local std::string sCurrentCopy;
thread_local std::string sBackupCopy;

bool _isValidIpAddress(const char* text) {
    struct in_addr address;
    return inet_pton(AF_INET, text, &address) == 1;
}

bool _isValidBeaconConfig(const char* text) {
    return text[0] == '\0' || std::strcmp(text, "*") == 0;
}

bool sIsValid(const char* text) {
    return text != nullptr && (_isValidIpAddress(text) || _isValidBeaconConfig(text));
}

const char* sCopy(std::string& copy, const char* text) noexcept {
    try {
        copy.assign(text != nullptr ? text : "");
    } catch (...) {
        copy.clear();
    }
    return copy.c_str();
}

/* sTextLock held. */
void _configureBackup() noexcept {
    if (_backupInterface.capacity() >= _BACKUP_CAPACITY) return;
    aDebug_Trace(aDEBUG_BEACON_LOCK, "%s Reserving memory for _backupInterface\n", __func__);
    try {
        _backupInterface.reserve(_BACKUP_CAPACITY);
    } catch (...) {
    }
}

bool sLock(const char* name) {
    if (sHeld) return false;
    aDebug_Trace(aDEBUG_BEACON_LOCK, "%s PRE-LOCK\n", name);
    _interfaceLock.lock();
    sHeld = true;
    aDebug_Trace(aDEBUG_BEACON_LOCK, "%s LOCKED\n", name);
    return true;
}

void sUnlock() {
    sHeld = false;
    _interfaceLock.unlock();
}

const char* sCurrent() {
    std::lock_guard<std::mutex> text(sTextLock);
    return sCopy(sCurrentCopy, zsys_interface());
}

const char* sBackup() {
    std::lock_guard<std::mutex> text(sTextLock);
    _configureBackup();
    return sCopy(sBackupCopy, _backupInterface.c_str());
}

} // namespace

extern "C" {

bool zBeaconInterface_setAndLock(const char* text) {
    if (!sIsValid(text) || !sLock(__func__)) return false;
    std::lock_guard<std::mutex> guard(sTextLock);
    zsys_set_interface(text);
    return true;
}

void zBeaconInterface_unlock(void) {
    if (!sHeld) return;
    aDebug_Trace(aDEBUG_BEACON_LOCK, "%s: UNLOCKING\n", __func__);
    sUnlock();
}

bool zBeaconInterface_backupSetAndLock(const char* text) {
    if (!sIsValid(text) || !sLock(__func__)) return false;
    std::lock_guard<std::mutex> guard(sTextLock);
    _configureBackup();
    const char* current = zsys_interface();
    try {
        _backupInterface.assign(current != nullptr ? current : "");
    } catch (...) {
        _backupInterface.clear();
    }
    zsys_set_interface(text);
    return true;
}

void zBeaconInterface_restoreAndUnlock(void) {
    if (!sHeld) return;
    {
        std::lock_guard<std::mutex> guard(sTextLock);
        zsys_set_interface(_backupInterface.c_str());
    }
    aDebug_Trace(aDEBUG_BEACON_LOCK, "%s UNLOCKING\n", __func__);
    sUnlock();
}

const char* zBeaconInterface_get(void) {
    return sCurrent();
}

const char* zBeaconInterface_getAndLock(void) {
    if (!sLock(__func__)) return nullptr;
    return sCurrent();
}

const char* zBeaconInterface_getBackup(void) {
    return sBackup();
}

const char* zBeaconInterface_getBackupAndLock(void) {
    if (!sLock(__func__)) return nullptr;
    return sBackup();
}

} // extern "C"
