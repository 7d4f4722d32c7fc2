#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "DebugOutputCapture.h"
#include "Support/Waiting.h"
#include "Tarvos/MTInterface.h"

using namespace Tarvos;

namespace {

// Loops until its thread is terminating, blocking on a semaphore that TerminateBody signals.
class CooperativeBody : public MTThreadBody {
  public:
    CooperativeBody() : wake(MTInterface::NewSemaphore(1, 0)) {}
    void RunBody(MTThread* thread) override {
        runningOn = MTInterface::GetCurrentThreadID();
        while (!thread->IsTerminating()) {
            wake->Wait(MTSemaphore::kInfinite, 1);
            ++wakeups;
        }
        returned = true;
    }
    void TerminateBody() override { wake->Signal(1); }

    std::unique_ptr<MTSemaphore> wake;
    std::atomic<uint32_t> runningOn{0};
    std::atomic<int> wakeups{0};
    std::atomic<bool> returned{false};
};

class StubbornBody : public MTThreadBody {
  public:
    void RunBody(MTThread*) override {
        while (!release.load()) {
            MTInterface::Sleep(1);
        }
    }
    std::atomic<bool> release{false};
};

class ThrowingBody : public MTThreadBody {
  public:
    void RunBody(MTThread*) override { throw 42; }
};

TEST(MTThreadTest, CooperativeBodyTerminates) {
    CooperativeBody body;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&body, MTThread::kMTPriorityNormal, 0));
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(TarvosTest::WaitUntil([&] { return body.runningOn.load() != 0; }));
    EXPECT_NE(body.runningOn.load(), MTInterface::GetCurrentThreadID());
    EXPECT_FALSE(thread->IsTerminating());
    EXPECT_TRUE(thread->Terminate(5000));
    EXPECT_TRUE(body.returned.load());
    EXPECT_FALSE(thread->IsTerminating());
    EXPECT_FALSE(thread->Terminate(5000)) << "a terminated thread has no body any more";
}

TEST(MTThreadTest, BodyThatIgnoresTerminationTimesOutAndStaysTerminating) {
    StubbornBody body;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&body, MTThread::kMTPriorityNormal, 0));
    EXPECT_FALSE(thread->Terminate(50));
    EXPECT_TRUE(thread->IsTerminating());
    EXPECT_FALSE(thread->Terminate(50));
    body.release = true;
    EXPECT_TRUE(thread->Terminate(5000));
    EXPECT_FALSE(thread->IsTerminating());
}

TEST(MTThreadTest, DestructorWaitsForABodyThatReturnsLate) {
    // The body returns only after the destructor's first wait would have ended; deleting must not
    // free the thread object while the body still runs (ASan would report the use).
    StubbornBody body;
    MTThread* thread = MTInterface::NewThread(&body, MTThread::kMTPriorityNormal, 0);
    std::thread releaser([&] {
        MTInterface::Sleep(200);
        body.release = true;
    });
    delete thread;
    EXPECT_TRUE(body.release.load());
    releaser.join();
}

TEST(MTThreadTest, ThrowingBodyCompletesNormally) {
    TarvosTest::DebugOutputCapture capture;
    ThrowingBody body;
    std::unique_ptr<MTThread> thread(MTInterface::NewThread(&body, MTThread::kMTPriorityNormal, 0));
    EXPECT_TRUE(thread->Terminate(5000));
    const std::string output = capture.Take();
    EXPECT_NE(output.find("Unhandled Exception Running Thread\n"), std::string::npos) << output;
}

TEST(MTThreadTest, DestroyingARunningThreadTerminatesIt) {
    CooperativeBody body;
    {
        std::unique_ptr<MTThread> thread(MTInterface::NewThread(&body, MTThread::kMTPriorityAboveNormal, 0));
        ASSERT_TRUE(TarvosTest::WaitUntil([&] { return body.runningOn.load() != 0; }));
    }
    EXPECT_TRUE(body.returned.load());
}

TEST(MTThreadTest, ManyShortThreads) {
    for (int i = 0; i < 50; ++i) {
        CooperativeBody body;
        std::unique_ptr<MTThread> thread(
            MTInterface::NewThread(&body, static_cast<MTThread::MTPriority>(i % 3 == 0 ? 1000 : -10), 1));
        EXPECT_TRUE(thread->Terminate(5000));
    }
}

}  // namespace
