// A HostBuffer that writes every Lock and Unlock into a shared log (as "Lock A", "Unlock A"), counts
// its size queries, and on request refuses its locks or throws from its acknowledgement hooks. The log
// is not synchronised: use it from one thread.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "Support/BufferChecks.h"
#include "Tarvos/Buffer.h"

namespace TarvosTest {

using EventLog = std::vector<std::string>;

class RecordingBuffer : public Tarvos::HostBuffer {
  public:
    RecordingBuffer(void* address, uint32_t size, std::string name, EventLog* log)
        : HostBuffer(address, size), name(std::move(name)), log(log) {}

    // Lock still counts, but answers kLockStateUnlocked.
    bool refuseLock = false;
    bool throwOnAcknowledgeInto = false;
    bool throwOnAcknowledgeOutOf = false;
    int sizeQueries = 0;
    // What the hooks were called with, and the lock state they saw.
    std::vector<std::pair<uint32_t, uint32_t>> acknowledgedInto;
    std::vector<std::pair<uint32_t, uint32_t>> acknowledgedOutOf;
    std::vector<LockState_t> lockStateInHook;
    // Another buffer whose lock state each hook also records.
    Tarvos::Buffer* watched = nullptr;
    std::vector<LockState_t> watchedLockStateInHook;

    LockState_t Lock() override {
        Record("Lock ");
        const LockState_t state = HostBuffer::Lock();
        return refuseLock ? kLockStateUnlocked : state;
    }
    LockState_t Unlock() override {
        Record("Unlock ");
        return HostBuffer::Unlock();
    }
    uint32_t GetSize() override {
        ++sizeQueries;
        return HostBuffer::GetSize();
    }
    void AcknowledgeBytesMovedInto(uint32_t length, uint32_t position) override {
        acknowledgedInto.emplace_back(length, position);
        RecordLockStates();
        if (throwOnAcknowledgeInto) {
            throw std::runtime_error("acknowledgement refused");
        }
    }
    void AcknowledgeBytesMovedOutOf(uint32_t length, uint32_t position) override {
        acknowledgedOutOf.emplace_back(length, position);
        RecordLockStates();
        if (throwOnAcknowledgeOutOf) {
            throw 7;
        }
    }

    // The signed lock count, read without leaving a trace in the log.
    int32_t LockCount() {
        EventLog* saved = log;
        const bool wasRefusing = refuseLock;
        log = nullptr;
        refuseLock = false;
        const int32_t count = LockCountOf(this);
        log = saved;
        refuseLock = wasRefusing;
        return count;
    }

  private:
    void Record(const char* what) {
        if (log != nullptr) {
            log->push_back(what + name);
        }
    }
    void RecordLockStates() {
        lockStateInHook.push_back(HostBuffer::GetLockState());
        if (watched != nullptr) {
            watchedLockStateInHook.push_back(watched->GetLockState());
        }
    }

    std::string name;
    EventLog* log;
};

}  // namespace TarvosTest
