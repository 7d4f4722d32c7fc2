// Prepares one BufferList for one overlapped read or write. While a list is in use the manager holds a
// reference on it and keeps all its buffers locked; it offers the memory as one contiguous address and
// length when the buffers lie back to back, and as a page segment array (the FILE_SEGMENT_ELEMENT form:
// one page-aligned 64-bit address per page, in list order, closed by 0) for ReadFileScatter and
// WriteFileGather. Each I/O engine slot owns one manager and reuses it, so the array only grows. No
// lock: one request at a time, handed over under the engine's queue lock.
#pragma once

#include <cstdint>
#include <vector>

namespace Tarvos {

class BufferList;

class ScatterGatherManager {
  public:
    ScatterGatherManager();
    // Stops using the list in use, if any.
    virtual ~ScatterGatherManager();
    ScatterGatherManager(const ScatterGatherManager&) = delete;
    ScatterGatherManager& operator=(const ScatterGatherManager&) = delete;

    // Locks list, references it and builds the segment array. False (the manager idle, the list
    // unlocked and unreferenced) for a null or empty list, a list already in use, no page size, a buffer
    // that cannot be locked, has no address, or is not a whole number of page-aligned pages.
    // std::bad_alloc when the array cannot grow.
    bool StartUsingBufferList(BufferList* list);
    // Unlocks and releases the list in use (if any); the array stays for the next list. Always true.
    bool StopUsingBufferList();
    // The first buffer's address when the buffers form one contiguous block (its size stored through
    // size), else null (0 stored).
    void* GetContiguousAddress(uint32_t* size);
    // The page segment array while a list is in use (total size stored through size), else null (0).
    uint64_t* GetSegmentArray(uint32_t* size);
    uint32_t GetTotalSize();
    BufferList* GetList() const { return list; }

  private:
    void Undo();

    BufferList* list;                // one counted reference while in use; null when idle
    std::vector<uint64_t> segments;  // pages, then the closing 0; capacity only grows
    void* lockToken;                 // from LockAllBuffers for the list in use
    uint32_t contiguousSize;         // total size when contiguous, else 0
    uint32_t totalSize;              // sum of the buffers' sizes
};

}  // namespace Tarvos
