// MTThread states: running (body set, flag clear) -> terminating (flag set, waiting for completion)
// -> terminated (body null, flag clear). Run signals the completion semaphore exactly once.
#include <exception>

#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {
constexpr uint32_t kDestructorWaitMs = 10000;
}

MTThreadBody::~MTThreadBody() = default;
void MTThreadBody::TerminateBody() {}

MTThread::MTThread(MTThreadBody* body, MTPriority, uint64_t)
    : body(body), completionSemaphore(MTInterface::NewSemaphore(1, 0)), terminating(false) {}

MTThread::~MTThread() {
    FinishBeforeDestruction();
    delete completionSemaphore;
}

void MTThread::FinishBeforeDestruction() {
    if (body != nullptr && !Terminate(kDestructorWaitMs)) {
        // The running thread still uses this object and its body: freeing them now would let it touch
        // freed memory, so wait for as long as it takes.
        while (!Terminate(kDestructorWaitMs)) {
            MTInterface::DebugString("MTThread destroyed while its body keeps running; still waiting\n");
        }
    }
}

bool MTThread::Terminate(uint32_t timeoutMs) {
    if (body == nullptr) {
        return false;
    }
    terminating.store(true);
    body->TerminateBody();
    if (completionSemaphore == nullptr || !completionSemaphore->Wait(timeoutMs, 1)) {
        return false;
    }
    terminating.store(false);
    body = nullptr;
    return true;
}

bool MTThread::IsTerminating() {
    return terminating.load();
}

void MTThread::Run() {
    if (body != nullptr) {
        try {
            body->RunBody(this);
        } catch (...) {
            MTInterface::DebugString("Unhandled Exception Running Thread\n");
        }
    }
    if (completionSemaphore != nullptr) {
        completionSemaphore->Signal(1);
    }
}

}  // namespace Tarvos
