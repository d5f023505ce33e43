#include "aLogger.h"

#include <atomic>
#include <new>

#include "aThread.h"

struct aLogger {
    uint16_t checkWord = 0;
    int32_t linkId = 0;
    aLoggerReadProc reader = nullptr;
    aFile* file = nullptr;
    aThread* thread = nullptr;  // nullptr: no thread runs
    std::atomic<bool> running{false};
};

namespace {

// The logger whose thread is the calling thread, if any.
thread_local const aLogger* tCurrentLogger = nullptr;

bool sValid(const aLogger* logger) {
    return logger && logger->checkWord == aLOGGER_CHECK;
}

int sRunLog(void* argument) {
    aLogger* logger = static_cast<aLogger*>(argument);
    tCurrentLogger = logger;
    while (logger->running.load()) logger->reader(logger->file, logger->linkId);
    tCurrentLogger = nullptr;
    return 0;
}

}  // namespace

aLogger* aLogger_Create(int32_t linkId, aLoggerReadProc readerProcedure, const char* path) {
    if (!readerProcedure || !path) return nullptr;
    aLogger* logger = new (std::nothrow) aLogger();
    if (!logger) return nullptr;
    logger->file = aFile_Open(path, aFileModeAppend);
    if (!logger->file) {
        delete logger;
        return nullptr;
    }
    aFile_SetUnbuffered(logger->file);
    logger->linkId = linkId;
    logger->reader = readerProcedure;
    logger->checkWord = aLOGGER_CHECK;
    return logger;
}

aErr aLogger_Enable(aLogger* logger) {
    if (!sValid(logger)) return aErrParam;
    if (logger->thread) return aErrNone;
    logger->running = true;
    logger->thread = aThread_Create(sRunLog, logger);
    if (!logger->thread) {
        logger->running = false;
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
    if (!sValid(logger)) return aErrParam;
    // Checked first: the thread handle belongs to the controlling thread.
    if (tCurrentLogger == logger) return aErrNone;
    if (!logger->thread) return aErrNone;
    logger->running = false;
    if (aThread_Destroy(&logger->thread) != 0) return aErrUnknown;
    logger->thread = nullptr;
    return aErrNone;
}

aErr aLogger_Destroy(aLogger** logger) {
    if (!logger || !sValid(*logger)) return aErrNone;
    // Freeing the logger under its own running thread would leave the thread
    // with a dangling record and a closed file.
    if (tCurrentLogger == *logger) return aErrBusy;
    aErr result = aLogger_Disable(*logger);
    if (result != aErrNone) return result;
    aFile_Close(&(*logger)->file);
    (*logger)->checkWord = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}

bool aLogger_IsRunning(const aLogger* logger) {
    return sValid(logger) && logger->thread != nullptr;
}
