#include "ToolCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char* ResultName(Result_t result) {
    switch (result) {
        case Tarvos::CacheSource::kResultSuccess:
            return "success";
        case Tarvos::CacheSource::kResultPartial:
            return "partial";
        case Tarvos::CacheSource::kResultPending:
            return "pending";
        case Tarvos::CacheSource::kResultNone:
            return "none";
        case Tarvos::CacheSource::kResultBufferLocked:
            return "buffer locked";
        case Tarvos::CacheSource::kResultCancelled:
            return "cancelled";
        case Tarvos::CacheSource::kResultEndOfFile:
            return "end of file";
        case Tarvos::CacheSource::kResultInvalidArgument:
            return "invalid argument";
        case Tarvos::CacheSource::kResultFailed:
            return "failed";
        case Tarvos::CacheSource::kResultBusy:
            return "busy";
    }
    return "unknown result";
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
        Fail("cannot lock " + std::to_string(uint64_t{blockSize} * blocks / (1024 * 1024)) +
             " MiB of memory for the cache");
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
    {
        std::lock_guard<std::mutex> hold(lock);
        queue.push_back(completion);
    }
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

}  // namespace TarvosTool
