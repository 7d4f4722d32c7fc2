// A file-like cache source: synchronous and asynchronous reads and writes of one Buffer or of a
// BufferList, pre-reads and cancellation. Reads go through the source's cache when it has one; writes
// invalidate the written range in the cache and go straight to the concrete source. An asynchronous
// call that returns kResultPending calls its callback exactly once, possibly on another thread and
// before the call returns; callbacks run on the I/O thread (uncached) or a cache dispatcher thread
// (cached), so they must never make synchronous calls or close the source.
#pragma once

#include <cstdint>

#include "Tarvos/CacheSource.h"
#include "Tarvos/Export.h"

namespace Tarvos {

class Buffer;
class BufferList;

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
};

}  // namespace Tarvos
