#include "Tarvos/ResultName.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "Tarvos/Version.h"

namespace Tarvos {
namespace {

using R = CacheSource::Result_t;

TEST(ResultNameTest, EveryResultHasItsEnumeratorNameAndItsOwnMeaning) {
    const std::pair<R, const char*> all[] = {
        {CacheSource::kResultSuccess, "kResultSuccess"},
        {CacheSource::kResultPartial, "kResultPartial"},
        {CacheSource::kResultPending, "kResultPending"},
        {CacheSource::kResultNone, "kResultNone"},
        {CacheSource::kResultBufferLocked, "kResultBufferLocked"},
        {CacheSource::kResultCancelled, "kResultCancelled"},
        {CacheSource::kResultEndOfFile, "kResultEndOfFile"},
        {CacheSource::kResultInvalidArgument, "kResultInvalidArgument"},
        {CacheSource::kResultFailed, "kResultFailed"},
        {CacheSource::kResultBusy, "kResultBusy"},
    };
    std::set<std::string> meanings;
    for (const auto& [result, name] : all) {
        EXPECT_STREQ(ResultName(result), name);
        const std::string meaning = ResultMeaning(result);
        EXPECT_FALSE(meaning.empty()) << name;
        EXPECT_EQ(meaning.find('\n'), std::string::npos) << name;
        EXPECT_TRUE(meanings.insert(meaning).second) << name << " shares its meaning";
    }
}

TEST(ResultNameTest, AValueOutsideTheEnumerationIsNamedUnknown) {
    EXPECT_STREQ(ResultName(static_cast<R>(42)), "kResultUnknown");
    EXPECT_STRNE(ResultMeaning(static_cast<R>(-4)), "");
}

TEST(VersionTest, TheLibraryReportsTheVersionOfItsHeader) {
    const std::string expected = std::to_string(TARVOS_VERSION_MAJOR) + "." +
                                 std::to_string(TARVOS_VERSION_MINOR) + "." +
                                 std::to_string(TARVOS_VERSION_PATCH);
    EXPECT_EQ(GetVersion(), expected);
    EXPECT_EQ(GetVersionNumber(), static_cast<uint32_t>(TARVOS_VERSION_NUMBER));
}

}  // namespace
}  // namespace Tarvos
