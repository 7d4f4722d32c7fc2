#include "MTInterfaceImpPosix.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <sys/resource.h>
#include <cerrno>
#include <cstdio>
#include <new>

#include "MTPrimitivesPosix.h"
#include "MTThreadPosix.h"
#include "OSServices/DefaultImplementations.h"

namespace Tarvos {

namespace {
int baselineNice = 0;  // written once at construction, before any thread of the library starts
}

MTInterfaceImpPosix::MTInterfaceImpPosix() {
    baselineNice = GetCurrentThreadNice();
}

int MTInterfaceImpPosix::BaselineNice() {
    return baselineNice;
}

MTInterfaceImp* NewDefaultMTInterfaceImp() {
    return new MTInterfaceImpPosix();
}

MTCritSec* MTInterfaceImpPosix::NewCritSec() {
    return new (std::nothrow) MTCritSecPosix();
}

MTSemaphore* MTInterfaceImpPosix::NewSemaphore(uint32_t maximumCount, uint32_t initialCount) {
    return new (std::nothrow) MTSemaphorePosix(maximumCount, initialCount);
}

MTAtomicUnsigned32* MTInterfaceImpPosix::NewAtomicUnsigned32(uint32_t initial) {
    return new (std::nothrow) MTAtomicUnsigned32Posix(initial);
}

MTThread* MTInterfaceImpPosix::NewThread(MTThreadBody* body, MTThread::MTPriority priority,
                                         uint64_t affinity) {
    return MTThreadPosix::Start(body, priority, affinity);
}

void MTInterfaceImpPosix::DebugString(char* text) {
    if (text != nullptr) {
        std::fputs(text, stderr);
        std::fflush(stderr);
    }
}

uint32_t MTInterfaceImpPosix::GetCurrentThreadID() {
    return static_cast<uint32_t>(::syscall(SYS_gettid));
}

uint64_t MTInterfaceImpPosix::GetCurrentTimeMicro() {
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

uint32_t MTInterfaceImpPosix::GetCPUCount() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<uint32_t>(count) : 1u;
}

int MTInterfaceImpPosix::NiceValueFor(MTThread::MTPriority priority) {
    switch (priority) {
        case MTThread::kMTPriorityTimeCritical:
            return -15;
        case MTThread::kMTPriorityHigh:
            return -10;
        case MTThread::kMTPriorityAboveNormal:
            return -5;
        case MTThread::kMTPriorityBelowNormal:
            return 5;
        case MTThread::kMTPriorityLow:
            return 10;
        case MTThread::kMTPriorityNormal:
        default:
            return 0;
    }
}

int MTInterfaceImpPosix::GetCurrentThreadNice() {
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
}

}  // namespace Tarvos
