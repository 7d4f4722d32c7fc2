// tarvos bench's engine-due-order phase (BenchEngineDueOrder.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Tarvos/NativeFileSource.h"

namespace TarvosTool {

// The figures of the phase; latencies in microseconds, from submission to completion.
struct EngineDueOrderFigures {
    double mbPerS = 0;
    double opsPerS = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double outOfOrder = 0;  // fraction of reads that finished after more than a window of later-due ones
    double urgentP99 = 0;   // the tenth of each burst due soonest
    double restP99 = 0;     // the others
    std::string error;      // empty when every read succeeded
};

// Runs bursts of reads with shuffled due times through source (uncached) over [0, span) for seconds;
// check is given every block read, with its offset and length.
EngineDueOrderFigures RunEngineDueOrder(Tarvos::NativeFileSource* source, uint64_t span, double seconds,
                                        const std::function<void(const void*, uint64_t, uint32_t)>& check);

}  // namespace TarvosTool
