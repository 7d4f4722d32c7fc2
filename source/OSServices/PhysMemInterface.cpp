#include "Tarvos/PhysMemInterface.h"

#include <cstdint>

#include "OSServices/FacadeFailure.h"

namespace Tarvos {

namespace {
PhysMemInterfaceImp* installed = nullptr;
uint32_t pageSize = 0;
}  // namespace

PhysMemInterfaceImp::~PhysMemInterfaceImp() = default;
PhysMemInterface::PhysMemInterface() = default;
PhysMemInterface::~PhysMemInterface() = default;

bool PhysMemInterface::HasImplementation() {
    return installed != nullptr;
}

void PhysMemInterface::InstallImplementation(PhysMemInterfaceImp* implementation) {
    if (implementation == nullptr) {
        ThrowFacadeMessage("PhysMemInterface No Installed Implementation");
    }
    if (installed != nullptr) {
        ThrowFacadeMessage("PhysMemInterface Implementation Already Installed");
    }
    installed = implementation;
    pageSize = implementation->GetPageSize();
}

Buffer* PhysMemInterface::Allocate(uint32_t size) {
    if (installed == nullptr) {
        ThrowFacadeMessage("PhysMemInterface No Installed Implementation");
    }
    return installed->Allocate(size);
}

uint32_t PhysMemInterface::GetPageSize() {
    return pageSize;
}

uint32_t PhysMemInterface::GetNumberOfValidPagesForBuffer(void* address, uint32_t length) {
    if (address == nullptr || pageSize == 0) {
        return 0;
    }
    if (length % pageSize != 0 || reinterpret_cast<uintptr_t>(address) % pageSize != 0) {
        return 0;
    }
    return length / pageSize;
}

}  // namespace Tarvos
