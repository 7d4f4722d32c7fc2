// Checks on buffers for tests: the exact signed lock count, and content that is a function of the
// offset so that every misplaced byte shows.
#pragma once

#include <cstdint>

#include "Tarvos/Buffer.h"

namespace TarvosTest {

// The buffer's signed lock count, found through its lock operations and left as it was. Buffers only
// report the count's sign, so this walks it to 0 and back.
inline int32_t LockCountOf(Tarvos::Buffer* buffer) {
    int32_t above = 0;
    while (buffer->GetLockState() == Tarvos::Buffer::kLockStateLocked) {
        buffer->Unlock();
        ++above;
    }
    // Now at 0 or below: count the locks that take it to 1.
    int32_t toOne = 0;
    while (buffer->GetLockState() != Tarvos::Buffer::kLockStateLocked) {
        buffer->Lock();
        ++toOne;
    }
    for (int32_t i = 0; i < toOne; ++i) {
        buffer->Unlock();
    }
    for (int32_t i = 0; i < above; ++i) {
        buffer->Lock();
    }
    return above + 1 - toOne;
}

inline uint8_t PatternByte(uint64_t offset, uint32_t seed = 0) {
    return static_cast<uint8_t>((offset * 131u + seed * 7u + (offset >> 8)) & 0xFF);
}

inline void FillPattern(void* memory, uint32_t length, uint64_t firstOffset, uint32_t seed = 0) {
    auto* bytes = static_cast<uint8_t*>(memory);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = PatternByte(firstOffset + i, seed);
    }
}

// The first index in [0, length) whose byte does not match, or length when all do.
inline uint32_t FirstPatternMismatch(const void* memory, uint32_t length, uint64_t firstOffset,
                                     uint32_t seed = 0) {
    const auto* bytes = static_cast<const uint8_t*>(memory);
    for (uint32_t i = 0; i < length; ++i) {
        if (bytes[i] != PatternByte(firstOffset + i, seed)) {
            return i;
        }
    }
    return length;
}

}  // namespace TarvosTest
