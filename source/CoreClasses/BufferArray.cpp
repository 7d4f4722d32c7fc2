#include "CoreClasses/BufferArray.h"

#include <algorithm>
#include <stdexcept>

#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"

namespace Tarvos {

namespace {
[[noreturn]] void ThrowTooLong() {
    throw std::length_error("vector<T> too long");
}
}  // namespace

BufferArray::BufferArray(uint32_t initialCapacity, uint32_t maximumCount) : maximumCount(maximumCount) {
    if (initialCapacity > maximumCount) {
        ThrowTooLong();
    }
    buffers.reserve(initialCapacity);
}

BufferArray::~BufferArray() {
    for (Buffer* buffer : buffers) {
        buffer->DecRef(TARVOS_CALL_SITE);
    }
}

bool BufferArray::Contains(Buffer* buffer) const {
    return std::find(buffers.begin(), buffers.end(), buffer) != buffers.end();
}

void BufferArray::Append(Buffer* buffer) {
    const uint32_t count = Count();
    if (count >= maximumCount) {
        ThrowTooLong();
    }
    if (count == Capacity()) {
        // Grow by half, but never past the maximum.
        const uint64_t grown = std::max<uint64_t>(uint64_t{count} + count / 2, uint64_t{count} + 1);
        buffers.reserve(static_cast<size_t>(std::min<uint64_t>(grown, maximumCount)));
    }
    buffers.push_back(buffer);
}

}  // namespace Tarvos
