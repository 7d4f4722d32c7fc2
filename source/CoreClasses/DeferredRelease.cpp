#include "CoreClasses/DeferredRelease.h"

#include <new>

#include "CoreClasses/CallSite.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/SharedObject.h"

namespace Tarvos {

namespace {
// A semaphore whose wait fails at once would turn the release thread into a spinning loop; take a
// unit given just now to tell a working one from that.
bool SemaphoreWorks(MTSemaphore* semaphore) {
    return semaphore != nullptr && semaphore->Signal(1) && semaphore->Wait(0, 1);
}
}  // namespace

DeferredRelease::DeferredRelease(MTCritSec* lock, MTSemaphore* wakeUp)
    : lock(lock), wakeUp(wakeUp), thread(nullptr) {}

DeferredRelease::~DeferredRelease() {
    delete lock;
    delete wakeUp;
}

DeferredRelease* DeferredRelease::Start() {
    MTCritSec* lock = nullptr;
    MTSemaphore* wakeUp = nullptr;
    DeferredRelease* releaser = nullptr;
    try {
        lock = MTInterface::NewCritSec();
        wakeUp = MTInterface::NewSemaphore(1, 0);
        if (lock == nullptr || !SemaphoreWorks(wakeUp)) {
            delete lock;
            delete wakeUp;
            return nullptr;
        }
        releaser = new DeferredRelease(lock, wakeUp);
        lock = nullptr;
        wakeUp = nullptr;
        releaser->thread =
            MTInterface::NewThread(releaser, MTThread::kMTPriorityAboveNormal, MTThread::kProcessorAny);
    } catch (...) {
        delete lock;
        delete wakeUp;
        if (releaser != nullptr && releaser->thread == nullptr) {
            delete releaser;
        }
        return nullptr;
    }
    if (releaser->thread == nullptr) {
        delete releaser;
        return nullptr;
    }
    return releaser;
}

void DeferredRelease::Release(SharedObject* object) {
    if (object != nullptr && !HandOver(object)) {
        object->DecRef(TARVOS_CALL_SITE);
    }
}

bool DeferredRelease::HandOver(SharedObject* object) {
    // Started once, by whichever thread first needs it; later callers see the finished object.
    static DeferredRelease* const releaser = Start();
    if (releaser == nullptr || object == nullptr) {
        return false;
    }
    releaser->Add(object);
    return true;
}

void DeferredRelease::Add(SharedObject* object) {
    {
        MTCritSecHold holder(lock);
        queue.push_back(object);
    }
    // Fails only when a signal is already pending, which wakes the thread just as well.
    wakeUp->Signal(1);
}

void DeferredRelease::TerminateBody() {
    wakeUp->Signal(1);
}

void DeferredRelease::RunBody(MTThread* worker) {
    std::vector<SharedObject*> taken;
    while (worker != nullptr && !worker->IsTerminating()) {
        wakeUp->Wait(MTSemaphore::kInfinite, 1);
        {
            MTCritSecHold holder(lock);
            taken.swap(queue);
        }
        for (SharedObject* object : taken) {
            object->DecRef(TARVOS_CALL_SITE);
        }
        taken.clear();
    }
}

}  // namespace Tarvos
