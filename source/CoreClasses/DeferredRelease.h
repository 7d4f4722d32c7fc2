// Drops references on a thread of its own. The file source's adapters end on whichever thread
// completed their operation (the I/O thread, a cache dispatcher); the reference they drop may be the
// last one on a source or a cache, whose destruction cancels work and waits for exactly such threads.
// Handing those releases here means no destruction ever waits for the thread it runs on. The thread is
// started on first use and runs until the process ends; releases happen in the order handed over.
#pragma once

#include <vector>

#include "Tarvos/MTInterface.h"

namespace Tarvos {

class SharedObject;

class DeferredRelease final : public MTThreadBody {
  public:
    // Hands over one reference on object (null is ignored). When the release thread cannot be started,
    // the reference is dropped at once on the calling thread.
    static void Release(SharedObject* object);
    // Hands over one reference on object, or returns false (the reference still the caller's) when
    // the release thread cannot be started. For a DecRef that defers its own last release: falling
    // back to Release would call that DecRef again, without end.
    static bool HandOver(SharedObject* object);

  private:
    DeferredRelease(MTCritSec* lock, MTSemaphore* wakeUp);
    ~DeferredRelease() override;
    static DeferredRelease* Start();

    void RunBody(MTThread* thread) override;
    void TerminateBody() override;
    void Add(SharedObject* object);

    MTCritSec* lock;      // guards queue; a leaf lock, never held while a reference is dropped
    MTSemaphore* wakeUp;  // maximum 1: one signal covers everything queued before the next drain
    std::vector<SharedObject*> queue;
    MTThread* thread;  // never deleted: the releaser lives as long as the process
};

}  // namespace Tarvos
