// Named, non-recursive mutexes as opaque references.
#pragma once

#include "aError.h"

typedef struct aMutex aMutex;

// Longest mutex name, in characters.
#define aMUTEX_MAXNAME 255

// A new unlocked mutex; nullptr for a name of more than 255 characters or on
// failure. A nullptr name gives an empty name.
aMutex* aMutex_Create(const char* name);
// The name given at creation ("" for nullptr).
const char* aMutex_Identifier(const aMutex* mutex);

// aErrDuplicate when the calling thread already holds the mutex.
aErr aMutex_Lock(aMutex* mutex);
// aErrBusy when the mutex is held.
aErr aMutex_TryLock(aMutex* mutex);
// aErrPermission when the calling thread does not hold the mutex.
aErr aMutex_Unlock(aMutex* mutex);
// Frees the mutex and sets *mutex to nullptr in every case; aErrBusy when it
// was still locked.
aErr aMutex_Destroy(aMutex** mutex);
