// States: closed (handle null) -> open by a successful Open -> closed by Close, Delete or destruction,
// each of which first ends every engine request on the handle. Open joins the file's shared cache key
// (volume serial number and file index) and closing leaves it, always before the handle is closed, so
// that the index cannot be reused while the key lives. The read and write flags keep the
// values of the last successful Open through Close.
#include "OSServices/Win/NativeFileSourceWin.h"

namespace Tarvos {

NativeFileSourceWin::NativeFileSourceWin(const char* path, NativeIOEngine* engine)
    : NativeFileSource(path), engine(engine), file(nullptr), readFlag(false), writeFlag(false) {}

NativeFileSourceWin::~NativeFileSourceWin() {
    if (file != nullptr) {
        FileSource::Cancel();
        LeaveFile();
        CloseHandle(file);
        file = nullptr;
    }
}

bool NativeFileSourceWin::Open(bool read, bool write, bool create) {
    const char* path = GetName();
    if (path == nullptr || file != nullptr) {
        return false;
    }
    DWORD access = 0;
    if (read) {
        access |= GENERIC_READ;
    }
    if (write) {
        access |= GENERIC_WRITE;
    }
    HANDLE opened = CreateFileA(path, access, kShareMode, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                                write ? kWriteFlags : kReadFlags, nullptr);
    if (opened == INVALID_HANDLE_VALUE || opened == nullptr) {
        return false;
    }
    // Without FILE_FLAG_BACKUP_SEMANTICS no directory opens, so the handle is a file, a pipe or a device.
    // A file's identity (volume serial number and file index) lets its sources share cached blocks
    // while any of them has it open; a handle without one keeps the source's own key.
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(opened, &information) != 0) {
        const uint64_t index =
            (uint64_t{information.nFileIndexHigh} << 32) | uint64_t{information.nFileIndexLow};
        if (!JoinFile(information.dwVolumeSerialNumber, index)) {
            CloseHandle(opened);
            return false;
        }
    }
    file = opened;
    readFlag = read;
    writeFlag = write;
    return true;
}

bool NativeFileSourceWin::Close() {
    if (file == nullptr) {
        return false;
    }
    CancelAndForgetCachedData();
    CloseHandle(file);
    file = nullptr;
    return true;
}

bool NativeFileSourceWin::OpenedForRead() {
    return readFlag;
}

bool NativeFileSourceWin::OpenedForWrite() {
    return writeFlag;
}

bool NativeFileSourceWin::Delete() {
    const char* path = GetName();
    if (path == nullptr) {
        return false;
    }
    Close();
    return DeleteFileA(path) != 0;
}

bool NativeFileSourceWin::AcceptsReads() {
    return file != nullptr && readFlag;
}

bool NativeFileSourceWin::SupportsMultiBlockReads() {
    return true;
}

NativeFileSourceWin::Result_t NativeFileSourceWin::ReadAsyncWithListNonCached(
    uint64_t offset, BufferList* list, ResultCallbackBufferList* callback, uint32_t dueTime) {
    if (file == nullptr || engine == nullptr || !readFlag) {
        return kResultInvalidArgument;
    }
    return engine->Read(reinterpret_cast<IOFileHandle>(file), list, offset,
                        NativeIOEngine::kNativeIODeadlineMs, callback, dueTime, this);
}

NativeFileSourceWin::Result_t NativeFileSourceWin::WriteAsyncWithListNonCached(
    uint64_t offset, BufferList* list, ResultCallbackBufferList* callback, uint32_t dueTime) {
    if (file == nullptr || engine == nullptr || !writeFlag) {
        return kResultInvalidArgument;
    }
    return engine->Write(reinterpret_cast<IOFileHandle>(file), list, offset,
                         NativeIOEngine::kNativeIODeadlineMs, callback, dueTime, this);
}

void NativeFileSourceWin::IOFailed(int32_t error, uint64_t offset, bool write) {
    RecordOSError(error, offset, write);
}

void NativeFileSourceWin::CancelNonCached() {
    if (file != nullptr && engine != nullptr) {
        engine->Cancel(reinterpret_cast<IOFileHandle>(file));
    }
}

}  // namespace Tarvos
