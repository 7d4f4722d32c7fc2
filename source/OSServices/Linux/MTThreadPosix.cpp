#include "MTThreadPosix.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "MTInterfaceImpPosix.h"
#include "OSServices/FacadeFailure.h"

namespace Tarvos {

namespace {
// What the new thread needs before it runs the body; owned by the thread, so the thread never reads
// the MTThreadPosix object itself except through MTThread::Run.
struct StartPacket {
    MTThreadPosix* thread;
    MTThread::MTPriority priority;
    uint64_t affinity;
};

bool RealTimeRequested() {
    const char* setting = std::getenv("TARVOS_REALTIME");
    return setting != nullptr && std::strcmp(setting, "1") == 0;
}
// Best effort throughout: without privileges a raised priority is refused and the thread simply runs
// at normal priority.
void ApplySchedulingToCallingThread(MTThread::MTPriority priority, uint64_t affinity) {
    if (affinity != MTThread::kProcessorAny) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (unsigned cpu = 0; cpu < 64 && cpu < CPU_SETSIZE; ++cpu) {
            if ((affinity >> cpu) & 1u) {
                CPU_SET(cpu, &set);
            }
        }
        pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
    }
    if (priority == MTThread::kMTPriorityTimeCritical && RealTimeRequested()) {
        sched_param parameters{};
        parameters.sched_priority = 1;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0) {
            return;
        }
    }
    // A new thread inherits its creator's nice value; set it from the process's start-up baseline so
    // that a normal thread started by a time-critical one runs at normal priority.
    int nice = MTInterfaceImpPosix::BaselineNice() + MTInterfaceImpPosix::NiceValueFor(priority);
    nice = nice < -20 ? -20 : (nice > 19 ? 19 : nice);
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), nice);
}

}  // namespace

MTThreadPosix::MTThreadPosix(MTThreadBody* body, MTPriority priority, uint64_t affinity)
    : MTThread(body, priority, affinity) {}

MTThreadPosix::~MTThreadPosix() {
    FinishBeforeDestruction();
}

MTThreadPosix* MTThreadPosix::Start(MTThreadBody* body, MTPriority priority, uint64_t affinity) {
    std::unique_ptr<MTThreadPosix> thread(new (std::nothrow) MTThreadPosix(body, priority, affinity));
    if (thread == nullptr) {
        return nullptr;
    }
    if (!thread->CanReportCompletion()) {
        thread->ForgetBodyThatNeverRan();
        return nullptr;
    }
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        ThrowFacadeMessage("MTInterface Unable To Construct Object");
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* packet = new StartPacket{thread.get(), priority, affinity};
    pthread_t handle;
    const int started = pthread_create(&handle, &attributes, &MTThreadPosix::Entry, packet);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        delete packet;
        thread->ForgetBodyThatNeverRan();
        ThrowFacadeMessage("MTInterface Unable To Construct Object");
    }
    return thread.release();
}

void* MTThreadPosix::Entry(void* startPacket) {
    const StartPacket packet = *static_cast<StartPacket*>(startPacket);
    delete static_cast<StartPacket*>(startPacket);
    ApplySchedulingToCallingThread(packet.priority, packet.affinity);
    // After Run signals completion the object may be deleted at once: nothing of it is touched again.
    packet.thread->Run();
    return nullptr;
}

}  // namespace Tarvos
