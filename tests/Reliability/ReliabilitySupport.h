// Shared pieces of the reliability tests: an engine over a chosen real mechanism wrapped in the
// fault injector, temporary files filled with the offset pattern, native sources over that engine,
// page-aligned buffers and a list callback that counts every report per request.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "Cache/CacheBlockList.h"
#include "Cache/PreReadTransactionList.h"
#include "CoreClasses/CallSite.h"
#include "OSServices/NativeIOEngine.h"
#include "PlatformIO.h"
#include "Support/BufferChecks.h"
#include "Support/CacheTestAccess.h"
#include "Support/IOMechanismFaults.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferFactory.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/Cache.h"
#include "Tarvos/FileSource.h"
#include "Tarvos/PhysMemInterface.h"

namespace TarvosTest {

using Tarvos::CacheSource;

template <typename T>
void Release(T* object) {
    object->DecRef(TARVOS_CALL_SITE);
}

// The real mechanism of that name, or null with the reason.
inline std::unique_ptr<Tarvos::IOMechanism> NewRealMechanism(const std::string& name, std::string* reason) {
    return NewPlatformMechanism(name, reason);
}

// An engine over the named mechanism wrapped in a fault injector.
struct FaultyEngine {
    std::shared_ptr<Tarvos::IOFaultInjector> injector;
    std::unique_ptr<Tarvos::NativeIOEngine> engine;
    std::string reason;

    // False (with the reason) when the mechanism cannot run here.
    bool Start(const std::string& name, uint64_t seed = 1) {
        auto inner = NewRealMechanism(name, &reason);
        if (inner == nullptr) {
            return false;
        }
        injector = std::make_shared<Tarvos::IOFaultInjector>(seed);
        engine = std::make_unique<Tarvos::NativeIOEngine>(
            Tarvos::NewFaultInjectingIOMechanism(std::move(inner), injector), reason);
        return engine->IsRunning();
    }
};

// A fresh directory for one test, removed at the end.
class TempDir {
  public:
    TempDir() {
        static std::atomic<uint32_t> made{0};
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            const std::string name = testing::TempDir() + "/tarvos-rel-" + std::to_string(random()) + "-" +
                                     std::to_string(made.fetch_add(1));
            std::error_code error;
            if (std::filesystem::create_directory(name, error)) {
                path = name;
            }
        }
    }
    ~TempDir() {
        if (!path.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    std::string Of(const std::string& file) const { return path + "/" + file; }
    // A file of size bytes of the offset pattern, written with ordinary buffered I/O.
    std::string MakeFile(const std::string& file, uint64_t size, uint32_t seed = 0) const {
        std::vector<uint8_t> bytes(size);
        FillPattern(bytes.data(), static_cast<uint32_t>(size), 0, seed);
        std::ofstream out(Of(file), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
        return Of(file);
    }

    std::string path;
};

inline uint32_t Page() {
    return Tarvos::PhysMemInterface::GetPageSize();
}

inline Tarvos::Buffer* NewPages(uint32_t pages, uint8_t fill = 0xEE) {
    Tarvos::Buffer* buffer = Tarvos::PhysMemInterface::Allocate(pages * Page());
    std::memset(buffer->GetAddress(), fill, buffer->GetSize());
    return buffer;
}

// Bytes [0, length) of the list against the pattern from offset: the first mismatch, or length.
inline uint32_t FirstListMismatch(Tarvos::BufferList* list, uint64_t offset, uint32_t length,
                                  uint32_t seed = 0) {
    uint32_t done = 0;
    while (done < length) {
        uint32_t inBuffer = 0;
        uint32_t left = 0;
        Tarvos::Buffer* buffer = list->GetBufferAtOffset(done, &inBuffer, &left);
        if (buffer == nullptr || left == 0) {
            return done;
        }
        const uint32_t n = std::min(left, length - done);
        const auto* bytes = static_cast<uint8_t*>(buffer->GetAddress()) + inBuffer;
        const uint32_t mismatch = FirstPatternMismatch(bytes, n, offset + done, seed);
        if (mismatch != n) {
            return done + mismatch;
        }
        done += n;
    }
    return length;
}

// One report of a list callback.
struct ListReport {
    CacheSource::Result_t result = CacheSource::kResultNone;
    uint64_t offset = 0;
    Tarvos::BufferList* list = nullptr;
    uint32_t bytes = 0;
    int calls = 0;
};

// A list callback for one request: counts its reports and keeps the last one.
class CountingCallback : public Tarvos::FileSource::ResultCallbackBufferList {
  public:
    void Callback(CacheSource::Result_t result, uint64_t offset, Tarvos::BufferList* list,
                  uint32_t bytes) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            report.result = result;
            report.offset = offset;
            report.list = list;
            report.bytes = bytes;
            ++report.calls;
        }
        if (onReport) {
            onReport(result, list);
        }
        ++calls;
    }
    ListReport Last() {
        std::lock_guard<std::mutex> hold(mutex);
        return report;
    }
    std::atomic<int> calls{0};
    std::function<void(CacheSource::Result_t, Tarvos::BufferList*)> onReport;

  private:
    std::mutex mutex;
    ListReport report;
};

inline const char* ResultName(CacheSource::Result_t result) {
    switch (result) {
        case CacheSource::kResultSuccess:
            return "success";
        case CacheSource::kResultPartial:
            return "partial";
        case CacheSource::kResultPending:
            return "pending";
        case CacheSource::kResultNone:
            return "none";
        case CacheSource::kResultBufferLocked:
            return "buffer locked";
        case CacheSource::kResultCancelled:
            return "cancelled";
        case CacheSource::kResultEndOfFile:
            return "end of file";
        case CacheSource::kResultInvalidArgument:
            return "invalid argument";
        case CacheSource::kResultFailed:
            return "failed";
        case CacheSource::kResultBusy:
            return "busy";
    }
    return "?";
}

}  // namespace TarvosTest
