#include "Cache/TransactionDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "ProcessCpuTime.h"
#include "Support/Waiting.h"

using namespace Tarvos;
using namespace std::chrono_literals;

namespace {

// What the commands of one test did, in order. Shared by the test thread, the worker and whoever
// cancels.
class Recorder {
  public:
    struct Execution {
        int id;
        uint64_t pass;
        uint32_t thread;
    };

    void Executed(int id, uint64_t pass) {
        std::lock_guard<std::mutex> guard(mutex);
        executions.push_back({id, pass, MTInterface::GetCurrentThreadID()});
    }
    void Finished(int id, bool cancelled) {
        std::lock_guard<std::mutex> guard(mutex);
        finishes[id].push_back(cancelled);
        ++finishCount;
    }
    std::vector<Execution> Executions() {
        std::lock_guard<std::mutex> guard(mutex);
        return executions;
    }
    std::vector<int> ExecutedIds() {
        std::vector<int> ids;
        for (const Execution& execution : Executions()) {
            ids.push_back(execution.id);
        }
        return ids;
    }
    // How the command was finished, once per Finish call.
    std::vector<bool> FinishesOf(int id) {
        std::lock_guard<std::mutex> guard(mutex);
        const auto found = finishes.find(id);
        return found == finishes.end() ? std::vector<bool>{} : found->second;
    }
    size_t FinishCount() {
        std::lock_guard<std::mutex> guard(mutex);
        return finishCount;
    }
    bool WaitForFinishes(size_t count, std::chrono::milliseconds limit = 10000ms) {
        return TarvosTest::WaitUntil([&] { return FinishCount() >= count; }, limit);
    }

  private:
    std::mutex mutex;
    std::vector<Execution> executions;
    std::map<int, std::vector<bool>> finishes;
    size_t finishCount = 0;
};

class TestCommand : public DispatcherCommand {
  public:
    using Behaviour = std::function<bool(TestCommand&)>;

    TestCommand(Recorder* recorder, int id, uint32_t kind, uint32_t dueTime, Behaviour behaviour = {},
                CacheSource* source = nullptr)
        : DispatcherCommand(kind, dueTime, nullptr, source),
          recorder(recorder),
          id(id),
          behaviour(std::move(behaviour)) {}

    bool Execute() override {
        recorder->Executed(id, GetPassStamp());
        return behaviour ? behaviour(*this) : true;
    }
    void Finish(bool cancelled) override {
        recorder->Finished(id, cancelled);
        delete this;
    }

    Recorder* const recorder;
    const int id;

  private:
    Behaviour behaviour;
};

// Opened by the test; a command waiting on it gives up after a bound, so a fault fails instead of hangs.
class Gate {
  public:
    bool Pass() {
        return TarvosTest::WaitUntil([&] { return open.load(); });
    }
    void Open() { open = true; }
    void Close() { open = false; }

  private:
    std::atomic<bool> open{false};
};

class SourceFilter : public TransactionDispatcher::CommandFilter {
  public:
    explicit SourceFilter(CacheSource* source) : source(source) {}
    bool Matches(DispatcherCommand* command, uint32_t kind) override {
        EXPECT_EQ(kind, command->GetKind());
        return command->GetSource() == source;
    }

  private:
    CacheSource* const source;
};

// Source identities for filters; never dereferenced.
alignas(8) char sourceA;
alignas(8) char sourceB;
CacheSource* const kSourceA = reinterpret_cast<CacheSource*>(&sourceA);
CacheSource* const kSourceB = reinterpret_cast<CacheSource*>(&sourceB);

class TransactionDispatcherTest : public ::testing::Test {
  protected:
    TransactionDispatcher& Dispatcher(std::vector<uint32_t> kinds = {kCommandProcessTransaction}) {
        dispatcher = std::make_unique<TransactionDispatcher>(
            kinds.data(), static_cast<uint32_t>(kinds.size()), MTThread::kMTPriorityNormal);
        return *dispatcher;
    }
    TestCommand* Command(int id, uint32_t dueTime, uint32_t kind = kCommandProcessTransaction,
                         TestCommand::Behaviour behaviour = {}, CacheSource* source = nullptr) {
        return new TestCommand(&recorder, id, kind, dueTime, std::move(behaviour), source);
    }
    // Queues a command that runs until `gate` opens and then reports `done`; returns once it runs.
    bool StartGatedCommand(int id, bool done) {
        auto running = std::make_shared<std::atomic<bool>>(false);
        dispatcher->Add(Command(id, 0, kCommandProcessTransaction, [this, running, done](TestCommand&) {
            *running = true;
            return gate.Pass() && done;
        }));
        return TarvosTest::WaitUntil([&] { return running->load(); });
    }
    void ExpectFinishedOnce(int id, bool cancelled) {
        EXPECT_EQ(recorder.FinishesOf(id), std::vector<bool>{cancelled}) << "command " << id;
    }

    Recorder recorder;
    Gate gate;  // outlives the dispatcher, whose commands may wait on it
    std::unique_ptr<TransactionDispatcher> dispatcher;
};

TEST_F(TransactionDispatcherTest, RunsByDueTimeInOnePassAfterAWake) {
    TransactionDispatcher& d = Dispatcher();
    d.Lock();  // the worker cannot take a command until the three are queued
    d.Add(Command(30, 30));
    d.Add(Command(10, 10));
    d.Add(Command(20, 20));
    d.Wake();
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(3));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{10, 20, 30}));
    const auto executions = recorder.Executions();
    EXPECT_EQ(executions[0].pass, executions[2].pass) << "one pass serves everything queued";
    EXPECT_NE(executions[0].thread, MTInterface::GetCurrentThreadID());
    for (int id : {10, 20, 30}) {
        ExpectFinishedOnce(id, false);
    }
}

TEST_F(TransactionDispatcherTest, EqualDueTimesRunInArrivalOrder) {
    TransactionDispatcher& d = Dispatcher();
    d.Lock();
    for (int id = 1; id <= 5; ++id) {
        d.Add(Command(id, 7));
    }
    d.Add(Command(0, 3));
    d.Add(Command(6, 0xFFFFFFFFu));
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(7));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
}

TEST_F(TransactionDispatcherTest, KindsAreServedInTheirOrderWithinAPass) {
    TransactionDispatcher& d = Dispatcher({kCommandReadDirect, kCommandBlock});
    d.Lock();
    // The block commands are due earlier, yet every read command runs first.
    d.Add(Command(31, 1, kCommandBlock));
    d.Add(Command(21, 5, kCommandReadDirect));
    d.Add(Command(32, 2, kCommandBlock));
    d.Add(Command(22, 6, kCommandReadDirect));
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(4));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{21, 22, 31, 32}));
    const auto executions = recorder.Executions();
    EXPECT_EQ(executions[0].pass, executions[3].pass);
}

TEST_F(TransactionDispatcherTest, KindsTheDispatcherDoesNotServeNeverRun) {
    TransactionDispatcher& d = Dispatcher({kCommandBlock});
    d.Add(Command(1, 0, kCommandProcessTransaction));
    d.Add(Command(2, 5, kCommandBlock));
    ASSERT_TRUE(recorder.WaitForFinishes(1));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{2}));
    dispatcher.reset();
    ExpectFinishedOnce(1, true);
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{2}));
}

TEST_F(TransactionDispatcherTest, ACommandThatCannotProceedIsRetriedOncePerPass) {
    TransactionDispatcher& d = Dispatcher();
    int calls = 0;
    d.Add(Command(1, 0, kCommandProcessTransaction, [&](TestCommand&) { return ++calls == 3; }));
    ASSERT_TRUE(recorder.WaitForFinishes(1));
    const auto executions = recorder.Executions();
    ASSERT_EQ(executions.size(), 3u);
    EXPECT_EQ(executions[1].pass, executions[0].pass + 1);
    EXPECT_EQ(executions[2].pass, executions[1].pass + 1);
    ExpectFinishedOnce(1, false);
}

TEST_F(TransactionDispatcherTest, AFailedCommandWaitsForTheNextPassWhileOthersRun) {
    TransactionDispatcher& d = Dispatcher();
    d.Lock();
    bool failedOnce = false;
    d.Add(Command(1, 1, kCommandProcessTransaction,
                  [&](TestCommand&) { return std::exchange(failedOnce, true); }));
    d.Add(Command(2, 2));
    d.Add(Command(3, 3));
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(3));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{1, 2, 3, 1}));
    const auto executions = recorder.Executions();
    EXPECT_EQ(executions[2].pass, executions[0].pass);
    EXPECT_EQ(executions[3].pass, executions[0].pass + 1);
}

// A command that waits for something another thread frees (a block, an I/O slot) must not keep the
// worker busy, yet must be retried without anybody waking the dispatcher.
TEST_F(TransactionDispatcherTest, ACommandThatKeepsFailingCostsAlmostNoCpu) {
    TransactionDispatcher& d = Dispatcher();
    std::atomic<bool> canProceed{false};
    std::atomic<int> calls{0};
    std::atomic<bool> measuring{false};
    std::atomic<int> callsWhileMeasuring{0};
    d.Add(Command(1, 0, kCommandProcessTransaction, [&](TestCommand&) {
        ++calls;
        if (measuring) {
            ++callsWhileMeasuring;
        }
        return canProceed.load();
    }));
    ASSERT_TRUE(TarvosTest::WaitUntil([&] { return calls.load() > 0; }));
    const double cpuBefore = TarvosTest::ProcessCpuSeconds();
    measuring = true;
    std::this_thread::sleep_for(1s);  // the measuring window, not a synchronisation
    measuring = false;
    const double cpuSeconds = TarvosTest::ProcessCpuSeconds() - cpuBefore;
    EXPECT_LT(callsWhileMeasuring.load(), 5000) << "the worker retries as fast as it can loop";
    EXPECT_GE(callsWhileMeasuring.load(), 10) << "a failed command must be retried without a Wake";
    EXPECT_LT(cpuSeconds, 0.5) << "process CPU time during one second of retrying";

    canProceed = true;
    const auto woken = std::chrono::steady_clock::now();
    d.Wake();
    ASSERT_TRUE(recorder.WaitForFinishes(1));
    EXPECT_LT(std::chrono::steady_clock::now() - woken, 500ms);
    ExpectFinishedOnce(1, false);
}

TEST_F(TransactionDispatcherTest, AddsWhileALongCommandRunsAreAllServed) {
    TransactionDispatcher& d = Dispatcher();
    ASSERT_TRUE(StartGatedCommand(0, true));
    for (int id = 10; id >= 1; --id) {
        d.Add(Command(id, static_cast<uint32_t>(id)));
    }
    gate.Open();
    ASSERT_TRUE(recorder.WaitForFinishes(11));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    const auto executions = recorder.Executions();
    for (const auto& execution : executions) {
        EXPECT_EQ(execution.pass, executions[1].pass) << "command " << execution.id;
    }
    for (int id = 0; id <= 10; ++id) {
        ExpectFinishedOnce(id, false);
    }
}

// Lock holds the worker (nothing is taken, put back or finished) but does not wait for the command it
// runs: a status callback of that command may cancel, and so may one it waits for. A cancel that meets
// the running command finishes it as cancelled when it returns instead of putting it back.
TEST_F(TransactionDispatcherTest, LockHoldsTheWorkerAndACancelEndsTheRunningCommand) {
    TransactionDispatcher& d = Dispatcher({kCommandProcessTransaction, kCommandBlock});
    ASSERT_TRUE(StartGatedCommand(1, true));
    d.Lock();
    d.Add(Command(2, 0, kCommandBlock));
    gate.Open();
    std::this_thread::sleep_for(50ms);  // a check that nothing happens, not a synchronisation
    EXPECT_EQ(recorder.FinishCount(), 0u) << "finished while the dispatcher was locked";
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{1}));
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(2));

    // Command 3 runs (and will not be able to proceed) when the cancel comes; command 4 waits.
    gate.Close();
    ASSERT_TRUE(StartGatedCommand(3, false));
    d.Add(Command(4, 0, kCommandBlock));
    SourceFilter everything(nullptr);
    EXPECT_TRUE(d.CancelMatching(&everything)) << "command 4 was queued";
    gate.Open();
    ASSERT_TRUE(recorder.WaitForFinishes(4));
    ExpectFinishedOnce(1, false);
    ExpectFinishedOnce(2, false);
    ExpectFinishedOnce(3, true);
    ExpectFinishedOnce(4, true);
}

TEST_F(TransactionDispatcherTest, CancelMatchingFinishesOnlyTheFiltersCommands) {
    TransactionDispatcher& d = Dispatcher({kCommandReadDirect, kCommandBlock});
    d.Lock();
    d.Add(Command(1, 1, kCommandReadDirect, {}, kSourceA));
    d.Add(Command(2, 2, kCommandBlock, {}, kSourceB));
    d.Add(Command(3, 3, kCommandBlock, {}, kSourceA));
    d.Add(Command(4, 4, kCommandReadDirect, {}, kSourceB));
    d.Add(Command(5, 5, kCommandReadDirect, {}, nullptr));
    SourceFilter filterA(kSourceA);
    EXPECT_TRUE(d.CancelMatching(&filterA));
    EXPECT_EQ(recorder.FinishCount(), 2u) << "cancelled commands are finished before CancelMatching returns";
    ExpectFinishedOnce(1, true);
    ExpectFinishedOnce(3, true);
    EXPECT_FALSE(d.CancelMatching(&filterA)) << "nothing of the source is left";
    EXPECT_FALSE(d.CancelMatching(nullptr));
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(5));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{4, 5, 2}));
    for (int id : {2, 4, 5}) {
        ExpectFinishedOnce(id, false);
    }
}

TEST_F(TransactionDispatcherTest, CancelAllFinishesEveryQueuedCommandInQueueOrder) {
    TransactionDispatcher& d = Dispatcher();
    d.Lock();
    EXPECT_FALSE(d.CancelAll());
    // Cancelled commands are finished outside the queue's lock: a Finish may queue new work.
    class Requeuing : public TestCommand {
      public:
        using TestCommand::TestCommand;
        void Finish(bool cancelled) override {
            if (cancelled && follower != nullptr) {
                target->Add(follower);
            }
            TestCommand::Finish(cancelled);
        }
        TransactionDispatcher* target = nullptr;
        TestCommand* follower = nullptr;
    };
    auto* first = new Requeuing(&recorder, 3, kCommandProcessTransaction, 30);
    first->target = &d;
    first->follower = Command(9, 0);
    d.Add(first);
    d.Add(Command(2, 20));
    d.Add(Command(1, 10));
    EXPECT_TRUE(d.CancelAll());
    ExpectFinishedOnce(1, true);
    ExpectFinishedOnce(2, true);
    ExpectFinishedOnce(3, true);
    d.Unlock();
    ASSERT_TRUE(recorder.WaitForFinishes(4));
    EXPECT_EQ(recorder.ExecutedIds(), (std::vector<int>{9})) << "only the command queued by a Finish runs";
    ExpectFinishedOnce(9, false);
}

TEST_F(TransactionDispatcherTest, DestructionFinishesEveryQueuedCommandOnce) {
    TransactionDispatcher& d = Dispatcher({kCommandProcessTransaction});
    std::atomic<int> failures{0};
    for (int id = 1; id <= 3; ++id) {
        d.Add(Command(id, static_cast<uint32_t>(id), kCommandBlock));  // a kind this dispatcher never runs
    }
    for (int id = 4; id <= 5; ++id) {
        d.Add(Command(id, 0, kCommandProcessTransaction, [&](TestCommand&) {
            ++failures;
            return false;
        }));
    }
    ASSERT_TRUE(TarvosTest::WaitUntil([&] { return failures.load() >= 4; }));
    dispatcher.reset();
    EXPECT_EQ(recorder.FinishCount(), 5u);
    for (int id = 1; id <= 5; ++id) {
        ExpectFinishedOnce(id, true);
    }
}

TEST_F(TransactionDispatcherTest, DestructionDuringALongCommandFinishesEverythingOnce) {
    TransactionDispatcher& d = Dispatcher();
    ASSERT_TRUE(StartGatedCommand(0, false));  // not done: termination must finish it
    for (int id = 1; id <= 5; ++id) {
        d.Add(Command(id, static_cast<uint32_t>(id)));
    }
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        dispatcher.reset();
        destroyed = true;
    });
    gate.Open();
    ASSERT_TRUE(TarvosTest::WaitUntil([&] { return destroyed.load(); }));
    destroyer.join();
    EXPECT_EQ(recorder.FinishCount(), 6u);
    ExpectFinishedOnce(0, true);
    for (int id = 1; id <= 5; ++id) {
        // Depending on when termination was requested, a command ran or was cancelled; never both.
        EXPECT_EQ(recorder.FinishesOf(id).size(), 1u) << "command " << id;
    }
}

TEST_F(TransactionDispatcherTest, WithoutKindsNothingRunsAndDestructionCancels) {
    dispatcher = std::make_unique<TransactionDispatcher>(nullptr, 3, MTThread::kMTPriorityNormal);
    dispatcher->Add(Command(1, 0));
    dispatcher->Add(nullptr);
    dispatcher->Wake();
    const uint32_t someKind = kCommandBlock;
    auto empty = std::make_unique<TransactionDispatcher>(&someKind, 0, MTThread::kMTPriorityNormal);
    empty->Add(Command(2, 0, kCommandBlock));
    std::this_thread::sleep_for(50ms);  // a check that nothing happens, not a synchronisation
    EXPECT_TRUE(recorder.ExecutedIds().empty());
    dispatcher.reset();
    empty.reset();
    ExpectFinishedOnce(1, true);
    ExpectFinishedOnce(2, true);
}

// Each thread adds one command at a time and waits for it, so that every Add meets a worker that is just
// finishing a pass or about to wait. Nothing fails, so nothing but the Adds' signals starts a pass.
TEST(TransactionDispatcherStressTest, EveryAddMeetingTheEndOfAPassLeadsToAnotherPass) {
    constexpr int kThreads = 3;
    constexpr int kRounds = 3000;
    const uint32_t kind = kCommandProcessTransaction;
    Recorder recorder;
    TransactionDispatcher d(&kind, 1, MTThread::kMTPriorityNormal);
    std::vector<std::thread> threads;
    std::atomic<bool> lost{false};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds && !lost; ++round) {
                std::atomic<bool> ran{false};
                d.Add(new TestCommand(&recorder, t * kRounds + round, kind, 0, [&](TestCommand&) {
                    ran = true;
                    return true;
                }));
                if (!TarvosTest::WaitUntil([&] { return ran.load(); }, 10000ms)) {
                    lost = true;
                    // The command is still queued and refers to `ran`: keep it alive until it runs
                    // (or the dispatcher cancels it), after which the test fails anyway.
                    d.Wake();
                    EXPECT_TRUE(TarvosTest::WaitUntil([&] { return ran.load(); }, 10000ms));
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(lost.load()) << "a command waited for a pass that never came";
    EXPECT_TRUE(recorder.WaitForFinishes(kThreads * kRounds));
}

// Many threads add commands while the worker finishes passes; some commands fail before they succeed
// and some queue follow-up work from inside Execute. Every command must run to success and finish
// exactly once: a lost wake-up shows as a command that never runs (caught by the watchdog bound).
TEST(TransactionDispatcherStressTest, NoWakeUpIsLost) {
    constexpr int kThreads = 6;
    constexpr int kCommandsPerThread = 400;
    constexpr int kFollowUps = kThreads * kCommandsPerThread / 4;
    constexpr int kTotal = kThreads * kCommandsPerThread + kFollowUps;
    const uint32_t kinds[] = {kCommandProcessTransaction, kCommandBlock};
    Recorder recorder;
    std::vector<std::atomic<int>> successes(kTotal);
    std::atomic<int> nextFollowUp{kThreads * kCommandsPerThread};
    auto dispatcher = std::make_unique<TransactionDispatcher>(kinds, 2, MTThread::kMTPriorityNormal);
    TransactionDispatcher* d = dispatcher.get();

    std::function<TestCommand*(int, uint32_t, int, bool)> make = [&](int id, uint32_t due, int failuresLeft,
                                                                     bool withFollowUp) {
        auto failures = std::make_shared<int>(failuresLeft);
        const uint32_t kind = id % 2 == 0 ? kCommandProcessTransaction : kCommandBlock;
        return new TestCommand(&recorder, id, kind, due, [&, failures, withFollowUp, id](TestCommand&) {
            if (*failures > 0) {
                --*failures;
                return false;
            }
            successes[id].fetch_add(1);
            if (withFollowUp) {
                d->Add(make(nextFollowUp.fetch_add(1), 0, 0, false));
            }
            return true;
        });
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 11));
            for (int i = 0; i < kCommandsPerThread; ++i) {
                const int id = t * kCommandsPerThread + i;
                const bool followUp = id % 4 == 0;
                TestCommand* command =
                    make(id, static_cast<uint32_t>(random() % 50), static_cast<int>(random() % 3), followUp);
                if (t % 2 == 0) {
                    // Ping-pong: each Add meets a worker that has just finished a pass or is idle.
                    d->Add(command);
                    ASSERT_TRUE(TarvosTest::WaitUntil([&] { return successes[id].load() > 0; }, 20000ms))
                        << "command " << id << " never ran";
                } else {
                    d->Add(command);
                    if (random() % 8 == 0) {
                        d->Wake();
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const bool allFinished = recorder.WaitForFinishes(kTotal, 60000ms);
    dispatcher.reset();
    ASSERT_TRUE(allFinished) << recorder.FinishCount() << " of " << kTotal << " finished";
    EXPECT_EQ(recorder.FinishCount(), static_cast<size_t>(kTotal));
    for (int id = 0; id < kTotal; ++id) {
        ASSERT_EQ(successes[id].load(), 1) << "command " << id;
        ASSERT_EQ(recorder.FinishesOf(id), std::vector<bool>{false}) << "command " << id;
    }
}

}  // namespace
