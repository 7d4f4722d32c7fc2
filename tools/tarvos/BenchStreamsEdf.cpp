// The streams' edf-direct method: one thread, one io_uring, kStreamsInFlight direct reads in flight.
// Whenever a read may start, the loop starts the one due soonest among every reader's next piece (once
// the reader may ask for it, as the other methods' readers do) and the random reader's next read (due
// kRandomDueMs after it asks, one at a time). A piece arrives when its read completes; it is checked
// after the next reads have been started, so the check never holds the device up.
#include <fcntl.h>
#include <liburing.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchStreams.h"
#include "ToolCommon.h"

namespace TarvosTool {

namespace {

using SteadyClock = StreamSchedule::Clock;

constexpr uint32_t kRandom = ~0u;  // the reader number of the random reader's reads

struct Slot {
    void* memory = nullptr;
    uint32_t reader = 0;
    uint64_t piece = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
};

}  // namespace

StreamsFigures RunStreamsEdfDirect(const StreamsPlan& plan) {
    StreamsFigures figures;
    figures.method = "edf-direct";
    int fd = ::open(plan.path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    if (fd < 0 && errno == EINVAL) {
        figures.note = "the file system refused O_DIRECT: read through the page cache";
        fd = ::open(plan.path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        Fail(plan.path + ": " + Reason(errno));
    }
    io_uring ring{};
    const int setup = io_uring_queue_init(2 * kStreamsInFlight, &ring, 0);
    if (setup < 0) {
        ::close(fd);
        Fail(std::string("io_uring: ") + Reason(-setup));
    }
    // Twice the reads in flight: the pieces that just arrived are checked while the next reads run.
    std::vector<Slot> slots(2 * kStreamsInFlight);
    std::vector<uint32_t> idle;     // slots free for a read
    std::vector<uint32_t> arrived;  // slots whose read has finished, not yet checked
    uint32_t inFlight = 0;
    for (uint32_t i = 0; i < slots.size(); ++i) {
        if (posix_memalign(&slots[i].memory, 4096, kStreamPieceBytes) != 0) {
            Fail("out of memory");
        }
        idle.push_back(i);
    }
    const int64_t deviceBefore = DeviceReadBytes();
    const StreamSchedule schedule(plan);
    std::vector<uint64_t> next(kStreamReaders, 0);           // each reader's next piece to ask for
    std::vector<uint64_t> arrivedPieces(kStreamReaders, 0);  // each reader's pieces arrived (consumed)
    std::vector<LateTally> tallies(1);
    std::vector<std::string> errors(1);
    std::mt19937_64 random(20261208);
    const uint64_t randomBlocks = plan.span / kRandomReadBytes;
    bool randomBusy = false;
    uint64_t randomReads = 0;
    while (errors[0].empty()) {
        SteadyClock::time_point now = SteadyClock::now();
        bool submitted = false;
        while (inFlight < kStreamsInFlight && !idle.empty()) {
            uint32_t chosen = kRandom;
            SteadyClock::time_point due = SteadyClock::time_point::max();
            if (!randomBusy && now < schedule.End()) {
                due = now + std::chrono::milliseconds(kRandomDueMs);
            }
            for (uint32_t r = 0; r < kStreamReaders; ++r) {
                if (schedule.MayAsk(r, next[r], arrivedPieces[r], now) && schedule.Due(r, next[r]) < due) {
                    chosen = r;
                    due = schedule.Due(r, next[r]);
                }
            }
            if (due == SteadyClock::time_point::max()) {
                break;
            }
            const uint32_t index = idle.back();
            idle.pop_back();
            Slot& slot = slots[index];
            slot.reader = chosen;
            if (chosen == kRandom) {
                slot.offset = random() % randomBlocks * kRandomReadBytes;
                slot.length = kRandomReadBytes;
                randomBusy = true;
            } else {
                slot.piece = next[chosen]++;
                slot.offset = schedule.Offset(chosen, slot.piece);
                slot.length = kStreamPieceBytes;
            }
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            io_uring_prep_read(sqe, fd, slot.memory, slot.length, slot.offset);
            io_uring_sqe_set_data64(sqe, index);
            ++inFlight;
            submitted = true;
        }
        if (submitted) {
            io_uring_submit(&ring);
        }
        for (uint32_t index : arrived) {
            plan.check(slots[index].memory, slots[index].offset, slots[index].length);
            idle.push_back(index);
        }
        arrived.clear();
        // The soonest moment a reader not yet allowed to ask for its next piece will be; readers that
        // may ask already wait for a slot, and readers whose earlier pieces have not arrived wait for
        // them: both for a completion.
        SteadyClock::time_point wake = SteadyClock::time_point::max();
        bool piecesLeft = false;
        for (uint32_t r = 0; r < kStreamReaders; ++r) {
            if (next[r] < schedule.piecesPerReader) {
                piecesLeft = true;
                if (schedule.AskFrom(r, next[r]) > now) {
                    wake = std::min(wake, schedule.AskFrom(r, next[r]));
                }
            }
        }
        if (!piecesLeft && inFlight == 0 && now >= schedule.End()) {
            break;
        }
        if (inFlight == 0) {
            std::this_thread::sleep_until(std::min(wake, schedule.End()));
            continue;
        }
        io_uring_cqe* cqe = nullptr;
        int waited = 0;
        if (wake != SteadyClock::time_point::max()) {
            const auto wait = std::max<int64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now).count(), 0);
            __kernel_timespec timeout{wait / 1000000000, wait % 1000000000};
            waited = io_uring_wait_cqe_timeout(&ring, &cqe, &timeout);
        } else {
            __kernel_timespec watchdog{30, 0};
            waited = io_uring_wait_cqe_timeout(&ring, &cqe, &watchdog);
            if (waited == -ETIME) {
                std::fprintf(stderr,
                             "tarvos bench: streams (edf-direct): no read finished within 30 seconds\n");
                std::_Exit(1);
            }
        }
        if (waited < 0 && waited != -ETIME && waited != -EINTR) {
            errors[0] = std::string("io_uring wait: ") + Reason(-waited);
            break;
        }
        while (io_uring_peek_cqe(&ring, &cqe) == 0) {
            const auto index = static_cast<uint32_t>(io_uring_cqe_get_data64(cqe));
            const int res = cqe->res;
            io_uring_cqe_seen(&ring, cqe);
            const SteadyClock::time_point when = SteadyClock::now();
            Slot& slot = slots[index];
            --inFlight;
            if (res != static_cast<int>(slot.length)) {
                errors[0] = "io_uring read at offset " + std::to_string(slot.offset) + ": " +
                            (res < 0 ? Reason(-res) : std::to_string(res) + " bytes");
                idle.push_back(index);
                continue;
            }
            if (slot.reader == kRandom) {
                randomBusy = false;
                ++randomReads;
            } else {
                tallies[0].Add(schedule.Due(slot.reader, slot.piece), when);
                ++arrivedPieces[slot.reader];
            }
            arrived.push_back(index);
        }
    }
    // Reads still in flight after an error finish before their memory goes.
    for (; inFlight > 0; --inFlight) {
        io_uring_cqe* cqe = nullptr;
        if (io_uring_wait_cqe(&ring, &cqe) < 0) {
            break;
        }
        io_uring_cqe_seen(&ring, cqe);
    }
    io_uring_queue_exit(&ring);
    ::close(fd);
    for (Slot& slot : slots) {
        std::free(slot.memory);
    }
    FillStreamsFigures(&figures, schedule, tallies, errors, randomReads, deviceBefore);
    return figures;
}

}  // namespace TarvosTool
