// The Linux native file source: one file descriptor opened with O_DIRECT (falling back to buffered I/O
// where the file system refuses direct I/O, as tmpfs does) and, when writing, O_DSYNC. Uncached reads
// and writes go to the process's NativeIOEngine with its fixed deadline, queued there by their due
// time; the engine's reports of operating-system errors become GetLastOSError. Close, Delete and destruction
// cancel the descriptor's engine requests before closing it; on the I/O thread itself that cancellation runs
// inline, so it never waits for its own thread.
#pragma once

#include <cstdint>

#include "OSServices/NativeIOEngine.h"
#include "Tarvos/NativeFileSource.h"

namespace Tarvos {

class NativeFileSourcePosix : public NativeFileSource, private NativeIOEngine::IOErrorListener {
  public:
    // engine may be null: the source then refuses asynchronous operations.
    NativeFileSourcePosix(const char* path, NativeIOEngine* engine);

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

    // True when the descriptor of the last successful Open bypasses the page cache.
    bool UsesDirectIO();

  protected:
    ~NativeFileSourcePosix() override;
    bool AcceptsReads() override;

  private:
    void IOFailed(int32_t error, uint64_t offset, bool write) override;

    NativeIOEngine* engine;  // the process's engine; not owned
    int fd;                  // -1 while closed
    bool readFlag;           // read argument of the last successful Open
    bool writeFlag;          // write argument of the last successful Open
    bool directIO;           // O_DIRECT was accepted by the last successful Open
};

}  // namespace Tarvos
