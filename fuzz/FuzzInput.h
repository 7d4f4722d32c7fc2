// Decodes a fuzzer's byte stream into the numbers a target needs: plain bytes, and 32-bit values biased
// towards the interesting ones (small, around a given size, at the 32-bit boundaries, "whole set").
// Reading past the end yields zeros, so every input decodes into a complete, finite sequence.
#pragma once

#include <cstddef>
#include <cstdint>

namespace TarvosFuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data(data), size(size) {}

    bool Done() const { return position >= size; }

    uint8_t Byte() { return position < size ? data[position++] : 0; }

    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = value << 8 | Byte();
        }
        return value;
    }

    // A value in [0, limit]; limit 0 gives 0.
    uint32_t Below(uint32_t limit) { return limit == 0 ? 0 : Byte() % (limit + 1); }

    // A 32-bit value near 0, near `around`, near the top of the 32-bit range or anywhere.
    uint32_t Value(uint32_t around) {
        const uint8_t kind = Byte();
        const uint32_t delta = Byte();
        switch (kind % 8) {
            case 0:
            case 1:
            case 2:
                return delta;
            case 3:
                return around + delta;
            case 4:
                return around - delta;
            case 5:
                return 0xFFFFFFFFu - delta;
            case 6:
                return 0x80000000u + delta - 128u;
            default:
                return Word();
        }
    }

  private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

}  // namespace TarvosFuzz
