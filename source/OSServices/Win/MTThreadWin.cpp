#include "OSServices/Win/MTThreadWin.h"

#include <process.h>

#include <memory>
#include <new>

#include "OSServices/FacadeFailure.h"
#include "OSServices/Win/MTInterfaceImpWin.h"

namespace Tarvos {

MTThreadWin::MTThreadWin(MTThreadBody* body, MTPriority priority, uint64_t affinity)
    : MTThread(body, priority, affinity), handle(nullptr) {}

MTThreadWin::~MTThreadWin() {
    // The running thread must never see this object half destroyed.
    FinishBeforeDestruction();
    if (handle != nullptr) {
        CloseHandle(handle);
    }
}

MTThreadWin* MTThreadWin::Start(MTThreadBody* body, MTPriority priority, uint64_t affinity) {
    std::unique_ptr<MTThreadWin> thread(new (std::nothrow) MTThreadWin(body, priority, affinity));
    if (thread == nullptr) {
        return nullptr;
    }
    if (!thread->CanReportCompletion()) {
        // Nobody could ever wait for such a thread.
        thread->ForgetBodyThatNeverRan();
        return nullptr;
    }
    unsigned threadId = 0;
    const uintptr_t started =
        _beginthreadex(nullptr, 0, &MTThreadWin::Entry, thread.get(), CREATE_SUSPENDED, &threadId);
    if (started == 0) {
        thread->ForgetBodyThatNeverRan();
        ThrowFacadeMessage("MTInterface Unable To Construct Object");
    }
    thread->handle = reinterpret_cast<HANDLE>(started);
    // Only the low 32 bits of the mask are used; 0 leaves the thread free to run anywhere.
    const DWORD_PTR mask = static_cast<DWORD_PTR>(affinity & 0xFFFFFFFFu);
    if (mask != 0) {
        SetThreadAffinityMask(thread->handle, mask);
    }
    SetThreadPriority(thread->handle, MTInterfaceImpWin::WindowsPriorityFor(priority));
    if (ResumeThread(thread->handle) == static_cast<DWORD>(-1)) {
        // A suspended thread that cannot be resumed never runs its body; ending it is safe.
        TerminateThread(thread->handle, 1);
        thread->ForgetBodyThatNeverRan();
        ThrowFacadeMessage("MTInterface Unable To Construct Object");
    }
    return thread.release();
}

unsigned __stdcall MTThreadWin::Entry(void* thread) {
    // After Run signals completion the object may be deleted at once: nothing of it is touched again.
    static_cast<MTThreadWin*>(thread)->Run();
    return 0;
}

}  // namespace Tarvos
