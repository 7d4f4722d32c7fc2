// Transactions for tests of the cache blocks: a read of one zeroed heap buffer with a status callback
// that records every call (thread-safe), and a set that owns such reads and checks at the end that
// each was reported at most once and that nobody kept a reference.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/PreReadTransaction.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"
#include "Tarvos/CacheTransaction.h"

namespace TarvosTest {

class ProbeCallback : public Tarvos::CacheTransaction::StatusCallback {
  public:
    void Callback(Tarvos::CacheSource::Result_t result, Tarvos::CacheTransaction* transaction,
                  uint32_t bytes) override {
        lastResult.store(result);
        lastBytes.store(bytes);
        if (onCallback) {
            onCallback(transaction);
        }
        ++calls;
    }
    std::atomic<int> calls{0};
    std::atomic<Tarvos::CacheSource::Result_t> lastResult{Tarvos::CacheSource::kResultNone};
    std::atomic<uint32_t> lastBytes{0};
    // Runs inside the callback, before the call is counted.
    std::function<void(Tarvos::CacheTransaction*)> onCallback;

  protected:
    ~ProbeCallback() override = default;
};

struct Probe {
    Tarvos::CacheTransaction* transaction = nullptr;
    ProbeCallback* callback = nullptr;  // null for a pre-read
    Tarvos::HeapBuffer* buffer = nullptr;
    uint64_t offset = 0;
    uint32_t size = 0;

    int Calls() const { return callback != nullptr ? callback->calls.load() : 0; }
    Tarvos::CacheSource::Result_t Result() const { return callback->lastResult.load(); }
    uint32_t Bytes() const { return callback->lastBytes.load(); }
    uint8_t* Data() const { return static_cast<uint8_t*>(buffer->GetAddress()); }
};

class ProbeSet {
  public:
    ProbeSet() = default;
    ProbeSet(const ProbeSet&) = delete;
    ProbeSet& operator=(const ProbeSet&) = delete;
    ~ProbeSet() { Release(); }

    Probe* Read(Tarvos::CacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime = 0) {
        auto probe = std::make_unique<Probe>();
        probe->offset = offset;
        probe->size = size;
        probe->buffer = new Tarvos::HeapBuffer(size);
        std::memset(probe->buffer->GetAddress(), 0, size);
        auto* list = new Tarvos::BufferList(1);
        list->AddBuffer(probe->buffer, false);
        probe->callback = new ProbeCallback();
        probe->transaction = new Tarvos::CacheTransaction(source, offset, list, probe->callback, dueTime);
        list->DecRef(TARVOS_CALL_SITE);
        probes.push_back(std::move(probe));
        return probes.back().get();
    }

    Probe* PreRead(Tarvos::CacheSource* source, uint64_t offset, uint32_t size, uint32_t dueTime = 0) {
        auto probe = std::make_unique<Probe>();
        probe->offset = offset;
        probe->size = size;
        probe->transaction = NewPreReadTransaction(source, offset, size, dueTime);
        probes.push_back(std::move(probe));
        return probes.back().get();
    }

    // Checks that only the creator's references are left, then drops them. Call after the blocks
    // that served the transactions are gone or idle.
    void Release() {
        for (auto& probe : probes) {
            if (probe->transaction != nullptr) {
                EXPECT_EQ(probe->transaction->GetRefCount(), 1) << "a reference on a transaction was kept";
                EXPECT_LE(probe->Calls(), 1) << "a status callback ran twice";
                probe->transaction->DecRef(TARVOS_CALL_SITE);
            }
            if (probe->callback != nullptr) {
                probe->callback->DecRef(TARVOS_CALL_SITE);
            }
            if (probe->buffer != nullptr) {
                probe->buffer->DecRef(TARVOS_CALL_SITE);
            }
        }
        probes.clear();
    }

  private:
    std::vector<std::unique_ptr<Probe>> probes;
};

}  // namespace TarvosTest
