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
    // closes; false when not open. Blocks shared with other open sources of the same file stay theirs
    // (none of their operations is touched) and are forgotten when the last of them closes.
    virtual bool Close() = 0;
    // The access asked for by the last successful Open (kept after Close).
    virtual bool OpenedForRead() = 0;
    virtual bool OpenedForWrite() = 0;
    // Closes the source (open or not) and removes the file by name; false without a name or when the
    // removal fails.
    virtual bool Delete() = 0;

    // While open: the key shared by every open source of the same file (the same device and inode, or
    // volume and file index), so that sources of one file attached to one cache share its blocks and a
    // write through any of them invalidates them for all. While closed: the source's own key.
    uint32_t GetSourceKey() override;

    // The operating-system error (errno on Linux, GetLastError on Windows) of the last read or write of
    // this source that failed, 0 when none has; offset and whether it was a write through the pointers.
    // Any thread; the three values always belong to the same failure.
    int32_t GetLastOSError(uint64_t* offset = nullptr, bool* wasWrite = nullptr) const;

  protected:
    ~NativeFileSource() override;
    // Keeps a failure for GetLastOSError; called by the platform subclass as failures are reported.
    void RecordOSError(int32_t error, uint64_t offset, bool wasWrite);

    // The first step of Close: cancels every operation of the source and leaves its file's shared key;
    // on a cached source, purges the blocks of the file when no other source has it open.
    void CancelAndForgetCachedData();
    // For the platform's Open, once the file is open: the source takes the key its file's open sources
    // share (the file is known by the volume or device it lives on and its number there). False, with
    // nothing taken, when memory runs out.
    bool JoinFile(uint64_t volume, uint64_t file);
    // Gives the shared key back without touching the cache (the source's own key is used again); true
    // when the source was the last open one of its file. For the destructor; Close uses
    // CancelAndForgetCachedData.
    bool LeaveFile();

  private:
    char* name;  // owned copy, null until set
    // The last failure; odd while RecordOSError rewrites the three values below, which readers retry.
    std::atomic<uint32_t> errorSequence;
    std::atomic<int32_t> lastError;
    std::atomic<uint64_t> lastErrorOffset;
    std::atomic<bool> lastErrorWrite;
    // The file's shared key while open, else 0. Written by Open and Close (which never run beside I/O
    // of the source); read by any thread through GetSourceKey.
    std::atomic<uint32_t> fileKey;
    uint64_t fileVolume;  // the identity joined while fileKey is set
    uint64_t fileNumber;
};

}  // namespace Tarvos
