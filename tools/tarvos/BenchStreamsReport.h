// tarvos bench's streams as a step of the report: runs the three methods (BenchStreams.h) one after the
// other on the bench's file and gives their figures as JSON and as a table. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <nlohmann/json.hpp>

#include "BenchStreams.h"

namespace TarvosTool {

struct StreamsRun {
    double baselineMbPerS = 0;  // the uring-seq-qd8-1m rate the readers' rates are a share of
    double seconds = 0;
    double loadShare = 0;                 // the readers' rates' share of the baseline
    uint64_t cacheMib = 0;                // the tarvos method's cache
    std::vector<StreamsFigures> figures;  // in the order run; empty: the streams did not run
};

// Runs tarvos, edf-direct and buffered on the plan (its check is replaced); check is given every block
// read, from any thread, with whether it came through the library. A failed method is a ToolError.
StreamsRun RunStreams(StreamsPlan plan,
                      const std::function<void(const void*, uint64_t, uint32_t, bool)>& check);

// Adds "streams" (one object per method), "streams_legend" and "streams_setup" to the JSON report.
void AddStreamsJson(const StreamsRun& run, nlohmann::ordered_json* report);

// The table of the text report, with its heading and legend; nothing when the streams did not run.
void PrintStreams(const StreamsRun& run);

}  // namespace TarvosTool
