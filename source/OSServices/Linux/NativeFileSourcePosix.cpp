// States: closed (fd -1) -> open by a successful Open -> closed by Close, Delete or destruction, each
// of which first ends every engine request on the descriptor. Open joins the file's shared cache key
// (device and inode) and closing leaves it, always before the descriptor is closed, so that the inode
// cannot be reused while the key lives. The read and write flags keep the values
// of the last successful Open through Close.
#include "OSServices/Linux/NativeFileSourcePosix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "OSServices/NativeIOEngine.h"

namespace Tarvos {

namespace {

// open(2), retried when a signal interrupts it.
int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

NativeFileSourcePosix::NativeFileSourcePosix(const char* path, NativeIOEngine* engine)
    : NativeFileSource(path), engine(engine), fd(-1), readFlag(false), writeFlag(false), directIO(false) {}

NativeFileSourcePosix::~NativeFileSourcePosix() {
    if (fd >= 0) {
        FileSource::Cancel();
        LeaveFile();
        ::close(fd);
        fd = -1;
    }
}

bool NativeFileSourcePosix::Open(bool read, bool write, bool create) {
    const char* path = GetName();
    if (path == nullptr || fd >= 0) {
        return false;
    }
    int flags = O_CLOEXEC | O_DIRECT;
    if (read && write) {
        flags |= O_RDWR;
    } else if (write) {
        flags |= O_WRONLY;
    } else {
        // Neither direction still opens the file (for its name and existence); I/O is refused later.
        flags |= O_RDONLY;
    }
    if (write) {
        flags |= O_DSYNC;
    }
    if (create) {
        flags |= O_CREAT;
    }
    const mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH;
    int opened = OpenRetrying(path, flags, mode);
    bool direct = true;
    if (opened < 0 && errno == EINVAL) {
        // The file system cannot bypass its cache (tmpfs); the transfers stay correct without it.
        opened = OpenRetrying(path, flags & ~O_DIRECT, mode);
        direct = false;
    }
    if (opened < 0) {
        return false;
    }
    struct stat status;
    if (::fstat(opened, &status) != 0 || S_ISDIR(status.st_mode)) {
        // A directory opens for reading but is no file to transfer.
        ::close(opened);
        return false;
    }
    // The file's identity: its sources share cached blocks while any of them has it open.
    if (!JoinFile(static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino))) {
        ::close(opened);
        return false;
    }
    fd = opened;
    readFlag = read;
    writeFlag = write;
    directIO = direct;
    return true;
}

bool NativeFileSourcePosix::Close() {
    if (fd < 0) {
        return false;
    }
    CancelAndForgetCachedData();
    ::close(fd);
    fd = -1;
    return true;
}

bool NativeFileSourcePosix::OpenedForRead() {
    return readFlag;
}

bool NativeFileSourcePosix::OpenedForWrite() {
    return writeFlag;
}

bool NativeFileSourcePosix::Delete() {
    const char* path = GetName();
    if (path == nullptr) {
        return false;
    }
    Close();
    return ::unlink(path) == 0;
}

bool NativeFileSourcePosix::AcceptsReads() {
    return fd >= 0 && readFlag;
}

bool NativeFileSourcePosix::SupportsMultiBlockReads() {
    return true;
}

bool NativeFileSourcePosix::UsesDirectIO() {
    return directIO;
}

NativeFileSourcePosix::Result_t NativeFileSourcePosix::ReadAsyncWithListNonCached(
    uint64_t offset, BufferList* list, ResultCallbackBufferList* callback, uint32_t dueTime) {
    if (fd < 0 || engine == nullptr || !readFlag) {
        return kResultInvalidArgument;
    }
    return engine->Read(fd, list, offset, NativeIOEngine::kNativeIODeadlineMs, callback, dueTime, this);
}

NativeFileSourcePosix::Result_t NativeFileSourcePosix::WriteAsyncWithListNonCached(
    uint64_t offset, BufferList* list, ResultCallbackBufferList* callback, uint32_t dueTime) {
    if (fd < 0 || engine == nullptr || !writeFlag) {
        return kResultInvalidArgument;
    }
    return engine->Write(fd, list, offset, NativeIOEngine::kNativeIODeadlineMs, callback, dueTime, this);
}

void NativeFileSourcePosix::IOFailed(int32_t error, uint64_t offset, bool write) {
    RecordOSError(error, offset, write);
}

void NativeFileSourcePosix::CancelNonCached() {
    if (fd >= 0 && engine != nullptr) {
        engine->Cancel(fd);
    }
}

}  // namespace Tarvos
