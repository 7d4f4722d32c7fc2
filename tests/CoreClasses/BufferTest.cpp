#include "Tarvos/Buffer.h"

#include <gtest/gtest.h>

#include <vector>

#include "CoreClasses/CallSite.h"
#include "Support/BufferChecks.h"
#include "Support/RecordingBuffer.h"
#include "Support/ThreadGroup.h"

using namespace Tarvos;
using TarvosTest::FillPattern;
using TarvosTest::FirstPatternMismatch;
using TarvosTest::LockCountOf;
using TarvosTest::RecordingBuffer;

namespace {

constexpr uint32_t kSize = 100;

class BufferTest : public testing::Test {
  protected:
    void SetUp() override {
        memory.assign(kSize, 0xEE);
        buffer = new RecordingBuffer(memory.data(), kSize, "B", nullptr);
        FillPattern(caller.data(), kSize, 0);
    }
    void TearDown() override {
        EXPECT_EQ(buffer->LockCount(), 0) << "every copy leaves the lock count as it found it";
        EXPECT_EQ(buffer->GetRefCount(), 1) << "every copy gives back the reference its lock took";
        buffer->DecRef(TARVOS_CALL_SITE);
    }

    std::vector<uint8_t> memory;
    std::vector<uint8_t> caller = std::vector<uint8_t>(kSize);
    RecordingBuffer* buffer = nullptr;
    uint32_t moved = 77;
};

TEST_F(BufferTest, LockCountHasNoFloor) {
    EXPECT_EQ(buffer->GetLockState(), Buffer::kLockStateUnlocked);
    EXPECT_EQ(buffer->Lock(), Buffer::kLockStateLocked);
    EXPECT_EQ(buffer->Lock(), Buffer::kLockStateLocked);
    EXPECT_EQ(buffer->Unlock(), Buffer::kLockStateLocked);
    EXPECT_EQ(buffer->Unlock(), Buffer::kLockStateUnlocked);
    EXPECT_EQ(buffer->Unlock(), Buffer::kLockStateUnlocked);
    EXPECT_EQ(buffer->LockCount(), -1);
    EXPECT_EQ(buffer->GetLockState(), Buffer::kLockStateUnlocked);
    EXPECT_EQ(buffer->Lock(), Buffer::kLockStateUnlocked) << "back to 0";
    {
        BufferLockAuto lock(buffer);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_EQ(buffer->GetRefCount(), 2) << "a lock that counted holds a reference";
        EXPECT_EQ(buffer->LockCount(), 1);
    }
    EXPECT_EQ(buffer->LockCount(), 0);
}

TEST_F(BufferTest, LockAutoThatDidNotCountIsNotUndone) {
    buffer->Unlock();
    {
        BufferLockAuto lock(buffer);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_EQ(buffer->GetRefCount(), 1);
    }
    EXPECT_EQ(buffer->LockCount(), 0);
    BufferLockAuto nothing(nullptr);
    EXPECT_FALSE(nothing.IsLocked());
}

TEST_F(BufferTest, CopyIntoAtTheEndIsOutOfRange) {
    EXPECT_EQ(buffer->CopyInto(caller.data(), 1, kSize, &moved), Buffer::kBufferResultOutOfRange);
    EXPECT_EQ(moved, 0u);
    moved = 77;
    EXPECT_EQ(buffer->CopyInto(caller.data(), 0, 0, &moved), Buffer::kBufferResultOutOfRange);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(buffer->CopyOutOf(caller.data(), 5, 0xFFFFFFFFu, nullptr), Buffer::kBufferResultOutOfRange);
    EXPECT_TRUE(buffer->acknowledgedInto.empty());
    EXPECT_TRUE(buffer->acknowledgedOutOf.empty());
}

TEST_F(BufferTest, CopyIntoIsClippedToTheBuffer) {
    EXPECT_EQ(buffer->CopyInto(caller.data(), 0xFFFFFFFFu, 90, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(moved, 10u);
    EXPECT_EQ(FirstPatternMismatch(memory.data() + 90, 10, 0), 10u);
    for (uint32_t i = 0; i < 90; ++i) {
        ASSERT_EQ(memory[i], 0xEE) << "byte " << i << " was not to be written";
    }
    ASSERT_EQ(buffer->acknowledgedInto.size(), 1u);
    EXPECT_EQ(buffer->acknowledgedInto[0], std::make_pair(10u, 90u));
    EXPECT_EQ(buffer->lockStateInHook[0], Buffer::kLockStateLocked) << "the copy holds its own lock";
}

TEST_F(BufferTest, CopyOutOfIsClippedToTheBuffer) {
    FillPattern(memory.data(), kSize, 1000);
    std::vector<uint8_t> out(kSize, 0xAA);
    EXPECT_EQ(buffer->CopyOutOf(out.data(), 30, 80, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(moved, 20u);
    EXPECT_EQ(FirstPatternMismatch(out.data(), 20, 1080), 20u);
    EXPECT_EQ(out[20], 0xAA);
    ASSERT_EQ(buffer->acknowledgedOutOf.size(), 1u);
    EXPECT_EQ(buffer->acknowledgedOutOf[0], std::make_pair(20u, 80u));
    EXPECT_EQ(buffer->CopyOutOf(out.data(), 5, 0, nullptr), Buffer::kBufferResultSuccess);
}

TEST_F(BufferTest, BufferWithoutMemoryReportsNoAddress) {
    auto* empty = new HostBuffer(nullptr, kSize);
    EXPECT_EQ(empty->CopyInto(caller.data(), 10, 0, &moved), Buffer::kBufferResultNoAddress);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(empty->CopyOutOf(caller.data(), 10, 0, &moved), Buffer::kBufferResultNoAddress);
    EXPECT_EQ(LockCountOf(empty), 0);
    moved = 77;
    EXPECT_EQ(buffer->CopyFromOtherBuffer(empty, 0, 0, 0, &moved), Buffer::kBufferResultNoAddress);
    EXPECT_EQ(moved, 77u) << "only the inner copy writes the count";
    EXPECT_EQ(LockCountOf(empty), 0);
    EXPECT_EQ(empty->GetRefCount(), 1);
    empty->DecRef(TARVOS_CALL_SITE);
}

TEST_F(BufferTest, NullCallerMemoryIsRefused) {
    EXPECT_EQ(buffer->CopyInto(nullptr, 10, 0, &moved), Buffer::kBufferResultNoAddress);
    EXPECT_EQ(buffer->CopyOutOf(nullptr, 10, 0, &moved), Buffer::kBufferResultNoAddress);
    EXPECT_EQ(moved, 0u);
    EXPECT_TRUE(buffer->acknowledgedInto.empty());
}

TEST_F(BufferTest, LockThatDoesNotCountFailsTheCopy) {
    buffer->refuseLock = true;
    EXPECT_EQ(buffer->CopyInto(caller.data(), 10, 0, &moved), Buffer::kBufferResultLockFailed);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(memory[0], 0xEE);
    buffer->refuseLock = false;
    // The refused attempt counted in this double and is not undone by the copy: undo it here.
    buffer->Unlock();
}

TEST_F(BufferTest, ThrowingAcknowledgementIsACopyFault) {
    buffer->throwOnAcknowledgeInto = true;
    EXPECT_EQ(buffer->CopyInto(caller.data(), 40, 10, &moved), Buffer::kBufferResultCopyFault);
    EXPECT_EQ(moved, 40u) << "the bytes were copied before the hook raised";
    EXPECT_EQ(FirstPatternMismatch(memory.data() + 10, 40, 0), 40u);
    buffer->throwOnAcknowledgeOutOf = true;
    EXPECT_EQ(buffer->CopyOutOf(caller.data(), 40, 10, &moved), Buffer::kBufferResultCopyFault);
    EXPECT_EQ(moved, 40u);
}

TEST_F(BufferTest, CopyFromOtherBufferWithLengthZeroTakesTheRestOfTheSource) {
    std::vector<uint8_t> sourceMemory(200);
    FillPattern(sourceMemory.data(), 200, 0);
    auto* source = new RecordingBuffer(sourceMemory.data(), 200, "S", nullptr);
    buffer->watched = source;
    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 0, 30, 10, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(moved, 90u) << "the rest of the source (170 bytes) clipped to the destination";
    EXPECT_EQ(FirstPatternMismatch(memory.data() + 10, 90, 30), 90u);
    ASSERT_EQ(buffer->watchedLockStateInHook.size(), 1u);
    EXPECT_EQ(buffer->watchedLockStateInHook[0], Buffer::kLockStateLocked) << "source locked during the copy";

    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 5, 100, 0, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(moved, 5u);
    EXPECT_EQ(FirstPatternMismatch(memory.data(), 5, 100), 5u);
    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 500, 190, 0, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(moved, 10u) << "a length past the source's end takes what is left";

    moved = 77;
    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 0, 200, 0, &moved), Buffer::kBufferResultOutOfRange);
    EXPECT_EQ(buffer->CopyFromOtherBuffer(nullptr, 0, 0, 0, &moved), Buffer::kBufferResultLockFailed);
    EXPECT_EQ(moved, 77u);
    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 0, 0, kSize, &moved), Buffer::kBufferResultOutOfRange);
    EXPECT_EQ(moved, 0u) << "the inner copy ran and found no room";
    EXPECT_EQ(source->LockCount(), 0);
    EXPECT_EQ(source->GetRefCount(), 1);
    source->DecRef(TARVOS_CALL_SITE);
}

TEST_F(BufferTest, CopyFromOtherBufferReportsAFaultOfTheDestinationHook) {
    std::vector<uint8_t> sourceMemory(50, 1);
    auto* source = new RecordingBuffer(sourceMemory.data(), 50, "S", nullptr);
    buffer->throwOnAcknowledgeInto = true;
    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 0, 0, 0, &moved), Buffer::kBufferResultCopyFault);
    EXPECT_EQ(moved, 50u);
    EXPECT_EQ(source->LockCount(), 0);
    source->refuseLock = true;
    EXPECT_EQ(buffer->CopyFromOtherBuffer(source, 0, 0, 0, &moved), Buffer::kBufferResultLockFailed);
    source->refuseLock = false;
    source->Unlock();
    EXPECT_EQ(source->LockCount(), 0);
    source->DecRef(TARVOS_CALL_SITE);
}

TEST_F(BufferTest, CopyWithinOneBufferHandlesOverlap) {
    FillPattern(memory.data(), kSize, 0);
    EXPECT_EQ(buffer->CopyFromOtherBuffer(buffer, 60, 0, 20, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(moved, 60u);
    EXPECT_EQ(FirstPatternMismatch(memory.data() + 20, 60, 0), 60u);
}

TEST(HostBufferTest, ConcurrentCopiesLeaveTheLockCountAlone) {
    std::vector<uint8_t> memory(100);
    auto* shared = new HostBuffer(memory.data(), 100);
    TarvosTest::RunOnThreads(4, [&](int thread) {
        std::vector<uint8_t> mine(25);
        FillPattern(mine.data(), 25, thread * 25u, 3);
        std::vector<uint8_t> back(25);
        for (int n = 0; n < 5000; ++n) {
            uint32_t count = 0;
            EXPECT_EQ(shared->CopyInto(mine.data(), 25, thread * 25u, &count), Buffer::kBufferResultSuccess);
            EXPECT_EQ(shared->CopyOutOf(back.data(), 25, thread * 25u, &count), Buffer::kBufferResultSuccess);
            EXPECT_EQ(back, mine);
        }
    });
    EXPECT_EQ(LockCountOf(shared), 0);
    EXPECT_EQ(shared->GetRefCount(), 1);
    shared->DecRef(TARVOS_CALL_SITE);
}

TEST(HeapBufferTest, OwnsMemoryOfItsSize) {
    auto* heap = new HeapBuffer(4096);
    EXPECT_EQ(heap->GetSize(), 4096u);
    EXPECT_NE(heap->GetAddress(), nullptr);
    EXPECT_EQ(heap->GetAddress(), heap->GetVirtualAddress());
    std::vector<uint8_t> data(4096);
    FillPattern(data.data(), 4096, 0);
    uint32_t moved = 0;
    EXPECT_EQ(heap->CopyInto(data.data(), 4096, 0, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(heap->GetAddress(), 4096, 0), 4096u);
    heap->DecRef(TARVOS_CALL_SITE);

    auto* empty = new HeapBuffer(0);
    EXPECT_EQ(empty->CopyInto(data.data(), 1, 0, &moved), Buffer::kBufferResultOutOfRange);
    empty->DecRef(TARVOS_CALL_SITE);
}

TEST(BufferPartOfBufferTest, HoldsExactlyOneReferenceOnItsParent) {
    auto* parent = new HeapBuffer(256);
    auto* window = new BufferPartOfBuffer(static_cast<uint8_t*>(parent->GetAddress()) + 64, 32, parent);
    EXPECT_EQ(parent->GetRefCount(), 2);
    EXPECT_EQ(window->GetParent(), parent);
    EXPECT_EQ(window->GetSize(), 32u);
    EXPECT_EQ(window->GetAddress(), static_cast<uint8_t*>(parent->GetAddress()) + 64);
    EXPECT_EQ(window->Lock(), Buffer::kLockStateLocked);
    EXPECT_EQ(parent->GetLockState(), Buffer::kLockStateUnlocked) << "the window has its own lock count";
    window->Unlock();

    parent->DecRef(TARVOS_CALL_SITE);
    EXPECT_EQ(parent->GetRefCount(), 1) << "the window keeps its parent alive";
    std::vector<uint8_t> data(32);
    FillPattern(data.data(), 32, 0);
    uint32_t moved = 0;
    EXPECT_EQ(window->CopyInto(data.data(), 32, 0, &moved), Buffer::kBufferResultSuccess);
    EXPECT_EQ(FirstPatternMismatch(static_cast<uint8_t*>(parent->GetAddress()) + 64, 32, 0), 32u);
    window->DecRef(TARVOS_CALL_SITE);

    auto* orphan = new BufferPartOfBuffer(data.data(), 32, nullptr);
    EXPECT_EQ(orphan->GetParent(), nullptr);
    orphan->DecRef(TARVOS_CALL_SITE);
}

}  // namespace
