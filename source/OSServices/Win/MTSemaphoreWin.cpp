#include "OSServices/Win/MTPrimitivesWin.h"

namespace Tarvos {

MTSemaphoreWin::MTSemaphoreWin(uint32_t maximumCount, uint32_t initialCount)
    : MTSemaphore(maximumCount, initialCount), handle(nullptr) {
    // The kernel takes signed counts; larger values are clamped rather than refused.
    const LONG maximum = maximumCount > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<LONG>(maximumCount);
    LONG initial = initialCount > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<LONG>(initialCount);
    initial = initial > maximum ? maximum : initial;
    handle = CreateSemaphoreA(nullptr, initial, maximum, nullptr);
}

MTSemaphoreWin::~MTSemaphoreWin() {
    if (handle != nullptr) {
        CloseHandle(handle);
    }
}

bool MTSemaphoreWin::Signal(uint32_t count) {
    if (handle == nullptr || count > 0x7FFFFFFFu) {
        return false;
    }
    // ReleaseSemaphore refuses (releasing nothing) a count that would pass the maximum.
    return ReleaseSemaphore(handle, static_cast<LONG>(count), nullptr) != 0;
}

bool MTSemaphoreWin::Wait(uint32_t timeoutMs, uint32_t count) {
    if (count == 0) {
        return true;
    }
    if (handle == nullptr) {
        return false;
    }
    const DWORD perUnit = timeoutMs == kInfinite ? INFINITE : timeoutMs / count;
    for (uint32_t taken = 0; taken < count; ++taken) {
        // Units already taken stay taken when a later one times out.
        if (WaitForSingleObject(handle, perUnit) != WAIT_OBJECT_0) {
            return false;
        }
    }
    return true;
}

}  // namespace Tarvos
