// Fault injection for the I/O engine's mechanisms, for the library's own reliability tests and the soak
// (never part of the library). An IOFaultInjector holds rules and a log; NewFaultInjectingIOMechanism
// wraps any real mechanism (io_uring, worker threads, overlapped I/O) so that each operation matching a
// rule gets that rule's fault. Errors are operating-system error numbers of the platform. The wrapped
// mechanism still runs every operation it is given, so a faulted result is only delivered after the
// kernel has let go of the operation's memory, and every accepted operation is still reported once
// (except under kFaultDuplicate, which breaks that promise on purpose to test the engine's tags).
// Rules are matched in the order they were added; the first that fires wins. The injector may be
// shared between mechanisms and read from any thread; the mechanism keeps the IOMechanism threading
// contract.
// Lock order: the injector's lock is innermost; the mechanism calls its inner mechanism without it.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "OSServices/IOMechanism.h"

namespace Tarvos {

class MTCritSec;

enum IOFaultOperation_t : uint32_t {
    kFaultOnRead = 1,
    kFaultOnWrite = 2,
    kFaultOnCancel = 4,  // RequestCancel: the only fault is that the request to cancel is swallowed
};

enum IOFaultKind_t : uint32_t {
    kFaultError = 1,            // the completion carries -error instead of its result
    kFaultShortCount = 2,       // the completion reports at most `bytes` bytes
    kFaultZeroBytes = 3,        // the completion reports 0 bytes (end of file for a read)
    kFaultDelay = 4,            // the completion is held back for delayMs
    kFaultLateAfterCancel = 5,  // the completion (with its real result) is held until the engine has
                                // asked to cancel the operation, and the cancel is not passed on; it
                                // goes on its own after delayMs when no cancel comes
    kFaultRefuseSubmit = 6,     // Submit returns -error; the operation is not started
    kFaultDuplicate = 7,        // the completion is delivered, and a copy of it again delayMs later
    kFaultSwallowCancel = 8,    // for kFaultOnCancel rules
};

struct IOFaultRule {
    uint32_t operations = kFaultOnRead;  // IOFaultOperation_t bits
    IOFileHandle fd = -1;                // -1: any file
    uint64_t offsetBegin = 0;            // the operation's offset lies in [offsetBegin, offsetEnd)
    uint64_t offsetEnd = UINT64_MAX;
    uint32_t nth = 1;          // fire on the nth matching operation (1-based); 0: use probability
    double probability = 0.0;  // with nth 0: chance per matching operation, from the injector's seed
    bool persistent = false;   // once fired, fire on every later matching operation too
    IOFaultKind_t kind = kFaultError;
    int error = 5;         // EIO on Linux
    uint32_t bytes = 0;    // kFaultShortCount
    uint32_t delayMs = 0;  // kFaultDelay, kFaultLateAfterCancel, kFaultDuplicate
};

struct IOFaultRecord {
    uint32_t rule;  // index of the rule that fired
    IOFaultKind_t kind;
    IOFileHandle fd;
    bool write;
    bool cancel;  // the fault hit a RequestCancel
    uint64_t offset;
    uint64_t size;  // bytes the operation asked for (0 for a cancel)
    uint64_t tag;
    bool delivered;           // the operation's completion has gone to the engine (or Submit refused)
    int64_t originalResult;   // what the wrapped mechanism reported (0 until delivered)
    int64_t deliveredResult;  // what the engine received (Submit's return value for kFaultRefuseSubmit)
};

class IOFaultInjector {
  public:
    explicit IOFaultInjector(uint64_t seed = 1);
    ~IOFaultInjector();
    IOFaultInjector(const IOFaultInjector&) = delete;
    IOFaultInjector& operator=(const IOFaultInjector&) = delete;

    void AddRule(const IOFaultRule& rule);
    // Drops every rule and its counters; the log stays.
    void ClearRules();
    std::vector<IOFaultRecord> GetLog();
    void ClearLog();
    // Operations (reads and writes) seen by every mechanism using this injector.
    uint64_t GetOperationCount();
    // The reads and writes submitted since the last ClearLog, faulted or not, in order (the first 2^20).
    struct Operation {
        IOFileHandle fd;
        bool write;
        uint64_t offset;
        uint64_t size;
        uint64_t tag;
    };
    std::vector<Operation> GetOperations();

    // For the mechanism: the index of the rule that fires for this operation, or -1. Logs it.
    int Match(uint32_t operation, IOFileHandle fd, uint64_t offset, uint64_t size, uint64_t tag,
              IOFaultRule* fired);
    // For the mechanism: the fault on the operation with tag has surfaced with deliveredResult.
    void Delivered(uint64_t tag, int64_t originalResult, int64_t deliveredResult);

  private:
    struct RuleState {
        IOFaultRule rule;
        uint64_t matched = 0;
        bool fired = false;
    };
    MTCritSec* lock;
    std::vector<RuleState> rules;
    std::vector<IOFaultRecord> log;
    std::vector<Operation> trace;
    std::mt19937_64 random;
    uint64_t operations = 0;
};

// Wraps inner (which must not be null). The mechanism's name is inner's, so an engine over it reports
// the real mechanism. injector must outlive the returned mechanism.
std::unique_ptr<IOMechanism> NewFaultInjectingIOMechanism(std::unique_ptr<IOMechanism> inner,
                                                          std::shared_ptr<IOFaultInjector> injector);

}  // namespace Tarvos
