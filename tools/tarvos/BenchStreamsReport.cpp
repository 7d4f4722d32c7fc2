// The streams' step of tarvos bench: the three methods in turn, and their figures in the report.
#include "BenchStreamsReport.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "BenchStreamSettings.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

const char* const kStreamsLegend =
    "streams: 8 readers, each over its own region of the file, consume 1 MiB pieces at a fixed rate "
    "(together load_share of uring-seq-qd8-1m in this run, 0.6 unless --streams-load says), piece n due at "
    "the reader's start + n * piece / rate; "
    "a reader asks for a piece from the moment it has consumed the one 5 before it and reads it once it has "
    "consumed the one before; miss_pct: pieces that arrived after their due time; late_p99_ms: 99th "
    "percentile of lateness over all pieces (0 when on time); one random 64 KiB reader reads one at a time "
    "as fast as it can, due 500 ms after it asks (random_ops_per_s); device_mib: bytes the process read "
    "from storage while the method ran (/proc/self/io read_bytes: direct reads, and page cache fills the "
    "process caused; with FILE the verifier's buffered reads count too); cpu_cores: the process's CPU time "
    "while the method ran (every thread, the bench's own checks of each byte included) over its length. "
    "tarvos: one cache of 1 MiB blocks "
    "for all readers, pre-reads with due times, asynchronous reads with the piece's due time; the random "
    "reader reads the file uncached through the library's engine with its later due time. edf-direct: one "
    "io_uring loop, 8 direct reads in flight, the earliest due started first. buffered: pread per reader "
    "thread, posix_fadvise(WILLNEED) on the pieces it may ask for and DONTNEED on those it consumed, after "
    "fdatasync and posix_fadvise(DONTNEED) dropped the file from the page cache (the note says if that "
    "failed)";

double Rounded(double value) {
    return std::isfinite(value) ? std::round(value * 1000) / 1000 : 0;
}

double ReaderMbPerS(const StreamsRun& run) {
    return run.baselineMbPerS * run.loadShare / kStreamReaders;
}

}  // namespace

StreamsRun RunStreams(StreamsPlan plan,
                      const std::function<void(const void*, uint64_t, uint32_t, bool)>& check) {
    if (!(plan.baselineMbPerS > 0)) {
        Fail("streams: uring-seq-qd8-1m read nothing, so the readers have no rate");
    }
    StreamsRun run;
    run.baselineMbPerS = plan.baselineMbPerS;
    run.seconds = plan.seconds;
    run.loadShare = plan.loadShare;
    run.cacheMib = std::min<uint64_t>(kStreamCacheBytes, plan.span / 2) / (1024 * 1024);
    bool library = false;  // written only while no method runs
    plan.check = [&](const void* data, uint64_t offset, uint32_t length) {
        check(data, offset, length, library);
    };
    const bool tty = ::isatty(STDERR_FILENO) == 1;
    const std::pair<const char*, StreamsFigures (*)(const StreamsPlan&)> methods[] = {
        {"tarvos", RunStreamsLibrary}, {"edf-direct", RunStreamsEdfDirect}, {"buffered", RunStreamsBuffered}};
    for (const auto& [name, method] : methods) {
        library = method == RunStreamsLibrary;
        if (tty) {
            std::fprintf(stderr, "\rstreams (%s)%20s", name, "");
        }
        const double cpuBefore = ProcessCpuMicroseconds();
        const auto began = std::chrono::steady_clock::now();
        StreamsFigures figures = method(plan);
        const double wallUs =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count();
        figures.cpuCores = (ProcessCpuMicroseconds() - cpuBefore) / wallUs;
        if (!figures.error.empty()) {
            Fail("streams (" + figures.method + "): " + figures.error);
        }
        run.figures.push_back(std::move(figures));
    }
    if (tty) {
        std::fprintf(stderr, "\r%40s\r", "");
    }
    return run;
}

void AddStreamsJson(const StreamsRun& run, nlohmann::ordered_json* report) {
    nlohmann::ordered_json streams = nlohmann::ordered_json::array();
    for (const StreamsFigures& f : run.figures) {
        streams.push_back({{"method", f.method},
                           {"miss_pct", Rounded(f.missPct)},
                           {"late_p99_ms", Rounded(f.lateP99Ms)},
                           {"random_ops_per_s", Rounded(f.randomOpsPerS)},
                           {"device_mib", f.deviceMib < 0 ? nlohmann::ordered_json()
                                                          : nlohmann::ordered_json(Rounded(f.deviceMib))},
                           {"cpu_cores", Rounded(f.cpuCores)},
                           {"pieces", f.pieces},
                           {"misses", f.misses},
                           {"late_max_ms", Rounded(f.lateMaxMs)},
                           {"random_reads", f.randomReads},
                           {"note", f.note}});
    }
    (*report)["streams"] = streams;
    (*report)["streams_legend"] = kStreamsLegend;
    (*report)["streams_setup"] = {
        {"readers", kStreamReaders},   {"baseline_mb_per_s", Rounded(run.baselineMbPerS)},
        {"load_share", run.loadShare}, {"reader_mb_per_s", Rounded(ReaderMbPerS(run))},
        {"seconds", run.seconds},      {"ahead_pieces", kStreamAheadPieces},
        {"cache_mib", run.cacheMib}};
}

void PrintStreams(const StreamsRun& run) {
    if (run.figures.empty()) {
        return;
    }
    std::printf(
        "\nstreams: %u readers at %.1f MB/s each (%.0f%% of uring-seq-qd8-1m's %.1f MB/s), %.1f s, "
        "one random 64 KiB reader due %u ms after it asks\n",
        kStreamReaders, ReaderMbPerS(run), run.loadShare * 100, run.baselineMbPerS, run.seconds,
        kRandomDueMs);
    std::printf("%-12s %8s %12s %12s %14s %11s %9s  %s\n", "method", "miss %", "late p99 ms", "late max ms",
                "random ops/s", "device MiB", "CPU cores", "note");
    for (const StreamsFigures& f : run.figures) {
        const std::string device = f.deviceMib < 0 ? "-" : std::to_string(std::lround(f.deviceMib));
        std::printf("%-12s %8.2f %12.1f %12.1f %14.0f %11s %9.2f  %s\n", f.method.c_str(), f.missPct,
                    f.lateP99Ms, f.lateMaxMs, f.randomOpsPerS, device.c_str(), f.cpuCores, f.note.c_str());
    }
    std::printf("%s\n", kStreamsLegend);
}

}  // namespace TarvosTool
