// Shared pieces of the tarvos command-line tool: start-up, one-line errors (exit 1) and usage errors
// (exit 2), size parsing, whole-page buffers, a completion queue that library callbacks feed and the main
// thread drains, POSIX file checks that turn errno into a readable reason, files removed when a signal
// ends the program, and the progress line. Everything here uses the library's public API only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Tarvos/Buffer.h"
#include "Tarvos/FileSource.h"
#include "Tarvos/ResultName.h"

namespace Tarvos {
class BufferFactory;
class Cache;
class NativeFileSource;
}  // namespace Tarvos

// The call-site tag passed to every AddRef and DecRef made by the tool.
#define TOOL_CALL_SITE __FILE__, __func__, __LINE__

namespace TarvosTool {

using Result_t = Tarvos::CacheSource::Result_t;
using Clock = std::chrono::steady_clock;

// Thrown for a condition that ends the command with a one-line message and exit status 1.
struct ToolError {
    std::string message;
};
// Thrown for a command line that cannot be used: a one-line message and exit status 2.
struct UsageError {
    std::string message;
};

[[noreturn]] void Fail(const std::string& message);
[[noreturn]] void FailUsage(const std::string& message);
// The operating system's reason for an errno value, e.g. "No space left on device".
std::string Reason(int error);

// Starts the library once; a start-up failure becomes a ToolError.
void StartLibrary();

// "512M", "64MiB", "1G", "4096": bytes; false for anything else or 0.
bool ParseSize(const std::string& text, uint64_t* bytes);

// "kResultFailed (the operating system failed it, ...)": a result for a message.
std::string DescribeResult(Result_t result);

// A whole-page, page-aligned buffer of at least size bytes (one reference, the caller's).
Tarvos::Buffer* NewPageBuffer(uint32_t size);
void Release(Tarvos::SharedObject* object);

// The file's size when it is a regular file (or block device) that can be opened as asked; otherwise a
// ToolError naming the file and the operating system's reason.
uint64_t CheckReadableFile(const std::string& path);

// A cache of blocks whole-page blocks of blockSize bytes; the factory is returned for release after the
// cache (the caller owns one reference on each).
Tarvos::Cache* NewCache(uint32_t blockSize, uint32_t blocks, Tarvos::BufferFactory** factory);
// Releases the cache, then its factory.
void ReleaseCache(Tarvos::Cache* cache, Tarvos::BufferFactory* factory);

// A native file source for path, attached to cache when one is given, and opened as asked; a
// ToolError when it cannot be opened.
Tarvos::NativeFileSource* OpenSource(const std::string& path, bool read, bool write, Tarvos::Cache* cache);
// Closes (waiting for its outstanding operations) and releases the source.
void CloseSource(Tarvos::NativeFileSource* source);

// One finished asynchronous operation as a callback saw it.
struct Completion {
    uint32_t slot = 0;
    int kind = 0;  // what the slot was doing: the caller's own numbering
    Result_t result = Tarvos::CacheSource::kResultNone;
    uint64_t offset = 0;
    uint32_t bytes = 0;
    Clock::time_point when;
};

// Completions pushed by callbacks on library threads, popped by the tool's main thread. Callbacks only
// lock, push and notify: they never call back into the library.
class CompletionQueue {
  public:
    void Push(const Completion& completion);
    // False when nothing arrived within the limit (the caller reports a hang instead of waiting on).
    bool Pop(Completion* completion, std::chrono::milliseconds limit = std::chrono::milliseconds(30000));

  private:
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<Completion> queue;  // guarded by lock
};

// A callback bound to one slot of a pipeline; kind says whether the slot was reading or writing.
class SlotCallback : public Tarvos::FileSource::ResultCallbackBuffer {
  public:
    SlotCallback(CompletionQueue* queue, uint32_t slot, int kind) : queue(queue), slot(slot), kind(kind) {}
    void Callback(Result_t result, uint64_t offset, Tarvos::Buffer* buffer,
                  uint32_t bytesTransferred) override;

  protected:
    ~SlotCallback() override = default;

  private:
    CompletionQueue* queue;
    uint32_t slot;
    int kind;
};

// The commands' options, as parsed from the command line.
struct BenchOptions {
    bool quick = false;
    bool json = false;
    bool streams = false;     // only the streams and their baseline
    uint64_t sampleSize = 0;  // 0: the default for the run
    std::string file;         // empty: a generated sample file
    std::string only;         // run only the phases whose names start with this
    uint32_t repeat = 1;      // runs of every phase; the report gives their median and spread
    uint32_t largeCacheBlocks = 262144;
    double streamsLoad = 0.6;  // the streams' readers' rates add up to this share of the baseline
};
struct CatOptions {
    std::vector<std::string> files;  // "-" is standard input; none: standard input
    int progress = -1;               // see WantProgress
};
struct CpOptions {
    std::string source;       // "-": standard input
    std::string destination;  // "-": standard output; a directory: the source's name inside it
    int progress = -1;
};

// The process's user+system CPU time so far, all threads (the library's included), in microseconds.
double ProcessCpuMicroseconds();

int RunBench(const BenchOptions& options);
int RunCat(const CatOptions& options);
int RunCp(const CpOptions& options);

// Paths removed when SIGINT, SIGTERM or SIGHUP ends the program (the signal is then raised again, so the
// exit status says what ended it): a partial copy, a sample file and its directory. Set and cleared by the
// main thread only; the handler reads them.
void RemoveOnSignal(const std::string& file, const std::string& directory = std::string());
void KeepOnSignal();

// A progress line on standard error: bytes so far, rate and, when the total is known, time left; redrawn
// at most five times a second and erased by Finish. Does nothing when not enabled.
class Progress {
  public:
    Progress(bool enabled, uint64_t total) : enabled(enabled), total(total), begin(Clock::now()) {}
    ~Progress() { Finish(); }
    void Add(uint64_t bytes);
    void Finish();

  private:
    bool enabled;
    uint64_t total;  // 0: unknown
    uint64_t done = 0;
    Clock::time_point begin;
    Clock::time_point drawn;
    bool shown = false;
};

// --progress (1), --no-progress (0) or neither (-1: when standard error is a terminal).
bool WantProgress(int mode);
// "12.3 MiB"
std::string HumanBytes(double bytes);

}  // namespace TarvosTool
