#include "ToolCommon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Tarvos/BufferFactory.h"
#include "Tarvos/Cache.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/OSServices.h"
#include "Tarvos/PhysMemInterface.h"

namespace TarvosTool {

void Fail(const std::string& message) {
    throw ToolError{message};
}

void FailUsage(const std::string& message) {
    throw UsageError{message};
}

std::string Reason(int error) {
    return std::strerror(error);
}

namespace {

// Read by the signal handler: written only while the handlers cannot run on them (a path is set before
// it is published through the flag and cleared after).
char gRemoveFile[4096];
char gRemoveDirectory[4096];
volatile sig_atomic_t gRemoveArmed = 0;

void RemoveAndReraise(int signalNumber) {
    if (gRemoveArmed != 0) {
        if (gRemoveFile[0] != '\0') {
            ::unlink(gRemoveFile);
        }
        if (gRemoveDirectory[0] != '\0') {
            ::rmdir(gRemoveDirectory);
        }
    }
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

}  // namespace

void RemoveOnSignal(const std::string& file, const std::string& directory) {
    gRemoveArmed = 0;
    std::snprintf(gRemoveFile, sizeof gRemoveFile, "%s", file.c_str());
    std::snprintf(gRemoveDirectory, sizeof gRemoveDirectory, "%s", directory.c_str());
    gRemoveArmed = 1;
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        ::signal(signalNumber, RemoveAndReraise);
    }
}

void KeepOnSignal() {
    gRemoveArmed = 0;
}

bool WantProgress(int mode) {
    return mode < 0 ? ::isatty(STDERR_FILENO) == 1 : mode == 1;
}

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

void Progress::Add(uint64_t bytes) {
    done += bytes;
    if (!enabled) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (shown && now - drawn < std::chrono::milliseconds(200)) {
        return;
    }
    drawn = now;
    shown = true;
    const double seconds = std::chrono::duration<double>(now - begin).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string line = HumanBytes(static_cast<double>(done));
    if (total > 0) {
        line += " of " + HumanBytes(static_cast<double>(total)) + " (" +
                std::to_string(std::min<uint64_t>(100, done * 100 / total)) + "%)";
    }
    line += ", " + HumanBytes(rate) + "/s";
    if (total > done && rate > 0) {
        const auto left = static_cast<uint64_t>(static_cast<double>(total - done) / rate);
        char text[48];
        std::snprintf(text, sizeof text, ", %llu:%02llu left", static_cast<unsigned long long>(left / 60),
                      static_cast<unsigned long long>(left % 60));
        line += text;
    }
    std::fprintf(stderr, "\r%-60s", line.c_str());
    std::fflush(stderr);
}

void Progress::Finish() {
    if (shown) {
        std::fprintf(stderr, "\r%60s\r", "");
        std::fflush(stderr);
        shown = false;
    }
    enabled = false;
}

void StartLibrary() {
    try {
        Tarvos::OSServices::Init();
    } catch (const char* message) {
        Fail(std::string("the library did not start: ") + message);
    }
}

bool ParseSize(const std::string& text, uint64_t* bytes) {
    size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used);
    } catch (...) {
        return false;
    }
    std::string unit = text.substr(used);
    uint64_t scale = 1;
    if (unit.empty() || unit == "B") {
        scale = 1;
    } else if (unit == "K" || unit == "KiB" || unit == "k") {
        scale = 1024;
    } else if (unit == "M" || unit == "MiB" || unit == "m") {
        scale = 1024 * 1024;
    } else if (unit == "G" || unit == "GiB" || unit == "g") {
        scale = 1024ull * 1024 * 1024;
    } else {
        return false;
    }
    if (value == 0 || value > (~0ull) / scale) {
        return false;
    }
    *bytes = value * scale;
    return true;
}

std::string DescribeResult(Result_t result) {
    return std::string(Tarvos::ResultName(result)) + " (" + Tarvos::ResultMeaning(result) + ")";
}

Tarvos::Buffer* NewPageBuffer(uint32_t size) {
    Tarvos::Buffer* buffer = Tarvos::PhysMemInterface::Allocate(size);
    if (buffer == nullptr) {
        Fail("out of page-aligned memory for a " + std::to_string(size) + "-byte buffer");
    }
    return buffer;
}

void Release(Tarvos::SharedObject* object) {
    if (object != nullptr) {
        object->DecRef(TOOL_CALL_SITE);
    }
}

uint64_t CheckReadableFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        Fail(path + ": " + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        Fail(path + ": Is a directory");
    }
    if (!S_ISREG(info.st_mode)) {
        Fail(path + ": not a regular file");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail(path + ": " + std::strerror(errno));
    }
    ::close(fd);
    return static_cast<uint64_t>(info.st_size);
}

Tarvos::Cache* NewCache(uint32_t blockSize, uint32_t blocks, Tarvos::BufferFactory** factory) {
    auto* physMem = new Tarvos::BufferFactoryPhysMem();
    if (!physMem->Initialize(blockSize, blocks, blocks, 0)) {
        Release(physMem);
        Fail("cannot allocate " + std::to_string(uint64_t{blockSize} * blocks / (1024 * 1024)) +
             " MiB of whole-page memory for the cache (see Troubleshooting in the README)");
    }
    *factory = physMem;
    return new Tarvos::Cache(physMem);
}

void ReleaseCache(Tarvos::Cache* cache, Tarvos::BufferFactory* factory) {
    Release(cache);
    Release(factory);
}

Tarvos::NativeFileSource* OpenSource(const std::string& path, bool read, bool write, Tarvos::Cache* cache) {
    Tarvos::NativeFileSource* source = Tarvos::NativeFileSysInterface::NewNativeFileSource(path.c_str());
    if (source == nullptr) {
        Fail(path + ": no file source could be made");
    }
    if (cache != nullptr) {
        source->UseCache(cache);
    }
    if (!source->Open(read, write, false)) {
        const int fd = ::open(path.c_str(), (read && write ? O_RDWR
                                             : write       ? O_WRONLY
                                                           : O_RDONLY) |
                                                O_CLOEXEC);
        const std::string reason = fd < 0 ? std::strerror(errno) : "the library could not open it";
        if (fd >= 0) {
            ::close(fd);
        }
        Release(source);
        Fail(path + ": " + reason);
    }
    return source;
}

void CloseSource(Tarvos::NativeFileSource* source) {
    if (source != nullptr) {
        source->Close();
        Release(source);
    }
}

void CompletionQueue::Push(const Completion& completion) {
    // Notified under the lock: the popper may destroy the queue as soon as it has its completion, which
    // it cannot take before this unlocks; a notify after the unlock could touch a destroyed queue.
    std::lock_guard<std::mutex> hold(lock);
    queue.push_back(completion);
    arrived.notify_one();
}

bool CompletionQueue::Pop(Completion* completion, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock);
    if (!arrived.wait_for(hold, limit, [&] { return !queue.empty(); })) {
        return false;
    }
    *completion = queue.front();
    queue.pop_front();
    return true;
}

void SlotCallback::Callback(Result_t result, uint64_t offset, Tarvos::Buffer*, uint32_t bytesTransferred) {
    Completion completion;
    completion.slot = slot;
    completion.kind = kind;
    completion.result = result;
    completion.offset = offset;
    completion.bytes = bytesTransferred;
    completion.when = Clock::now();
    queue->Push(completion);
}

// The process's user+system CPU time so far, all threads (the library's included), in microseconds.
double ProcessCpuMicroseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval& time) {
        return time.tv_sec * 1e6 + static_cast<double>(time.tv_usec);
    };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

}  // namespace TarvosTool
