// Pre-read transactions for tests. Only the cache may set a transaction up as a pre-read; tests of the
// blocks, which serve pre-reads, build them through this helper instead.
#pragma once

#include <cstdint>

#include "Tarvos/CacheTransaction.h"

namespace TarvosTest {

// A new transaction (one reference, the caller's) set up as a pre-read of size bytes; null when the
// set-up is refused.
Tarvos::CacheTransaction* NewPreReadTransaction(Tarvos::CacheSource* source, uint64_t offset, uint32_t size,
                                                uint32_t dueTime);

}  // namespace TarvosTest
