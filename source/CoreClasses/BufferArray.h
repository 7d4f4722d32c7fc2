// The storage of a BufferList: a growable array of buffer pointers, each standing for one reference the
// list holds, released (index 0 upwards) when the array is destroyed. Growing or reserving past its
// maximum throws std::length_error("vector<T> too long"); a failed allocation throws std::bad_alloc and
// leaves the array as it was. Not synchronised.
#pragma once

#include <cstdint>
#include <vector>

namespace Tarvos {

class Buffer;

class BufferArray {
  public:
    // The most buffers an array may hold, so that every count and index fits the list's 32-bit API.
    static constexpr uint32_t kMaximumCount = 0x3FFFFFFFu;

    explicit BufferArray(uint32_t initialCapacity, uint32_t maximumCount = kMaximumCount);
    ~BufferArray();
    BufferArray(const BufferArray&) = delete;
    BufferArray& operator=(const BufferArray&) = delete;

    uint32_t Count() const { return static_cast<uint32_t>(buffers.size()); }
    uint32_t Capacity() const { return static_cast<uint32_t>(buffers.capacity()); }
    // Requires: index < Count().
    Buffer* At(uint32_t index) const { return buffers[index]; }
    bool Contains(Buffer* buffer) const;
    // Appends without touching the buffer's reference count.
    void Append(Buffer* buffer);

  private:
    std::vector<Buffer*> buffers;
    uint32_t maximumCount;
};

}  // namespace Tarvos
