// tarvos bench, phase engine-due-order: bursts of 64 KiB reads at random offsets, as many as the engine
// has request slots, submitted at once with due times spread over a second and shuffled against the
// submission order. The engine must issue them soonest due first, except for those it had already
// handed to the system before the sooner ones arrived (its in-kernel window). The phase reports the
// fraction of reads that finished after more than a window's worth of reads due later had finished,
// and the 99th percentile wait (submission to completion) of the tenth of each burst due soonest
// against that of the rest.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchEngineDueOrder.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/NativeFileSource.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

constexpr uint32_t kBurst = 61;  // the engine's request slots
constexpr uint32_t kBlock = 64 * 1024;
constexpr uint32_t kInKernelWindow = 32;  // the most requests the engine hands the system at once
constexpr uint32_t kDueSpreadMs = 1000;   // due times lie within this of the burst's start
constexpr uint32_t kUrgentShare = 10;     // the most urgent tenth

double Percentile99(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * 99 / 100)];
}

}  // namespace

EngineDueOrderFigures RunEngineDueOrder(Tarvos::NativeFileSource* source, uint64_t span, double seconds,
                                        const std::function<void(const void*, uint64_t, uint32_t)>& check) {
    using Clock = std::chrono::steady_clock;
    EngineDueOrderFigures figures;
    CompletionQueue queue;
    std::vector<Tarvos::Buffer*> buffers(kBurst);
    std::vector<SlotCallback*> callbacks(kBurst);
    for (uint32_t i = 0; i < kBurst; ++i) {
        buffers[i] = NewPageBuffer(kBlock);
        callbacks[i] = new SlotCallback(&queue, i, 0);
    }
    std::mt19937_64 random(20261208);
    const uint64_t blocks = std::max<uint64_t>(span / kBlock, 1);
    std::vector<double> all;
    std::vector<double> urgent;
    std::vector<double> rest;
    uint64_t reads = 0;
    uint64_t outOfOrder = 0;
    uint64_t bytes = 0;
    const Clock::time_point begin = Clock::now();
    std::vector<uint64_t> offsets(kBurst);
    std::vector<uint32_t> due(kBurst);
    std::vector<Clock::time_point> started(kBurst);
    std::vector<double> waited(kBurst);
    std::vector<uint32_t> finishRank(kBurst);
    while (figures.error.empty() && std::chrono::duration<double>(Clock::now() - begin).count() < seconds) {
        const uint32_t now = Tarvos::MTInterface::GetCurrentTimeMilli();
        uint32_t submitted = 0;
        for (uint32_t i = 0; i < kBurst && figures.error.empty(); ++i) {
            offsets[i] = (random() % blocks) * kBlock;
            // Never kDueASAP (0), which would sort first whatever the spread.
            due[i] = std::max(now + 1 + static_cast<uint32_t>(random() % kDueSpreadMs), 1u);
            started[i] = Clock::now();
            Result_t result = Tarvos::CacheSource::kResultBusy;
            // A slot of the previous burst may still be on its way back to the engine.
            for (int attempt = 0; attempt < 10000 && result == Tarvos::CacheSource::kResultBusy; ++attempt) {
                result = source->ReadAsync(offsets[i], buffers[i], callbacks[i], due[i]);
                if (result == Tarvos::CacheSource::kResultBusy) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
            if (result != Tarvos::CacheSource::kResultPending) {
                figures.error = "read at offset " + std::to_string(offsets[i]) + " " + ResultName(result);
            } else {
                ++submitted;
            }
        }
        for (uint32_t rank = 0; rank < submitted; ++rank) {
            Completion done;
            if (!queue.Pop(&done)) {
                // Nothing is destroyed while reads may still report: a hang is a hang.
                std::fprintf(stderr, "tarvos bench: engine-due-order: no read finished within 30 seconds\n");
                std::_Exit(1);
            }
            finishRank[done.slot] = rank;
            waited[done.slot] =
                std::chrono::duration<double, std::micro>(done.when - started[done.slot]).count();
            if (done.result != Tarvos::CacheSource::kResultSuccess || done.bytes != kBlock) {
                if (figures.error.empty()) {
                    figures.error = "read at offset " + std::to_string(offsets[done.slot]) + " " +
                                    ResultName(done.result) + " with " + std::to_string(done.bytes) +
                                    " bytes";
                }
            } else {
                check(buffers[done.slot]->GetAddress(), offsets[done.slot], kBlock);
            }
        }
        if (!figures.error.empty() || submitted < kBurst) {
            break;
        }
        std::vector<uint32_t> byDue(kBurst);
        for (uint32_t i = 0; i < kBurst; ++i) {
            byDue[i] = i;
        }
        std::stable_sort(byDue.begin(), byDue.end(), [&](uint32_t a, uint32_t b) { return due[a] < due[b]; });
        for (uint32_t position = 0; position < kBurst; ++position) {
            const uint32_t i = byDue[position];
            uint32_t laterDueFinishedFirst = 0;
            for (uint32_t j = 0; j < kBurst; ++j) {
                laterDueFinishedFirst += due[j] > due[i] && finishRank[j] < finishRank[i] ? 1 : 0;
            }
            outOfOrder += laterDueFinishedFirst > kInKernelWindow ? 1 : 0;
            (position < (kBurst + kUrgentShare - 1) / kUrgentShare ? urgent : rest).push_back(waited[i]);
            all.push_back(waited[i]);
        }
        reads += kBurst;
        bytes += uint64_t{kBurst} * kBlock;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    for (uint32_t i = 0; i < kBurst; ++i) {
        Release(buffers[i]);
        Release(callbacks[i]);
    }
    figures.mbPerS = static_cast<double>(bytes) / 1e6 / elapsed;
    figures.opsPerS = static_cast<double>(reads) / elapsed;
    if (!all.empty()) {
        std::sort(all.begin(), all.end());
        figures.p50 = all[all.size() / 2];
        figures.p99 = Percentile99(all);
        figures.max = all.back();
    }
    figures.outOfOrder = reads > 0 ? static_cast<double>(outOfOrder) / static_cast<double>(reads) : 0;
    figures.urgentP99 = Percentile99(urgent);
    figures.restP99 = Percentile99(rest);
    return figures;
}

}  // namespace TarvosTool
