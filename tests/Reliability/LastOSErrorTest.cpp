// A native source keeps the operating-system error of its last failed read or write, with the offset
// and the direction, for callers to put into their messages: a write failing for lack of space must not
// reach the user as a bare failure with 0 bytes.
#include <gtest/gtest.h>

#include <string>

#include "ReliabilitySupport.h"

using namespace Tarvos;
using namespace TarvosTest;

namespace {

class LastOSErrorTest : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (dir.path.empty()) {
            GTEST_SKIP() << "no temporary directory";
        }
        if (!faulty.Start(GetParam())) {
            GTEST_SKIP() << GetParam() << " cannot run here: " << faulty.reason;
        }
        path = dir.MakeFile("f", 8 * uint64_t{Page()}, 3);
    }

    static Tarvos::IOFaultRule ErrorAt(uint32_t operations, uint64_t offset, int error) {
        Tarvos::IOFaultRule rule;
        rule.operations = operations;
        rule.offsetBegin = offset;
        rule.offsetEnd = offset + 1;
        rule.kind = Tarvos::kFaultError;
        rule.error = error;
        return rule;
    }

    TempDir dir;
    FaultyEngine faulty;
    std::string path;
};

INSTANTIATE_TEST_SUITE_P(Mechanisms, LastOSErrorTest, testing::ValuesIn(PlatformMechanismNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(LastOSErrorTest, FailedTransfersLeaveTheirErrorOffsetAndDirectionUntilTheNextFailure) {
    auto* source = new PlatformNativeFileSource(path.c_str(), faulty.engine.get());
    ASSERT_TRUE(source->Open(true, true, false));
    uint64_t offset = 1;
    bool wasWrite = true;
    EXPECT_EQ(source->GetLastOSError(&offset, &wasWrite), 0);
    EXPECT_EQ(offset, 0u);
    EXPECT_FALSE(wasWrite);
    faulty.injector->AddRule(ErrorAt(kFaultOnWrite, 6 * uint64_t{Page()}, kOSErrorNoSpace));
    faulty.injector->AddRule(ErrorAt(kFaultOnRead, 2 * uint64_t{Page()}, kOSErrorIO));
    Buffer* buffer = NewPages(2);
    uint32_t bytes = 99;

    EXPECT_EQ(source->Write(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(source->GetLastOSError(), 0);
    EXPECT_EQ(source->Write(6 * uint64_t{Page()}, buffer, &bytes), CacheSource::kResultFailed);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(source->GetLastOSError(&offset, &wasWrite), kOSErrorNoSpace);
    EXPECT_EQ(offset, 6 * uint64_t{Page()});
    EXPECT_TRUE(wasWrite);

    // A success leaves the last failure alone; the next failure replaces it.
    EXPECT_EQ(source->Read(0, buffer, &bytes), CacheSource::kResultSuccess);
    EXPECT_EQ(source->GetLastOSError(), kOSErrorNoSpace);
    EXPECT_EQ(source->Read(2 * uint64_t{Page()}, buffer, &bytes), CacheSource::kResultFailed);
    EXPECT_EQ(source->GetLastOSError(&offset, &wasWrite), kOSErrorIO);
    EXPECT_EQ(offset, 2 * uint64_t{Page()});
    EXPECT_FALSE(wasWrite);
    // Both pointers may be left out.
    EXPECT_EQ(source->GetLastOSError(nullptr, &wasWrite), kOSErrorIO);
    EXPECT_EQ(source->GetLastOSError(&offset), kOSErrorIO);

    Release(source);
    EXPECT_TRUE(WaitUntil([&] { return buffer->GetRefCount() == 1; }));
    Release(buffer);
}

}  // namespace
