// Windows' mechanism: overlapped ReadFile/WriteFile for one run of memory, ReadFileScatter and
// WriteFileGather (one page per segment) for several. Each operation has an entry with its own
// OVERLAPPED and manual-reset event; Wait waits on the wake event and the events of the entries in use
// (at most 62 handles, within the system's 64), then collects every entry whose operation has ended.
// A transfer the system refuses outright is reported through Wait like any other, so the engine sees
// one path for every error. CancelIoEx reaches the one operation, whichever thread issued it.
//
// Entry states (I/O thread only): free -> in use (Submit started it) -> free (Wait collected its end).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OSServices/IOMechanism.h"
#include "OSServices/NativeIOEngine.h"
#include "OSServices/Win/IOMechanismWin.h"
#include "OSServices/Win/WinHeaders.h"

namespace Tarvos {

namespace {

// The engine never has more operations outstanding than it has slots.
constexpr uint32_t kEntries = NativeIOEngine::kNativeIORequestSlots;
static_assert(kEntries + 1 <= MAXIMUM_WAIT_OBJECTS,
              "the entries' events and the wake event must fit one wait");

class IOMechanismOverlapped final : public IOMechanism {
  public:
    IOMechanismOverlapped() = default;

    ~IOMechanismOverlapped() override {
        for (Entry& entry : entries) {
            if (entry.overlapped.hEvent != nullptr) {
                CloseHandle(entry.overlapped.hEvent);
            }
        }
        if (wakeEvent != nullptr) {
            CloseHandle(wakeEvent);
        }
    }

    bool Init(std::string* reason) {
        wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        bool made = wakeEvent != nullptr;
        for (Entry& entry : entries) {
            entry.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            made = made && entry.overlapped.hEvent != nullptr;
        }
        if (!made) {
            *reason = "CreateEvent failed with error " + std::to_string(GetLastError());
            return false;
        }
        *reason = "overlapped I/O";
        ready.reserve(kEntries);
        return true;
    }

    const char* GetName() override { return "overlapped"; }
    // Several runs go as a page segment array, which has no limit of its own.
    uint32_t GetMaxRuns() override { return UINT32_MAX; }

    int Submit(const IOOperation& operation) override {
        auto free =
            std::find_if(entries, entries + kEntries, [](const Entry& entry) { return !entry.inUse; });
        if (free == entries + kEntries) {
            return -static_cast<int>(ERROR_NOT_ENOUGH_QUOTA);
        }
        Entry& entry = *free;
        HANDLE file = reinterpret_cast<HANDLE>(operation.file);
        HANDLE event = entry.overlapped.hEvent;
        entry.overlapped = OVERLAPPED{};
        entry.overlapped.hEvent = event;
        entry.overlapped.Offset = static_cast<DWORD>(operation.offset & 0xFFFFFFFFu);
        entry.overlapped.OffsetHigh = static_cast<DWORD>(operation.offset >> 32);
        BOOL done = FALSE;
        if (operation.runCount == 1) {
            void* base = operation.runs[0].base;
            const DWORD size = static_cast<DWORD>(operation.runs[0].length);
            done = operation.write ? WriteFile(file, base, size, nullptr, &entry.overlapped)
                                   : ReadFile(file, base, size, nullptr, &entry.overlapped);
        } else {
            // The page array is laid out as FILE_SEGMENT_ELEMENTs: one 64-bit address per page, closed by 0.
            auto* segments = reinterpret_cast<FILE_SEGMENT_ELEMENT*>(const_cast<uint64_t*>(operation.pages));
            done = operation.write
                       ? WriteFileGather(file, segments, operation.size, nullptr, &entry.overlapped)
                       : ReadFileScatter(file, segments, operation.size, nullptr, &entry.overlapped);
        }
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (done || error == ERROR_IO_PENDING) {
            // Started or already finished: the entry's event reports it either way.
            entry.inUse = true;
            entry.file = file;
            entry.tag = operation.tag;
            return 0;
        }
        ready.push_back(IOCompletion{operation.tag, -static_cast<int64_t>(error)});
        SetEvent(wakeEvent);
        return 0;
    }

    void RequestCancel(uint64_t tag) override {
        for (Entry& entry : entries) {
            if (entry.inUse && entry.tag == tag) {
                CancelIoEx(entry.file, &entry.overlapped);
                return;
            }
        }
    }

    bool Wait(uint32_t timeoutMs, std::vector<IOCompletion>* out) override {
        HANDLE handles[kEntries + 1];
        DWORD count = 0;
        handles[count++] = wakeEvent;
        for (Entry& entry : entries) {
            if (entry.inUse) {
                handles[count++] = entry.overlapped.hEvent;
            }
        }
        const DWORD timeout = !ready.empty() ? 0 : timeoutMs == kWaitForever ? INFINITE : timeoutMs;
        if (WaitForMultipleObjects(count, handles, FALSE, timeout) == WAIT_FAILED) {
            return false;
        }
        out->insert(out->end(), ready.begin(), ready.end());
        ready.clear();
        for (Entry& entry : entries) {
            if (!entry.inUse || !HasOverlappedIoCompleted(&entry.overlapped)) {
                continue;
            }
            DWORD bytes = 0;
            const BOOL succeeded = GetOverlappedResult(entry.file, &entry.overlapped, &bytes, FALSE);
            const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
            if (!succeeded && error == ERROR_IO_INCOMPLETE) {
                continue;
            }
            entry.inUse = false;
            out->push_back(
                IOCompletion{entry.tag, succeeded ? int64_t{bytes} : -static_cast<int64_t>(error)});
        }
        return true;
    }

    void Wake() override { SetEvent(wakeEvent); }

  private:
    struct Entry {
        bool inUse = false;
        OVERLAPPED overlapped = {};  // hEvent is the entry's own manual-reset event, made once
        HANDLE file = nullptr;
        uint64_t tag = 0;
    };

    HANDLE wakeEvent = nullptr;  // auto-reset; the only member Wake touches
    Entry entries[kEntries];
    std::vector<IOCompletion> ready;  // transfers refused at Submit, delivered by the next Wait
};

}  // namespace

IOErrorKind_t ClassifyIOError(int32_t error) {
    switch (static_cast<DWORD>(error)) {
        case ERROR_HANDLE_EOF:
            return kIOErrorEndOfFile;
        // Too many asynchronous requests at once for the system: nothing started, and it passes.
        case ERROR_INVALID_USER_BUFFER:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NOT_ENOUGH_QUOTA:
            return kIOErrorTransient;
        default:
            return kIOErrorOther;
    }
}

std::unique_ptr<IOMechanism> NewIOMechanismOverlapped(std::string* reason) {
    auto mechanism = std::make_unique<IOMechanismOverlapped>();
    if (!mechanism->Init(reason)) {
        return nullptr;
    }
    return mechanism;
}

std::unique_ptr<IOMechanism> NewIOMechanismFor(const char*, std::string* reason) {
    return NewIOMechanismOverlapped(reason);
}

}  // namespace Tarvos
