// In-memory stream pair: two connected aStream ends, for running the link
// engine (and anything else that speaks aStream) with no transport at all.
// Bytes written to one end are read from the other, in order.
//
//   read: the next byte; with none waiting it waits up to readWaitMS for one
//         (0 = answer at once) and then gives aErrNotReady, like a silent
//         transport; once the other end is destroyed and every byte it wrote
//         has been read, aErrEOF.
//   write: queues the bytes for the other end; aErrConnection once the other
//          end is destroyed.
//
// The ends are independent streams: destroy each with aStream_Destroy. Both
// ends are safe to use from several threads (one reader and one writer per
// end, as the link engine does).
#pragma once

#include <cstddef>
#include <cstdint>

#include "aStream.h"

// Makes the pair. aErrParam when an output is missing, aErrMemory when memory
// is exhausted; both outputs are nullptr on failure.
aErr aStream_CreateMemoryPair(aStream** first, aStream** second, uint32_t readWaitMS);

// Number of transport write operations made on this end so far: each
// writeProc call and each single-byte putProc call counts one. 0 for a
// stream that is not a memory end.
size_t aStream_MemoryWriteCount(aStream* end);

// Number of bytes written to this end that the other end has not read yet.
size_t aStream_MemoryPending(aStream* end);

// Makes the next read of this end return `code` (once) instead of a byte,
// to exercise read-failure paths. aErrParam for a stream that is not a
// memory end.
aErr aStream_MemoryFailNextRead(aStream* end, aErr code);
