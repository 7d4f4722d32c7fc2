// Whole-page memory for unbuffered and scatter/gather I/O. Allocate returns a page-aligned buffer whose
// size is rounded up to whole pages (the caller owns its one reference), or null when the operating
// system has no memory for it. All statics only read state written at start-up.
#pragma once

#include <cstdint>

#include "Tarvos/Export.h"

namespace Tarvos {

class Buffer;
class OSServices;

class TARVOS_EXPORT PhysMemInterfaceImp {
  public:
    virtual Buffer* Allocate(uint32_t size) = 0;
    virtual uint32_t GetPageSize() = 0;

  protected:
    PhysMemInterfaceImp() = default;
    virtual ~PhysMemInterfaceImp();
    friend class PhysMemInterface;
};

class TARVOS_EXPORT PhysMemInterface {
  public:
    // Throws "PhysMemInterface No Installed Implementation" before start-up.
    static Buffer* Allocate(uint32_t size);
    // 0 before start-up.
    static uint32_t GetPageSize();
    // Number of whole pages in [address, address + length), or 0 unless both are page-aligned.
    static uint32_t GetNumberOfValidPagesForBuffer(void* address, uint32_t length);

  protected:
    friend class OSServices;
    static void InstallImplementation(PhysMemInterfaceImp* implementation);
    static bool HasImplementation();

  private:
    PhysMemInterface();
    virtual ~PhysMemInterface();
};

}  // namespace Tarvos
