// A tiny application of the installed library: starts it, uses a few exported classes and checks that
// the library, its header and the package (TARVOS_PACKAGE_VERSION, from CMake or pkg-config) agree on
// the version.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Tarvos/Buffer.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/NativeFileSource.h"
#include "Tarvos/NativeFileSysInterface.h"
#include "Tarvos/OSServices.h"
#include "Tarvos/PhysMemInterface.h"
#include "Tarvos/ResultName.h"
#include "Tarvos/Version.h"

int main() {
    const std::string header = std::to_string(TARVOS_VERSION_MAJOR) + "." +
                               std::to_string(TARVOS_VERSION_MINOR) + "." +
                               std::to_string(TARVOS_VERSION_PATCH);
    if (header != Tarvos::GetVersion() || header != TARVOS_PACKAGE_VERSION ||
        Tarvos::GetVersionNumber() != TARVOS_VERSION_NUMBER) {
        std::printf("versions differ: header %s, library %s, package %s\n", header.c_str(),
                    Tarvos::GetVersion(), TARVOS_PACKAGE_VERSION);
        return 1;
    }
    if (std::strcmp(Tarvos::ResultName(Tarvos::CacheSource::kResultEndOfFile), "kResultEndOfFile") != 0) {
        std::puts("result names are wrong");
        return 1;
    }
    Tarvos::OSServices::Init();
    const uint32_t first = Tarvos::MTInterface::GetProcessUniqueID();
    const uint32_t second = Tarvos::MTInterface::GetProcessUniqueID();
    if (first == 0 || second == first) {
        std::puts("unique IDs are wrong");
        return 1;
    }
    // A native file written and read back through the exported file source.
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp != nullptr ? tmp : "/tmp") + "/tarvos-consumer-file";
    Tarvos::NativeFileSource* file = Tarvos::NativeFileSysInterface::NewNativeFileSource(path.c_str());
    Tarvos::Buffer* out = Tarvos::PhysMemInterface::Allocate(1);
    Tarvos::Buffer* in = Tarvos::PhysMemInterface::Allocate(1);
    std::memset(out->GetAddress(), 'T', out->GetSize());
    std::memset(in->GetAddress(), 0, in->GetSize());
    uint32_t bytes = 0;
    const bool transferred = file != nullptr && file->Open(true, true, true) &&
                             file->Write(0, out, &bytes) == Tarvos::CacheSource::kResultSuccess &&
                             file->Read(0, in, &bytes) == Tarvos::CacheSource::kResultSuccess &&
                             std::memcmp(in->GetAddress(), out->GetAddress(), in->GetSize()) == 0 &&
                             file->Delete();
    in->DecRef(__FILE__, "main", __LINE__);
    out->DecRef(__FILE__, "main", __LINE__);
    if (file != nullptr) {
        file->DecRef(__FILE__, "main", __LINE__);
    }
    if (!transferred) {
        std::puts("native file transfer failed");
        return 1;
    }
    std::printf("consumer ok (version %s)\n", Tarvos::GetVersion());
    return 0;
}
