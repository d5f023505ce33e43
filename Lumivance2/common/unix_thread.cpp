// Joinable threads over POSIX threads.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "aThread.h"

struct aThread {
    pthread_t thread;
    aThreadProc proc;
    void* argument;
};

namespace {

void* sTrampoline(void* handle) {
    auto* t = static_cast<aThread*>(handle);
    (void)t->proc(t->argument);
    return nullptr;
}

}  // namespace

aThread* aThread_Create(aThreadProc proc, void* argument) {
    if (!proc) return nullptr;
    auto* t = new (std::nothrow) aThread;
    if (!t) return nullptr;
    t->proc = proc;
    t->argument = argument;
    if (pthread_create(&t->thread, nullptr, sTrampoline, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

int aThread_Destroy(aThread** thread) {
    if (!thread || !*thread) return EINVAL;
    aThread* t = *thread;
    *thread = nullptr;
    const int rc = pthread_join(t->thread, nullptr);
    if (rc != 0) {
        // Not joined (for example a thread destroying its own handle): let the
        // system reclaim it when it ends. The handle stays alive for the
        // trampoline, which still reads it; it is leaked on purpose.
        pthread_detach(t->thread);
        return rc;
    }
    delete t;
    return rc;
}

void aThread_Yield(void) {
    struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
