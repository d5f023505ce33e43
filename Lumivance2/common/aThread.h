// Joinable threads as opaque handles.
#pragma once

typedef struct aThread aThread;

// A thread procedure: takes the argument given to aThread_Create; its result is ignored.
typedef int (*aThreadProc)(void* argument);

// Starts proc(argument) on a new thread; nullptr when it cannot be started.
aThread* aThread_Create(aThreadProc proc, void* argument);
// Waits for the thread to end, frees the handle and sets *thread to nullptr.
// Returns 0 on success, otherwise the system's error number (not an aErr).
// A thread must not destroy its own handle.
int aThread_Destroy(aThread** thread);
// Gives up the processor for a moment (a 5 microsecond sleep).
void aThread_Yield(void);
