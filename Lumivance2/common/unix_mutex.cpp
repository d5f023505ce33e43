// Named mutexes over POSIX mutexes. The mutex checks errors, so a thread that
// locks it twice gets aErrDuplicate instead of hanging, and an unlock by a
// thread that does not hold it gets aErrPermission.
#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "aMutex.h"

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAXNAME + 1];
};

namespace {

aErr sMap(int rc, aErr busy, aErr deadlock, aErr notOwner, aErr resources) {
    switch (rc) {
        case 0:
            return aErrNone;
        case EBUSY:
            return busy;
        case EDEADLK:
            return deadlock;
        case EPERM:
            return notOwner;
        case EINVAL:
            return aErrParam;
        case EAGAIN:
        case ENOMEM:
            return resources;
        default:
            return aErrUnknown;
    }
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
    if (!name) name = "";
    const size_t length = strnlen(name, aMUTEX_MAXNAME + 1);
    if (length > aMUTEX_MAXNAME) return nullptr;
    auto* mutex = new (std::nothrow) aMutex;
    if (!mutex) return nullptr;
    std::memcpy(mutex->name, name, length);
    mutex->name[length] = '\0';
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
             pthread_mutex_init(&mutex->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        delete mutex;
        return nullptr;
    }
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) {
    return mutex ? mutex->name : "";
}

aErr aMutex_Lock(aMutex* mutex) {
    if (!mutex) return aErrParam;
    return sMap(pthread_mutex_lock(&mutex->mutex), aErrUnknown, aErrDuplicate, aErrUnknown,
                aErrUnknown);
}

aErr aMutex_TryLock(aMutex* mutex) {
    if (!mutex) return aErrParam;
    return sMap(pthread_mutex_trylock(&mutex->mutex), aErrBusy, aErrUnknown, aErrUnknown,
                aErrUnknown);
}

aErr aMutex_Unlock(aMutex* mutex) {
    if (!mutex) return aErrParam;
    return sMap(pthread_mutex_unlock(&mutex->mutex), aErrUnknown, aErrUnknown, aErrPermission,
                aErrUnknown);
}

aErr aMutex_Destroy(aMutex** mutex) {
    if (!mutex || !*mutex) return aErrParam;
    aMutex* m = *mutex;
    *mutex = nullptr;
    const aErr err =
        sMap(pthread_mutex_destroy(&m->mutex), aErrBusy, aErrUnknown, aErrUnknown, aErrResource);
    delete m;
    return err;
}
