// The Windows native file source: one handle opened with CreateFileA for overlapped, unbuffered I/O
// (write-through when writing), shared for reading, writing and deletion. Uncached reads and writes go
// to the process's NativeIOEngine with its fixed deadline, queued there by their due time; the engine's
// reports of operating-system errors become GetLastOSError. Close, Delete
// and destruction cancel the handle's engine requests before closing it; on the I/O thread itself that
// cancellation runs inline, so it never waits for its own thread.
#pragma once

#include <cstdint>

#include "OSServices/NativeIOEngine.h"
#include "OSServices/Win/WinHeaders.h"
#include "Tarvos/NativeFileSource.h"

namespace Tarvos {

class NativeFileSourceWin : public NativeFileSource, private NativeIOEngine::IOErrorListener {
  public:
    // The exact CreateFileA values Open asks for.
    static constexpr DWORD kShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    static constexpr DWORD kReadFlags = FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING;
    static constexpr DWORD kWriteFlags = kReadFlags | FILE_FLAG_WRITE_THROUGH;

    // engine may be null: the source then refuses asynchronous operations.
    NativeFileSourceWin(const char* path, NativeIOEngine* engine);

    bool Open(bool read, bool write, bool create) override;
    bool Close() override;
    bool OpenedForRead() override;
    bool OpenedForWrite() override;
    bool Delete() override;

    bool SupportsMultiBlockReads() override;
    Result_t ReadAsyncWithListNonCached(uint64_t offset, BufferList* list, ResultCallbackBufferList* callback,
                                        uint32_t dueTime) override;
    Result_t WriteAsyncWithListNonCached(uint64_t offset, BufferList* list,
                                         ResultCallbackBufferList* callback, uint32_t dueTime) override;
    void CancelNonCached() override;

  protected:
    ~NativeFileSourceWin() override;
    bool AcceptsReads() override;

  private:
    void IOFailed(int32_t error, uint64_t offset, bool write) override;

    NativeIOEngine* engine;  // the process's engine; not owned
    HANDLE file;             // null while closed
    bool readFlag;           // read argument of the last successful Open
    bool writeFlag;          // write argument of the last successful Open
};

}  // namespace Tarvos
