// A file-like cache source: synchronous and asynchronous reads and writes of one Buffer or of a
// BufferList, pre-reads and cancellation. Reads go through the source's cache when it has one; writes
// invalidate the written range in the cache and go straight to the concrete source. An asynchronous
// call that returns kResultPending calls its callback exactly once, possibly on another thread and
// before the call returns; callbacks run on the I/O thread (uncached) or a cache dispatcher thread
// (cached), so they must never make synchronous calls or close the source. A cached source can read
// ahead on its own (SetReadAhead, off by default).
#pragma once

#include <atomic>
#include <cstdint>

#include "Tarvos/CacheSource.h"
#include "Tarvos/Export.h"

namespace Tarvos {

class Buffer;
class BufferList;
class ReadAheadWindow;

class TARVOS_EXPORT FileSource : public CacheSource {
  public:
    using Result_t = CacheSource::Result_t;

    class TARVOS_EXPORT ResultCallbackBuffer : public SharedObject {
      public:
        virtual void Callback(Result_t result, uint64_t offset, Buffer* buffer,
                              uint32_t bytesTransferred) = 0;

      protected:
        ResultCallbackBuffer() = default;
        ~ResultCallbackBuffer() override = default;
    };

    class TARVOS_EXPORT ResultCallbackBufferList : public SharedObject {
      public:
        virtual void Callback(Result_t result, uint64_t offset, BufferList* list,
                              uint32_t bytesTransferred) = 0;

      protected:
        ResultCallbackBufferList() = default;
        ~ResultCallbackBufferList() override = default;
    };

    FileSource();

    virtual Result_t Read(uint64_t offset, Buffer* buffer, uint32_t* bytesTransferred);
    virtual Result_t ReadWithList(uint64_t offset, BufferList* list, uint32_t* bytesTransferred);
    virtual Result_t ReadAsync(uint64_t offset, Buffer* buffer, ResultCallbackBuffer* callback,
                               uint32_t dueTime);
    virtual Result_t ReadAsyncWithList(uint64_t offset, BufferList* list, ResultCallbackBufferList* callback,
                                       uint32_t dueTime);
    virtual Result_t ReadAsyncWithListNonCached(uint64_t offset, BufferList* list,
                                                ResultCallbackBufferList* callback, uint32_t dueTime) = 0;
    virtual void PreRead(uint64_t offset, uint32_t size, uint32_t dueTime);
    virtual void PreReadNonCached(uint64_t offset, uint32_t size, uint32_t dueTime);
    virtual bool SupportsPreReads();
    virtual Result_t Write(uint64_t offset, Buffer* buffer, uint32_t* bytesTransferred);
    virtual Result_t WriteWithList(uint64_t offset, BufferList* list, uint32_t* bytesTransferred);
    virtual Result_t WriteAsync(uint64_t offset, Buffer* buffer, ResultCallbackBuffer* callback,
                                uint32_t dueTime);
    virtual Result_t WriteAsyncWithList(uint64_t offset, BufferList* list, ResultCallbackBufferList* callback,
                                        uint32_t dueTime);
    virtual Result_t WriteAsyncWithListNonCached(uint64_t offset, BufferList* list,
                                                 ResultCallbackBufferList* callback, uint32_t dueTime) = 0;
    // Returns once every outstanding operation of the source has reported kResultCancelled.
    virtual void Cancel();
    virtual void CancelNonCached() = 0;

    // Read-ahead, off by default. When on, and while the source's cached reads follow each other (each
    // starts less than a cache block from where the last one ended), the source pre-reads a window ahead
    // of them: two blocks (or the read's size) at the second such read, doubling with every further one
    // up to the smaller of a quarter of the cache and the maximum below. A read elsewhere drops the
    // window. Each range ahead is pre-read once; a piece is due when the reader, at the pace of its
    // recent reads, is expected to reach it. Nothing happens on a source without a cache. Any thread may
    // switch it at any time; reads already made are not affected. Cancel drops the window as well.
    void SetReadAhead(bool on);
    bool GetReadAhead();
    static constexpr uint32_t kDefaultReadAheadMaximum = 16 * 1024 * 1024;
    // The largest window in bytes (kDefaultReadAheadMaximum unless set); 0 turns the pre-reads off.
    void SetReadAheadMaximum(uint32_t bytes);
    uint32_t GetReadAheadMaximum();

    // The last reference dropped on one of its cache's dispatcher threads is handed to the release
    // thread: destroying the source cancels its work in the cache, which waits for those threads.
    int32_t DecRef(const char* file, const char* function, uint32_t line) override;

  protected:
    ~FileSource() override;

    // Whether the concrete source takes reads at all now (open, and for reading). A cached read of a
    // source that does not is refused at once with kResultInvalidArgument, as its uncached read is.
    virtual bool AcceptsReads();

    Result_t ReadTransaction(CacheTransaction* transaction) override;
    void CancelAllTransactions() override;
    void PreReadTransaction(CacheTransaction* transaction) override;
    bool SupportsPreReadTransactions() override;

  private:
    // An asynchronous read whose bytes are all held in the cache: copied now, on the caller's thread,
    // and reported on the cache's transaction dispatcher. False, with nothing started, otherwise.
    bool ReportHeldRead(uint64_t offset, Buffer* buffer, ResultCallbackBuffer* callback, BufferList* list,
                        ResultCallbackBufferList* listCallback, uint32_t size, uint32_t dueTime);
    // ReadAsyncWithList without telling the read-ahead.
    Result_t StartReadWithList(uint64_t offset, BufferList* list, ResultCallbackBufferList* callback,
                               uint32_t dueTime);
    // Tells the read-ahead about a cached read that was served or started, and makes the pre-reads it
    // asks for (with no lock held).
    void NoteRead(uint64_t offset, uint32_t size, uint32_t dueTime);
    // Holds the source across an asynchronous read's start while read-ahead is on, so that the
    // window can be told of the read after its callback may already have run.
    class ReadAheadHold {
      public:
        explicit ReadAheadHold(FileSource* source);
        ~ReadAheadHold();
        ReadAheadHold(const ReadAheadHold&) = delete;
        ReadAheadHold& operator=(const ReadAheadHold&) = delete;
        void Note(uint64_t offset, uint32_t size, uint32_t dueTime);

      private:
        FileSource* const source;  // one reference, or null with read-ahead off
    };

    // Made by the first SetReadAhead(true) and kept until the source is destroyed; atomic because
    // reads on other threads look for it without a lock.
    std::atomic<ReadAheadWindow*> readAhead{nullptr};
    std::atomic<bool> readAheadOn{false};
    std::atomic<uint32_t> readAheadMaximum{kDefaultReadAheadMaximum};
};

}  // namespace Tarvos
