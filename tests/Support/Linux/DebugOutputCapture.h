// Captures what MTInterface::DebugString writes while it exists: the Linux implementation writes to
// standard error.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace TarvosTest {
class DebugOutputCapture {
  public:
    DebugOutputCapture() { testing::internal::CaptureStderr(); }
    // What was written since construction; call once.
    std::string Take() { return testing::internal::GetCapturedStderr(); }
};
}  // namespace TarvosTest
