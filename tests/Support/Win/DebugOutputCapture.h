// Captures what MTInterface::DebugString sends to the debugger while it exists: OutputDebugStringA
// raises DBG_PRINTEXCEPTION_C with the text, which a vectored handler sees before anyone else (and
// passes on, so a real debugger still gets it). Text from every thread of the process is captured.
#pragma once

#include <mutex>
#include <string>

#include "OSServices/Win/WinHeaders.h"

namespace TarvosTest {
class DebugOutputCapture {
  public:
    DebugOutputCapture() { handler = AddVectoredExceptionHandler(1, &DebugOutputCapture::Handle); }
    ~DebugOutputCapture() {
        if (handler != nullptr) {
            RemoveVectoredExceptionHandler(handler);
        }
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // What was sent since construction.
    std::string Take() {
        std::lock_guard<std::mutex> hold(Mutex());
        std::string taken;
        taken.swap(Text());
        return taken;
    }

  private:
    static constexpr DWORD kPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C

    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::string& Text() {
        static std::string text;
        return text;
    }
    static LONG CALLBACK Handle(EXCEPTION_POINTERS* exception) {
        const EXCEPTION_RECORD* record = exception->ExceptionRecord;
        if (record->ExceptionCode == kPrintException && record->NumberParameters >= 2) {
            const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
            const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
            std::lock_guard<std::mutex> hold(Mutex());
            // The length counts the closing NUL.
            Text().append(text, length > 0 ? length - 1 : 0);
        }
        return EXCEPTION_CONTINUE_SEARCH;
    }

    PVOID handler;
};
}  // namespace TarvosTest
