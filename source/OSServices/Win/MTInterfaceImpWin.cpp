#include "OSServices/Win/MTInterfaceImpWin.h"

#include <new>

#include "OSServices/DefaultImplementations.h"
#include "OSServices/FacadeFailure.h"
#include "OSServices/Win/MTPrimitivesWin.h"
#include "OSServices/Win/MTThreadWin.h"
#include "OSServices/Win/WinHeaders.h"

namespace Tarvos {

namespace {
// Microseconds per performance-counter tick; written once at construction, before any other thread of
// the library starts.
double microsecondsPerTick = 0.0;
}  // namespace

MTInterfaceImpWin::MTInterfaceImpWin() {
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        ThrowFacadeMessage("MTInterface Unable To Construct Object");
    }
    microsecondsPerTick = 1000000.0 / static_cast<double>(frequency.QuadPart);
}

MTInterfaceImp* NewDefaultMTInterfaceImp() {
    return new MTInterfaceImpWin();
}

MTCritSec* MTInterfaceImpWin::NewCritSec() {
    return new (std::nothrow) MTCritSecWin();
}

MTSemaphore* MTInterfaceImpWin::NewSemaphore(uint32_t maximumCount, uint32_t initialCount) {
    return new (std::nothrow) MTSemaphoreWin(maximumCount, initialCount);
}

MTAtomicUnsigned32* MTInterfaceImpWin::NewAtomicUnsigned32(uint32_t initial) {
    return new (std::nothrow) MTAtomicUnsigned32Win(initial);
}

MTThread* MTInterfaceImpWin::NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity) {
    return MTThreadWin::Start(body, priority, affinity);
}

void MTInterfaceImpWin::DebugString(char* text) {
    if (text != nullptr) {
        OutputDebugStringA(text);
    }
}

uint32_t MTInterfaceImpWin::GetCurrentThreadID() {
    return static_cast<uint32_t>(GetCurrentThreadId());
}

uint64_t MTInterfaceImpWin::GetCurrentTimeMicro() {
    LARGE_INTEGER counter;
    if (!QueryPerformanceCounter(&counter)) {
        return 0;
    }
    return static_cast<uint64_t>(static_cast<double>(counter.QuadPart) * microsecondsPerTick);
}

uint32_t MTInterfaceImpWin::GetCPUCount() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<uint32_t>(info.dwNumberOfProcessors) : 1u;
}

int MTInterfaceImpWin::WindowsPriorityFor(MTThread::MTPriority priority) {
    switch (priority) {
        case MTThread::kMTPriorityTimeCritical:
            return THREAD_PRIORITY_TIME_CRITICAL;
        case MTThread::kMTPriorityHigh:
            return THREAD_PRIORITY_HIGHEST;
        case MTThread::kMTPriorityAboveNormal:
            return THREAD_PRIORITY_ABOVE_NORMAL;
        case MTThread::kMTPriorityBelowNormal:
            return THREAD_PRIORITY_BELOW_NORMAL;
        case MTThread::kMTPriorityLow:
            return THREAD_PRIORITY_LOWEST;
        case MTThread::kMTPriorityNormal:
        default:
            return THREAD_PRIORITY_NORMAL;
    }
}

}  // namespace Tarvos
