// A file source for one operating-system file, named by path: opened for unbuffered (direct) I/O,
// write-through when writing, and shared so that other openers may read, write and delete it. Reads
// and writes are inherited from FileSource; the platform subclass runs them on the process's I/O
// engine. Open, Close, Delete and SetName are not locked: they must not run concurrently with each
// other or with I/O on the same source. Close, Delete and the destructor wait until the source's
// outstanding operations have reported kResultCancelled, so never call them from a completion callback.
#pragma once

#include <atomic>
#include <cstdint>

#include "Tarvos/Export.h"
#include "Tarvos/FileSource.h"

namespace Tarvos {

class TARVOS_EXPORT NativeFileSource : public FileSource {
  public:
    // A null path gives a source without a name.
    explicit NativeFileSource(const char* path);

    // False for a null name, and once the source has been opened for reading or writing.
    virtual bool SetName(const char* name);
    // The stored copy of the name, or null.
    virtual const char* GetName();
    // False without a name, when already open, or when the operating system refuses. create opens an
    // existing file or creates a missing one; without it the file must exist.
    virtual bool Open(bool read, bool write, bool create) = 0;
    // Cancels the outstanding operations, makes the source's cache forget every block it held of the
    // file (so nothing read before is served after the next Open, which may find another file), then
    // closes; false when not open.
    virtual bool Close() = 0;
    // The access asked for by the last successful Open (kept after Close).
    virtual bool OpenedForRead() = 0;
    virtual bool OpenedForWrite() = 0;
    // Closes the source (open or not) and removes the file by name; false without a name or when the
    // removal fails.
    virtual bool Delete() = 0;

    // The operating-system error (errno on Linux, GetLastError on Windows) of the last read or write of
    // this source that failed, 0 when none has; offset and whether it was a write through the pointers.
    // Any thread; the three values always belong to the same failure.
    int32_t GetLastOSError(uint64_t* offset = nullptr, bool* wasWrite = nullptr) const;

  protected:
    ~NativeFileSource() override;
    // Keeps a failure for GetLastOSError; called by the platform subclass as failures are reported.
    void RecordOSError(int32_t error, uint64_t offset, bool wasWrite);

    // The first step of Close: cancels every operation of the source and, on a cached source, purges
    // its blocks from the cache.
    void CancelAndForgetCachedData();

  private:
    char* name;  // owned copy, null until set
    // The last failure; odd while RecordOSError rewrites the three values below, which readers retry.
    std::atomic<uint32_t> errorSequence;
    std::atomic<int32_t> lastError;
    std::atomic<uint64_t> lastErrorOffset;
    std::atomic<bool> lastErrorWrite;
};

}  // namespace Tarvos
