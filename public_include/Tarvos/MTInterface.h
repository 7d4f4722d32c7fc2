// Portable threading and time layer: critical sections, counted semaphores, atomic counters and
// pointers, threads, clocks and process-unique identifiers. Every primitive is created through the
// static MTInterface facade, which forwards to the implementation installed once by OSServices.
// All statics may be called from any thread after start-up; before it they throw the char* message
// "MTInterface No Installed Implementation". Callers own (and delete) every primitive they create.
#pragma once

#include <atomic>
#include <cstdint>

#include "Tarvos/Export.h"

namespace Tarvos {

class OSServices;

// Re-entrant lock: the owning thread may enter again and must leave as often as it entered.
class TARVOS_EXPORT MTCritSec {
  public:
    virtual ~MTCritSec();
    virtual void Enter() = 0;
    virtual void Leave() = 0;

  protected:
    MTCritSec() = default;
    MTCritSec(const MTCritSec&) = delete;
    MTCritSec& operator=(const MTCritSec&) = delete;
};

// Counted semaphore with a maximum. Signal fails (releasing nothing) past the maximum. Wait takes the
// units one at a time, each with timeout / count milliseconds (0xFFFFFFFF waits forever); units already
// taken when a later one times out are not given back.
class TARVOS_EXPORT MTSemaphore {
  public:
    static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

    virtual ~MTSemaphore();
    virtual bool Signal(uint32_t count) = 0;
    virtual bool Wait(uint32_t timeoutMs, uint32_t count) = 0;

  protected:
    MTSemaphore(uint32_t maximumCount, uint32_t initialCount);
    MTSemaphore(const MTSemaphore&) = delete;
    MTSemaphore& operator=(const MTSemaphore&) = delete;
};

// 32-bit counter; Increment, Decrement and CompareExchange are full-barrier atomic operations.
class TARVOS_EXPORT MTAtomicUnsigned32 {
  public:
    virtual ~MTAtomicUnsigned32();
    virtual uint32_t Get() = 0;
    virtual uint32_t Increment() = 0;  // returns the new value
    virtual uint32_t Decrement() = 0;  // returns the new value
    virtual bool CompareExchange(uint32_t expected, uint32_t desired) = 0;

  protected:
    explicit MTAtomicUnsigned32(uint32_t initial);
    MTAtomicUnsigned32(const MTAtomicUnsigned32&) = delete;
    MTAtomicUnsigned32& operator=(const MTAtomicUnsigned32&) = delete;
};

class TARVOS_EXPORT MTAtomicPointer {
  public:
    virtual ~MTAtomicPointer();
    virtual void* Get() = 0;
    virtual bool CompareExchange(void* expected, void* desired) = 0;

  protected:
    explicit MTAtomicPointer(void* initial);
    MTAtomicPointer(const MTAtomicPointer&) = delete;
    MTAtomicPointer& operator=(const MTAtomicPointer&) = delete;
};

class MTThread;

// The work of a thread. RunBody returns once thread->IsTerminating() is true; TerminateBody is called
// on the terminating thread and must wake a blocked RunBody without waiting for it.
class TARVOS_EXPORT MTThreadBody {
  public:
    virtual ~MTThreadBody();
    virtual void RunBody(MTThread* thread) = 0;

  protected:
    friend class MTThread;
    virtual void TerminateBody();
};

// A running thread. Completion is observed only through its completion semaphore, which Run signals
// exactly once. Deleting a thread whose body has not returned terminates it; if the body ignores that
// for 10 000 ms the destructor keeps waiting (reporting to DebugString every 10 s) rather than free
// memory the running thread still uses.
class TARVOS_EXPORT MTThread {
  public:
    enum MTPriority : int32_t {
        kMTPriorityTimeCritical = 1000,
        kMTPriorityHigh = 100,
        kMTPriorityAboveNormal = 10,
        kMTPriorityNormal = 0,
        kMTPriorityBelowNormal = -10,
        kMTPriorityLow = -100,
    };
    static constexpr uint64_t kProcessorAny = 0;

    virtual ~MTThread();
    virtual bool Terminate(uint32_t timeoutMs);
    virtual bool IsTerminating();

  protected:
    MTThread(MTThreadBody* body, MTPriority priority, uint64_t affinityMask);
    MTThread(const MTThread&) = delete;
    MTThread& operator=(const MTThread&) = delete;

    // Runs the body on the new thread, catching every exception, then signals completion.
    virtual void Run();

    // Terminates the body and waits for it for as long as it takes. A platform subclass calls this
    // first in its destructor, so that its running thread never sees the object half destroyed.
    void FinishBeforeDestruction();
    // For a platform subclass whose thread could not be started: the body never ran.
    void ForgetBodyThatNeverRan() { body = nullptr; }
    // False when the completion semaphore could not be made: such a thread could never be waited
    // for, so a platform subclass must not start it.
    bool CanReportCompletion() const { return completionSemaphore != nullptr; }

  private:
    MTThreadBody* body;                // not owned; null once terminated
    MTSemaphore* completionSemaphore;  // maximum 1, initial 0; owned
    std::atomic<bool> terminating;     // written by the terminating thread, read by the body's thread
};

// The installed threading implementation. Each creating operation returns null if the object cannot
// be allocated; the caller owns the result.
class TARVOS_EXPORT MTInterfaceImp {
  public:
    virtual MTCritSec* NewCritSec() = 0;
    virtual MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount) = 0;
    virtual MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial) = 0;
    virtual MTThread* NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity) = 0;
    virtual void DebugString(char* text) = 0;
    virtual uint32_t GetCurrentThreadID() = 0;
    virtual uint64_t GetCurrentTimeMicro() = 0;
    virtual uint32_t GetCPUCount() = 0;

  protected:
    MTInterfaceImp() = default;
    virtual ~MTInterfaceImp();
    friend class MTInterface;
};

class TARVOS_EXPORT MTInterface {
  public:
    static constexpr uint32_t kInvalidUniqueID = 0;

    static MTCritSec* NewCritSec();
    static MTSemaphore* NewSemaphore(uint32_t maximumCount, uint32_t initialCount);
    static MTAtomicUnsigned32* NewAtomicUnsigned32(uint32_t initial);
    static MTAtomicPointer* NewAtomicPointer(void* initial);
    static MTThread* NewThread(MTThreadBody* body, MTThread::MTPriority priority, uint64_t affinity);
    static void DebugString(char* text);
    static void DebugString(const char* text);
    static void Sleep(uint32_t ms);
    static uint32_t GetCurrentThreadID();
    static uint64_t GetCurrentTimeMicro();
    static uint32_t GetCurrentTimeMilli();
    static uint32_t GetCPUCount();
    static uint32_t GetProcessUniqueID();

  protected:
    friend class OSServices;
    static void InstallImplementation(MTInterfaceImp* implementation);
    static bool HasImplementation();

  private:
    MTInterface();
    virtual ~MTInterface();
    static MTInterfaceImp* Checked();
};

}  // namespace Tarvos
