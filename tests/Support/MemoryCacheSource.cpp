#include "Support/MemoryCacheSource.h"

#include <cassert>
#include <chrono>

#include "CoreClasses/CallSite.h"
#include "Tarvos/CacheTransaction.h"

using namespace Tarvos;

namespace TarvosTest {

MemoryCacheSource::MemoryCacheSource(uint64_t length, bool completeInline)
    : length(length), completeInline(completeInline) {
    if (!completeInline) {
        worker = std::thread([this] { CompletionLoop(); });
    }
}

MemoryCacheSource::~MemoryCacheSource() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        stopping = true;
        held = false;
    }
    changed.notify_all();
    if (worker.joinable()) {
        assert(worker.get_id() != std::this_thread::get_id());
        worker.join();
    }
}

int64_t MemoryCacheSource::FirstMismatch(const uint8_t* data, uint64_t offset, uint32_t size) {
    const uint32_t s = seed.load();
    std::lock_guard<std::mutex> guard(mutex);
    for (uint32_t i = 0; i < size; ++i) {
        if (data[i] != ByteAt(offset + i, s)) {
            return i;
        }
    }
    return -1;
}

uint8_t MemoryCacheSource::ByteAt(uint64_t offset, uint32_t s) const {
    return offset < isWritten.size() && isWritten[offset] ? written[offset] : ContentAt(offset, s);
}

void MemoryCacheSource::Write(uint64_t offset, const uint8_t* data, uint32_t size) {
    std::lock_guard<std::mutex> guard(mutex);
    if (isWritten.size() < offset + size) {
        isWritten.resize(offset + size, false);
        written.resize(offset + size, 0);
    }
    for (uint32_t i = 0; i < size; ++i) {
        written[offset + i] = data[i];
        isWritten[offset + i] = true;
    }
}

std::vector<std::pair<uint64_t, uint32_t>> MemoryCacheSource::ReadRanges() {
    std::lock_guard<std::mutex> guard(mutex);
    return ranges;
}

void MemoryCacheSource::Hold() {
    std::lock_guard<std::mutex> guard(mutex);
    held = true;
}

void MemoryCacheSource::Release() {
    {
        std::lock_guard<std::mutex> guard(mutex);
        held = false;
    }
    changed.notify_all();
}

size_t MemoryCacheSource::Outstanding() {
    std::lock_guard<std::mutex> guard(mutex);
    return queue.size() + completing;
}

size_t MemoryCacheSource::Held() {
    std::lock_guard<std::mutex> guard(mutex);
    return held ? queue.size() : 0;
}

bool MemoryCacheSource::CompleteHeld(size_t index) {
    CacheTransaction* transaction = nullptr;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (!held || index >= queue.size()) {
            return false;
        }
        transaction = queue[index];
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(index));
        ++completing;
    }
    CompleteRead(transaction);
    {
        std::lock_guard<std::mutex> guard(mutex);
        --completing;
    }
    changed.notify_all();
    return true;
}

CacheSource::Result_t MemoryCacheSource::ReadTransaction(CacheTransaction* transaction) {
    ++readCalls;
    if (busyAnswers.load() > 0) {
        --busyAnswers;
        return kResultBusy;
    }
    if (refuseWith.load() != 0) {
        return static_cast<Result_t>(refuseWith.load());
    }
    ++reads;
    transaction->AddRef(TARVOS_CALL_SITE);
    {
        std::lock_guard<std::mutex> guard(mutex);
        ranges.emplace_back(transaction->GetOffset(), transaction->GetSize());
        if (!completeInline) {
            queue.push_back(transaction);
        }
    }
    if (completeInline) {
        CompleteRead(transaction);
    } else {
        changed.notify_all();
    }
    return kResultPending;
}

void MemoryCacheSource::CompleteRead(CacheTransaction* transaction) {
    if (latencyMicros.load() > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(latencyMicros.load()));
    }
    const uint64_t offset = transaction->GetOffset();
    const uint32_t size = transaction->GetSize();
    const uint64_t end = length.load();
    if (failWith.load() != 0) {
        transaction->SetResult(static_cast<Result_t>(failWith.load()));
    } else if (offset >= end) {
        transaction->Complete(offset, 0, kResultEndOfFile);
    } else {
        const uint32_t n = end - offset < size ? static_cast<uint32_t>(end - offset) : size;
        std::vector<uint8_t> data(n);
        const uint32_t s = seed.load();
        {
            std::lock_guard<std::mutex> guard(mutex);
            for (uint32_t i = 0; i < n; ++i) {
                data[i] = ByteAt(offset + i, s);
            }
        }
        transaction->CopyInto(data.data(), offset, n, n < size ? kResultPartial : kResultSuccess, nullptr,
                              nullptr);
    }
    transaction->DecRef(TARVOS_CALL_SITE);
}

void MemoryCacheSource::CompletionLoop() {
    std::unique_lock<std::mutex> guard(mutex);
    for (;;) {
        changed.wait(guard, [this] { return stopping || (!held && !queue.empty()); });
        if (queue.empty() || held) {
            if (stopping) {
                return;
            }
            continue;
        }
        CacheTransaction* transaction = queue.front();
        queue.pop_front();
        ++completing;
        guard.unlock();
        CompleteRead(transaction);
        guard.lock();
        --completing;
        changed.notify_all();
    }
}

void MemoryCacheSource::CancelAllTransactions() {
    ++cancelCalls;
    if (onCancel) {
        onCancel();
    }
    std::deque<CacheTransaction*> cancelled;
    {
        std::unique_lock<std::mutex> guard(mutex);
        cancelled.swap(queue);
        // A read being completed right now finishes first: afterwards nothing of this source runs.
        changed.wait(guard, [this] { return completing == 0; });
    }
    for (CacheTransaction* transaction : cancelled) {
        transaction->SetResult(kResultCancelled);
        transaction->DecRef(TARVOS_CALL_SITE);
    }
}

void MemoryCacheSource::PreReadTransaction(CacheTransaction*) {
    ++preReadCalls;
}

}  // namespace TarvosTest
