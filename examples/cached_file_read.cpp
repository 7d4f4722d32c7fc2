// The typical use of Tarvos in one program: start the library, build a cache over whole-page memory,
// attach a native file to it, then write, read synchronously, read asynchronously with a callback,
// pre-read ahead of need and look at the cache's statistics. Exits 0 when every byte read back is right.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"
#include "Tarvos/FileSource.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/OSServices.h"
#include "Tarvos/PhysMemInterface.h"

using namespace Tarvos;

// Every AddRef and DecRef names its call site, which shows up in reference-count traces.
#define EXAMPLE_CALL_SITE __FILE__, __func__, __LINE__

namespace {

constexpr uint32_t kBlock = 64 * 1024;  // cache block size, a multiple of the page size
constexpr uint32_t kFileSize = 4 * kBlock;

// The byte the example writes at each offset.
uint8_t Expected(uint64_t offset) {
    return static_cast<uint8_t>(offset * 7 + offset / 4096);
}

bool Check(Buffer* buffer, uint64_t offset, uint32_t bytes, const char* what) {
    const auto* data = static_cast<const uint8_t*>(buffer->GetAddress());
    for (uint32_t i = 0; i < bytes; ++i) {
        if (data[i] != Expected(offset + i)) {
            std::printf("%s: wrong byte at offset %llu\n", what, static_cast<unsigned long long>(offset + i));
            return false;
        }
    }
    std::printf("%-16s %6u bytes at offset %6llu: right\n", what, bytes,
                static_cast<unsigned long long>(offset));
    return true;
}

// An asynchronous read's callback. It runs on a library thread (a cache dispatcher here, since the
// source has a cache), so it only records the outcome and wakes the main thread: no synchronous call,
// no Close, nothing that waits for the library.
class ReadDone : public FileSource::ResultCallbackBuffer {
  public:
    void Callback(CacheSource::Result_t result, uint64_t, Buffer*, uint32_t bytesTransferred) override {
        std::lock_guard<std::mutex> hold(lock);
        finalResult = result;
        bytes = bytesTransferred;
        done = true;
        wake.notify_one();
    }
    CacheSource::Result_t Wait(uint32_t* bytesTransferred) {
        std::unique_lock<std::mutex> hold(lock);
        wake.wait(hold, [&] { return done; });
        *bytesTransferred = bytes;
        return finalResult;
    }

  protected:
    ~ReadDone() override = default;  // shared objects die through DecRef only

  private:
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    CacheSource::Result_t finalResult = CacheSource::kResultNone;
    uint32_t bytes = 0;
};

}  // namespace

int main() {
    // 1. Start-up: once per process, before anything else of the library. Failures throw a char*.
    try {
        OSServices::Init();
    } catch (const char* message) {
        std::printf("start-up failed: %s\n", message);
        return 1;
    }

    // 2. A cache of 16 blocks over whole-page memory. The cache takes every buffer of the factory.
    auto* factory = new BufferFactoryPhysMem();
    if (!factory->Initialize(kBlock, 16, 16, 0)) {
        std::puts("no memory for the cache");
        return 1;
    }
    auto* cache = new Cache(factory);
    cache->CollectCacheStats(true);

    // 3. A native file, attached to the cache before it is used, opened for reading and writing.
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/tarvos-example.bin";
    NativeFileSource* file = NativeFileSysInterface::NewNativeFileSource(path.c_str());
    file->UseCache(cache);  // the source now holds a reference on the cache
    if (!file->Open(true, true, true)) {
        std::printf("cannot open %s\n", path.c_str());
        return 1;
    }

    bool ok = true;
    // 4. A synchronous write. Files are opened for direct I/O: whole-page buffers at page-aligned
    //    offsets, which PhysMemInterface gives (the caller owns the buffer's one reference).
    Buffer* buffer = PhysMemInterface::Allocate(kFileSize);
    auto* bytesOut = static_cast<uint8_t*>(buffer->GetAddress());
    for (uint32_t i = 0; i < kFileSize; ++i) {
        bytesOut[i] = Expected(i);
    }
    uint32_t bytes = 0;
    ok = ok && file->Write(0, buffer, &bytes) == CacheSource::kResultSuccess && bytes == kFileSize;
    buffer->DecRef(EXAMPLE_CALL_SITE);

    // 5. A synchronous cached read: the first one misses and reads the block from the file, the second
    //    is served from the cache. Cached reads may use any buffer and any offset.
    Buffer* block = new HeapBuffer(kBlock);
    ok = ok && file->Read(100, block, &bytes) == CacheSource::kResultSuccess &&
         Check(block, 100, bytes, "read (miss)");
    ok = ok && file->Read(100, block, &bytes) == CacheSource::kResultSuccess &&
         Check(block, 100, bytes, "read (hit)");

    // 6. An asynchronous read. kResultPending means the callback will run exactly once, maybe before
    //    ReadAsync returns; anything else means it will not run at all.
    auto* done = new ReadDone();
    if (file->ReadAsync(kBlock, block, done, Cache::kDueASAP) == CacheSource::kResultPending) {
        ok = ok && done->Wait(&bytes) == CacheSource::kResultSuccess &&
             Check(block, kBlock, bytes, "async read");
    } else {
        ok = false;
    }
    done->DecRef(EXAMPLE_CALL_SITE);  // the library holds its own reference while it needs one

    // 7. A pre-read brings the last two blocks in ahead of need; the reads after it find them cached
    //    (or join the read already on its way), and a read past the end is a short read.
    file->PreRead(2 * kBlock, 2 * kBlock, Cache::kDueASAP);
    ok = ok && file->Read(2 * kBlock, block, &bytes) == CacheSource::kResultSuccess &&
         Check(block, 2 * kBlock, bytes, "after pre-read");
    ok = ok && file->Read(3 * kBlock + 4096, block, &bytes) == CacheSource::kResultPartial &&
         Check(block, 3 * kBlock + 4096, bytes, "short read");

    // 8. Statistics: counted per block.
    std::printf("cache: %u hits, %u misses\n", cache->GetCacheHits(), cache->GetCacheMisses());
    ok = ok && cache->GetCacheHits() >= 1 && cache->GetCacheMisses() >= 1;

    // 9. Shut down: Delete closes (waiting for outstanding work) and removes the file; then drop the
    //    references, the source before its cache, the cache before its factory.
    block->DecRef(EXAMPLE_CALL_SITE);
    file->Delete();
    file->DecRef(EXAMPLE_CALL_SITE);
    cache->DecRef(EXAMPLE_CALL_SITE);
    factory->DecRef(EXAMPLE_CALL_SITE);
    std::puts(ok ? "example ok" : "example FAILED");
    return ok ? 0 : 1;
}
