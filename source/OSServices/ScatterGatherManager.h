// Prepares one BufferList for one scatter/gather read or write. While a list is in use the manager
// holds a reference on it and keeps all its buffers locked; it offers the memory as one contiguous
// address and length when the buffers lie back to back, as a page segment array (one page-aligned
// 64-bit address per page, in list order, closed by 0: the form Windows' scatter/gather calls take),
// and as an array of runs (adjacent pages merged: the form of Linux's vectored calls). Each I/O engine slot
// owns one manager and reuses it, so the arrays only grow. No lock: one request at a time, handed over under
// the engine's queue lock.
#pragma once

#include <cstdint>
#include <vector>

#include "OSServices/IOMechanism.h"

namespace Tarvos {

class BufferList;

class ScatterGatherManager {
  public:
    ScatterGatherManager();
    // Stops using the list in use, if any.
    virtual ~ScatterGatherManager();
    ScatterGatherManager(const ScatterGatherManager&) = delete;
    ScatterGatherManager& operator=(const ScatterGatherManager&) = delete;

    // Locks list, references it and builds the page and run arrays. False (the manager idle, the list
    // unlocked and unreferenced) for a null or empty list, a list already in use, no page size, a buffer
    // that cannot be locked, has no address, or is not a whole number of page-aligned pages, and a list
    // whose memory needs more than maxRuns separate runs. std::bad_alloc when the arrays cannot grow.
    bool StartUsingBufferList(BufferList* list, uint32_t maxRuns);
    // Unlocks and releases the list in use (if any); the arrays stay for the next list. Always true.
    bool StopUsingBufferList();
    // The first buffer's address when the buffers form one contiguous block (its size stored through
    // size), else null (0 stored).
    void* GetContiguousAddress(uint32_t* size);
    // The page segment array while a list is in use (total size stored through size), else null (0).
    uint64_t* GetSegmentArray(uint32_t* size);
    // The runs describing exactly the total size, while a list is in use (entry count stored through
    // count), else null (0).
    const IORun* GetRunArray(uint32_t* count);
    uint32_t GetTotalSize();
    BufferList* GetList() const { return list; }

  private:
    void Undo();

    BufferList* list;                // one counted reference while in use; null when idle
    std::vector<uint64_t> segments;  // pages, then the closing 0; capacity only grows
    std::vector<IORun> runs;         // merged runs of segments; capacity only grows
    uint32_t runCount;               // entries of runs in use
    void* lockToken;                 // from LockAllBuffers for the list in use
    uint32_t contiguousSize;         // total size when contiguous, else 0
    uint32_t totalSize;              // sum of the buffers' sizes
};

}  // namespace Tarvos
