// A cache source for unit tests that records what transactions ask of it and answers ReadTransaction
// with a chosen result, without reading anything.
#pragma once

#include <atomic>

#include "Tarvos/CacheSource.h"

namespace TarvosTest {

class StubCacheSource : public Tarvos::CacheSource {
  public:
    bool SupportsMultiBlockReads() override { return multiBlock; }

    std::atomic<int> readTransactions{0};
    std::atomic<int> preReadTransactions{0};
    std::atomic<int> cancels{0};
    Result_t readAnswer = kResultPending;
    bool multiBlock = true;
    bool preReads = false;

  protected:
    ~StubCacheSource() override = default;
    Result_t ReadTransaction(Tarvos::CacheTransaction*) override {
        ++readTransactions;
        return readAnswer;
    }
    void CancelAllTransactions() override { ++cancels; }
    void PreReadTransaction(Tarvos::CacheTransaction*) override { ++preReadTransactions; }
    bool SupportsPreReadTransactions() override { return preReads; }
};

}  // namespace TarvosTest
