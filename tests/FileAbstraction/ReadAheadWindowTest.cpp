// The read-ahead window on its own: how it grows, where it stops, what it hands out and when each
// piece is due.
#include "FileAbstraction/ReadAheadWindow.h"

#include <gtest/gtest.h>

#include <cstdint>

using namespace Tarvos;

namespace {

constexpr uint32_t kBlock = 4096;

// Checks the plan of a read ending at readEnd against what was handed out before (everything below
// requested): block-aligned, consecutive pieces from requested on, within the cap past the read's end.
void CheckPlan(const ReadAheadWindow::Plan& plan, uint64_t readEnd, uint64_t cap, uint64_t* requested) {
    for (uint32_t i = 0; i < plan.count; ++i) {
        const ReadAheadWindow::Piece& piece = plan.pieces[i];
        EXPECT_EQ(piece.offset % kBlock, 0u);
        EXPECT_GT(piece.size, 0u);
        EXPECT_GE(piece.offset, *requested) << "a range handed out twice";
        EXPECT_GE(piece.offset, readEnd / kBlock * kBlock);
        if (i > 0) {
            EXPECT_EQ(piece.offset, plan.pieces[i - 1].offset + plan.pieces[i - 1].size);
        }
        EXPECT_LE(piece.offset + piece.size, readEnd + cap) << "past the cap";
        *requested = piece.offset + piece.size;
    }
}

// Sequential reads of changing sizes, with overlaps and gaps of less than a block: the window grows,
// reaches the cap (rounded down to whole blocks) and never passes it.
TEST(ReadAheadWindowTest, GrowsToTheCapAndNeverPastIt) {
    ReadAheadWindow window;
    const uint64_t cap = 10 * kBlock + 100;
    uint64_t requested = 0;
    uint64_t offset = 0;
    uint32_t handedOut = 0;
    for (uint32_t i = 0; i < 60; ++i) {
        const uint32_t size = (i % 3 + 1) * kBlock - (i % 5) * 7;
        const ReadAheadWindow::Plan plan =
            window.OnRead(offset, size, ReadAheadWindow::kDueASAP, i, kBlock, cap);
        if (i == 0) {
            EXPECT_EQ(plan.count, 0u) << "one read shows no pattern";
        }
        handedOut += plan.count;
        CheckPlan(plan, offset + size, cap, &requested);
        EXPECT_LE(window.GetWindow(), 10u * kBlock);
        EXPECT_LE(window.GetAhead(), 10u * kBlock);
        // The next read starts a little before or after this one's end.
        offset = offset + size + (i % 2 == 0 ? 100 : 0) - (i % 4 == 1 ? 300 : 0);
    }
    EXPECT_GT(handedOut, 0u);
    EXPECT_EQ(window.GetWindow(), 10u * kBlock);
    EXPECT_GE(window.GetAhead(), 8u * kBlock) << "the window is kept full";
}

// A read elsewhere drops the window; it takes two reads that follow each other to start it again,
// and a cap below one block or a switch-off (Reset) means no read-ahead.
TEST(ReadAheadWindowTest, BrokenPatternStopsUntilTwoReadsFollowOnAgain) {
    ReadAheadWindow window;
    const uint64_t cap = 64 * kBlock;
    EXPECT_EQ(window.OnRead(0, kBlock, 0, 1, kBlock, cap).count, 0u);
    EXPECT_GT(window.OnRead(kBlock, kBlock, 0, 2, kBlock, cap).count, 0u);
    EXPECT_EQ(window.GetWindow(), 2u * kBlock);
    EXPECT_GT(window.OnRead(2 * kBlock, kBlock, 0, 3, kBlock, cap).count, 0u);
    EXPECT_EQ(window.GetWindow(), 4u * kBlock);

    for (uint64_t jump : {40u, 3u, 100u, 1u}) {
        EXPECT_EQ(window.OnRead(jump * kBlock + kBlock + 1, kBlock, 0, 4, kBlock, cap).count, 0u) << jump;
        EXPECT_EQ(window.GetWindow(), 0u);
        EXPECT_EQ(window.GetAhead(), 0u);
    }
    // Follows on from the last jump: the pattern holds again.
    const ReadAheadWindow::Plan again = window.OnRead(3 * kBlock + 1, kBlock, 0, 5, kBlock, cap);
    ASSERT_GT(again.count, 0u);
    EXPECT_EQ(again.pieces[0].offset, 5u * kBlock) << "starts at the block after the read's end";

    window.Reset();
    EXPECT_EQ(window.OnRead(4 * kBlock + 1, kBlock, 0, 6, kBlock, cap).count, 0u)
        << "reset forgets the pattern";
    EXPECT_EQ(window.OnRead(5 * kBlock + 1, kBlock, 0, 7, kBlock, kBlock - 1).count, 0u)
        << "cap below a block";
    EXPECT_EQ(window.OnRead(6 * kBlock + 1, 0, 0, 8, kBlock, cap).count, 0u) << "an empty read";
}

// A reader that advances one block every 10 ms: pieces are due when it gets to them, later pieces
// later, across the wrap of the millisecond clock; while no time has passed between its reads (no rate
// yet) they are due as soon as possible; a read with a due time of its own puts them after that.
TEST(ReadAheadWindowTest, PiecesAreDueWhenTheReaderGetsToThem) {
    const uint64_t cap = 16 * kBlock;
    {
        ReadAheadWindow window;
        EXPECT_EQ(window.OnRead(0, kBlock, 0, 500, kBlock, cap).count, 0u);
        const ReadAheadWindow::Plan plan = window.OnRead(kBlock, kBlock, 0, 500, kBlock, cap);
        ASSERT_GT(plan.count, 0u);
        for (uint32_t i = 0; i < plan.count; ++i) {
            EXPECT_EQ(plan.pieces[i].dueTime, ReadAheadWindow::kDueASAP);
        }
    }
    ReadAheadWindow window;
    const uint32_t start = 0xFFFFFF80u;
    uint32_t now = start;
    uint32_t checked = 0;
    for (uint32_t i = 0; i < 20; ++i, now += 10) {
        const ReadAheadWindow::Plan plan = window.OnRead(uint64_t{i} * kBlock, kBlock, 0, now, kBlock, cap);
        const uint64_t end = uint64_t{i + 1} * kBlock;
        for (uint32_t p = 0; p < plan.count; ++p, ++checked) {
            const ReadAheadWindow::Piece& piece = plan.pieces[p];
            const uint32_t expected = now + static_cast<uint32_t>((piece.offset - end) / kBlock * 10);
            EXPECT_EQ(piece.dueTime, expected == 0 ? 1u : expected) << "read " << i << " piece " << p;
        }
    }
    EXPECT_GT(checked, 8u);
    const ReadAheadWindow::Plan due = window.OnRead(20 * kBlock, kBlock, now + 500, now, kBlock, cap);
    ASSERT_GT(due.count, 0u);
    EXPECT_EQ(due.pieces[0].dueTime, now + 500 + (due.pieces[0].offset - 21 * kBlock) / kBlock * 10);
}

}  // namespace
