// The built-in Linux whole-page memory: every buffer is its own anonymous private mapping, page-aligned,
// its size rounded up to whole pages, unmapped when the buffer dies (on whichever thread drops its last
// reference). Never takes memory from the heap and never locks it into physical memory. Any thread.
#pragma once

#include <cstdint>

#include "Tarvos/PhysMemInterface.h"

namespace Tarvos {

class PhysMemInterfaceImpPosix : public PhysMemInterfaceImp {
  public:
    // Reads the system page size.
    PhysMemInterfaceImpPosix();
    ~PhysMemInterfaceImpPosix() override = default;

    // Null for size 0, when the whole-page size does not fit in 32 bits, or when the system has no
    // memory; std::bad_alloc when the buffer object itself cannot be allocated.
    Buffer* Allocate(uint32_t size) override;
    uint32_t GetPageSize() override;

    // The size, rounded up to whole pages of pageSize; 0 when that does not fit in 32 bits.
    static uint32_t WholePageSize(uint32_t size, uint32_t pageSize);

  private:
    uint32_t pageSize;
};

}  // namespace Tarvos
