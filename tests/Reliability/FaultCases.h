// The faults the sweeps inject, one rule each: fired on the nth read or write, once or from then on.
#pragma once

#include <cstdint>
#include <vector>

#include "PlatformIO.h"
#include "Support/IOMechanismFaults.h"

namespace TarvosTest {

inline constexpr uint32_t kShortCount = 100;

struct FaultCase {
    const char* name;
    Tarvos::IOFaultKind_t kind;
    int error;
};

// Named after the Linux errors; each platform supplies its own numbers for them.
inline const std::vector<FaultCase> kFaultCases = {
    {"EIO", Tarvos::kFaultError, kOSErrorIO},
    {"ENOSPC", Tarvos::kFaultError, kOSErrorNoSpace},
    {"EINTR", Tarvos::kFaultError, kOSErrorInterrupted},
    {"EAGAIN", Tarvos::kFaultError, kOSErrorAgain},
    {"short", Tarvos::kFaultShortCount, 0},
    {"zero", Tarvos::kFaultZeroBytes, 0},
    {"delay", Tarvos::kFaultDelay, 0},
    {"refused", Tarvos::kFaultRefuseSubmit, kOSErrorIO},
    {"duplicate", Tarvos::kFaultDuplicate, 0},
};

inline Tarvos::IOFaultRule RuleFor(const FaultCase& fault, uint32_t nth, bool persistent) {
    Tarvos::IOFaultRule rule;
    rule.operations = Tarvos::kFaultOnRead | Tarvos::kFaultOnWrite;
    rule.nth = nth;
    rule.persistent = persistent;
    rule.kind = fault.kind;
    rule.error = fault.error;
    rule.bytes = kShortCount;
    rule.delayMs = 15;
    return rule;
}

// The engine issues a transfer that ended with EINTR or EAGAIN again, up to this many times.
inline constexpr uint32_t kTransientRetries = 3;

// Whether the fault was an error the engine answers by issuing the transfer again.
inline bool IsRetried(const Tarvos::IOFaultRecord& record) {
    return record.kind == Tarvos::kFaultError &&
           (record.deliveredResult == -kOSErrorInterrupted || record.deliveredResult == -kOSErrorAgain);
}

}  // namespace TarvosTest
