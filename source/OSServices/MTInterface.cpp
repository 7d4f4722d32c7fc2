// The threading facade: process-wide state written once at start-up and read without locking after.
#include "Tarvos/MTInterface.h"

#include "MTAtomicPointerImp.h"
#include "OSServices/FacadeFailure.h"

namespace Tarvos {

namespace {
constexpr const char* kNoImplementation = "MTInterface No Installed Implementation";
constexpr const char* kAlreadyInstalled = "MTInterface Implementation Already Installed";
constexpr const char* kUnableToConstruct = "MTInterface Unable To Construct Object";

MTInterfaceImp* installed = nullptr;
uint32_t processorCount = 0;
MTSemaphore* sleepSemaphore = nullptr;  // never signalled: Sleep waits on it for its timeout
MTAtomicUnsigned32* uniqueIdCounter = nullptr;
}  // namespace

MTCritSec::~MTCritSec() = default;
MTSemaphore::MTSemaphore(uint32_t, uint32_t) {}
MTSemaphore::~MTSemaphore() = default;
MTAtomicUnsigned32::MTAtomicUnsigned32(uint32_t) {}
MTAtomicUnsigned32::~MTAtomicUnsigned32() = default;
MTAtomicPointer::MTAtomicPointer(void*) {}
MTAtomicPointer::~MTAtomicPointer() = default;
MTInterfaceImp::~MTInterfaceImp() = default;

MTInterface::MTInterface() = default;
MTInterface::~MTInterface() = default;

bool MTInterface::HasImplementation() {
    return installed != nullptr;
}

void MTInterface::InstallImplementation(MTInterfaceImp* implementation) {
    if (implementation == nullptr) {
        ThrowFacadeMessage(kNoImplementation);
    }
    if (installed != nullptr) {
        ThrowFacadeMessage(kAlreadyInstalled);
    }
    installed = implementation;
    processorCount = implementation->GetCPUCount();
    sleepSemaphore = implementation->NewSemaphore(1, 0);
    uniqueIdCounter = implementation->NewAtomicUnsigned32(0);
    if (sleepSemaphore == nullptr) {
        ThrowFacadeMessage(kUnableToConstruct);
    }
}

MTInterfaceImp* MTInterface::Checked() {
    if (installed == nullptr) {
        ThrowFacadeMessage(kNoImplementation);
    }
    return installed;
}

MTCritSec* MTInterface::NewCritSec() {
    return Checked()->NewCritSec();
}

MTSemaphore* MTInterface::NewSemaphore(uint32_t maximumCount, uint32_t initialCount) {
    return Checked()->NewSemaphore(maximumCount, initialCount);
}

MTAtomicUnsigned32* MTInterface::NewAtomicUnsigned32(uint32_t initial) {
    return Checked()->NewAtomicUnsigned32(initial);
}

MTAtomicPointer* MTInterface::NewAtomicPointer(void* initial) {
    Checked();
    return MTAtomicPointerImp::Create(initial);
}

MTThread* MTInterface::NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity) {
    return Checked()->NewThread(body, priority, affinity);
}

void MTInterface::DebugString(char* text) {
    Checked()->DebugString(text);
}

void MTInterface::DebugString(const char* text) {
    Checked()->DebugString(const_cast<char*>(text));
}

void MTInterface::Sleep(uint32_t ms) {
    Checked();
    if (sleepSemaphore == nullptr) {
        ThrowFacadeMessage(kNoImplementation);
    }
    sleepSemaphore->Wait(ms, 1);
}

uint32_t MTInterface::GetCurrentThreadID() {
    return Checked()->GetCurrentThreadID();
}

uint64_t MTInterface::GetCurrentTimeMicro() {
    return Checked()->GetCurrentTimeMicro();
}

uint32_t MTInterface::GetCurrentTimeMilli() {
    return static_cast<uint32_t>(Checked()->GetCurrentTimeMicro() / 1000u);
}

uint32_t MTInterface::GetCPUCount() {
    if (installed == nullptr || processorCount == 0) {
        ThrowFacadeMessage(kNoImplementation);
    }
    return processorCount;
}

uint32_t MTInterface::GetProcessUniqueID() {
    Checked();
    if (uniqueIdCounter == nullptr) {
        ThrowFacadeMessage(kNoImplementation);
    }
    uint32_t id = uniqueIdCounter->Increment();
    while (id == kInvalidUniqueID) {
        id = uniqueIdCounter->Increment();
    }
    return id;
}

}  // namespace Tarvos
