// The soak's file content: every byte a function of its offset and of the generation its page was
// last written with, so a byte from the wrong place or from an older write shows as a mismatch.
#pragma once

#include <cstdint>

namespace SoakPattern {

inline uint64_t Word(uint64_t wordIndex, uint32_t generation) {
    uint64_t x = wordIndex * 0x9E3779B97F4A7C15ull + (uint64_t{generation} << 32 | generation) + 1;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

inline uint8_t Byte(uint64_t offset, uint32_t generation) {
    return static_cast<uint8_t>(Word(offset >> 3, generation) >> (8 * (offset & 7)));
}

inline void Fill(uint8_t* out, uint32_t length, uint64_t offset, uint32_t generation) {
    for (uint32_t i = 0; i < length; ++i) {
        out[i] = Byte(offset + i, generation);
    }
}

// The first index in [0, length) whose byte is not the pattern's, or length.
inline uint32_t FirstMismatch(const uint8_t* bytes, uint32_t length, uint64_t offset, uint32_t generation) {
    uint32_t i = 0;
    while (i < length) {
        const uint64_t at = offset + i;
        const uint64_t word = Word(at >> 3, generation);
        for (uint32_t k = static_cast<uint32_t>(at & 7); k < 8 && i < length; ++k, ++i) {
            if (bytes[i] != static_cast<uint8_t>(word >> (8 * k))) {
                return i;
            }
        }
    }
    return length;
}

}  // namespace SoakPattern
