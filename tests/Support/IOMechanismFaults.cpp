// The fault-injecting mechanism keeps, on the I/O thread only, the faults decided at Submit (by tag)
// and the completions it holds back (delayed, waiting for a cancel, or duplicated). Wait gathers the
// inner mechanism's completions, applies each operation's fault and hands over what is due; while it
// holds completions it waits on the inner mechanism no longer than until the earliest one is due.
#include "Support/IOMechanismFaults.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <unordered_map>

#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

constexpr size_t kTraceLimit = 1u << 20;  // operations kept for GetOperations; later ones are counted only

uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

class FaultInjectingIOMechanism final : public IOMechanism {
  public:
    FaultInjectingIOMechanism(std::unique_ptr<IOMechanism> inner, std::shared_ptr<IOFaultInjector> injector)
        : inner(std::move(inner)), injector(std::move(injector)) {}

    const char* GetName() override { return inner->GetName(); }
    uint32_t GetMaxRuns() override { return inner->GetMaxRuns(); }

    int Submit(const IOOperation& operation) override {
        IOFaultRule rule;
        const uint64_t size = operation.size;
        const int fired = injector->Match(operation.write ? kFaultOnWrite : kFaultOnRead, operation.file,
                                          operation.offset, size, operation.tag, &rule);
        if (fired >= 0 && rule.kind == kFaultRefuseSubmit) {
            const int refused = -std::max(rule.error, 1);
            injector->Delivered(operation.tag, 0, refused);
            return refused;
        }
        const int result = inner->Submit(operation);
        if (result == 0 && fired >= 0) {
            faults[operation.tag] = rule;
        } else if (fired >= 0) {
            // Never started, so the fault cannot surface: say what the engine saw instead.
            injector->Delivered(operation.tag, 0, result);
        }
        return result;
    }

    void RequestCancel(uint64_t tag) override {
        auto fault = faults.find(tag);
        if (fault != faults.end() && fault->second.kind == kFaultLateAfterCancel) {
            // Not passed on: the operation runs to its end, and its completion comes after the cancel.
            bool held = false;
            for (Held& waiting : holding) {
                if (waiting.completion.tag == tag && waiting.untilCancel) {
                    waiting.untilCancel = false;
                    waiting.due = NowMs();
                    held = true;
                }
            }
            if (!held) {
                cancelled.push_back(tag);
            }
            return;
        }
        IOFaultRule rule;
        if (injector->Match(kFaultOnCancel, -1, 0, 0, tag, &rule) >= 0 && rule.kind == kFaultSwallowCancel) {
            return;
        }
        inner->RequestCancel(tag);
    }

    bool Wait(uint32_t timeoutMs, std::vector<IOCompletion>* out) override {
        const size_t before = out->size();
        uint32_t wait = timeoutMs;
        if (HandOverDue(out) || before != out->size()) {
            wait = 0;
        } else if (!holding.empty()) {
            const uint64_t now = NowMs();
            uint64_t earliest = UINT64_MAX;
            for (const Held& held : holding) {
                earliest = std::min(earliest, held.due);
            }
            const uint64_t until = earliest > now ? earliest - now : 0;
            if (wait == kWaitForever || until < wait) {
                wait = static_cast<uint32_t>(std::min<uint64_t>(until, 0x7FFFFFFF));
            }
        }
        raw.clear();
        if (!inner->Wait(wait, &raw)) {
            return false;
        }
        for (const IOCompletion& completion : raw) {
            Apply(completion, out);
        }
        HandOverDue(out);
        return true;
    }

    void Flush() override { inner->Flush(); }
    void Wake() override { inner->Wake(); }

  private:
    struct Held {
        IOCompletion completion;
        uint64_t due;
        bool untilCancel;
        int64_t original;
        bool duplicate;  // a copy; the original went already
    };

    void Apply(const IOCompletion& completion, std::vector<IOCompletion>* out) {
        auto found = faults.find(completion.tag);
        if (found == faults.end()) {
            out->push_back(completion);
            return;
        }
        const IOFaultRule rule = found->second;
        faults.erase(found);
        IOCompletion changed = completion;
        switch (rule.kind) {
            case kFaultError:
                changed.result = -std::max(rule.error, 1);
                break;
            case kFaultShortCount:
                if (changed.result > int64_t{rule.bytes}) {
                    changed.result = rule.bytes;
                }
                break;
            case kFaultZeroBytes:
                if (changed.result > 0) {
                    changed.result = 0;
                }
                break;
            case kFaultDelay:
                holding.push_back(Held{completion, NowMs() + rule.delayMs, false, completion.result, false});
                return;
            case kFaultLateAfterCancel: {
                auto seen = std::find(cancelled.begin(), cancelled.end(), completion.tag);
                const bool alreadyCancelled = seen != cancelled.end();
                if (alreadyCancelled) {
                    cancelled.erase(seen);
                }
                const uint64_t due = alreadyCancelled ? NowMs() : NowMs() + rule.delayMs;
                holding.push_back(Held{completion, due, !alreadyCancelled, completion.result, false});
                return;
            }
            case kFaultDuplicate:
                holding.push_back(Held{completion, NowMs() + rule.delayMs, false, completion.result, true});
                break;
            default:
                break;
        }
        injector->Delivered(completion.tag, completion.result, changed.result);
        out->push_back(changed);
    }

    // Moves every due completion to out; true when it moved any.
    bool HandOverDue(std::vector<IOCompletion>* out) {
        const uint64_t now = NowMs();
        bool moved = false;
        for (auto it = holding.begin(); it != holding.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            if (!it->duplicate) {
                injector->Delivered(it->completion.tag, it->original, it->completion.result);
            }
            out->push_back(it->completion);
            it = holding.erase(it);
            moved = true;
        }
        return moved;
    }

    std::unique_ptr<IOMechanism> inner;
    std::shared_ptr<IOFaultInjector> injector;
    // I/O thread only.
    std::unordered_map<uint64_t, IOFaultRule> faults;  // by tag: started operations that carry a fault
    std::vector<uint64_t> cancelled;  // late-after-cancel operations the engine asked to cancel
    std::vector<Held> holding;
    std::vector<IOCompletion> raw;
};

}  // namespace

IOFaultInjector::IOFaultInjector(uint64_t seed) : lock(MTInterface::NewCritSec()), random(seed) {}

IOFaultInjector::~IOFaultInjector() {
    delete lock;
}

void IOFaultInjector::AddRule(const IOFaultRule& rule) {
    MTCritSecHold hold(lock);
    rules.push_back(RuleState{rule, 0, false});
}

void IOFaultInjector::ClearRules() {
    MTCritSecHold hold(lock);
    rules.clear();
}

std::vector<IOFaultRecord> IOFaultInjector::GetLog() {
    MTCritSecHold hold(lock);
    return log;
}

void IOFaultInjector::ClearLog() {
    MTCritSecHold hold(lock);
    log.clear();
    trace.clear();
}

std::vector<IOFaultInjector::Operation> IOFaultInjector::GetOperations() {
    MTCritSecHold hold(lock);
    return trace;
}

uint64_t IOFaultInjector::GetOperationCount() {
    MTCritSecHold hold(lock);
    return operations;
}

int IOFaultInjector::Match(uint32_t operation, IOFileHandle fd, uint64_t offset, uint64_t size, uint64_t tag,
                           IOFaultRule* fired) {
    MTCritSecHold hold(lock);
    if (operation != kFaultOnCancel) {
        ++operations;
        if (trace.size() < kTraceLimit) {
            trace.push_back(Operation{fd, operation == kFaultOnWrite, offset, size, tag});
        }
    }
    for (size_t i = 0; i < rules.size(); ++i) {
        RuleState& state = rules[i];
        const IOFaultRule& rule = state.rule;
        if ((rule.operations & operation) == 0 || (rule.fd >= 0 && rule.fd != fd)) {
            continue;
        }
        if (operation != kFaultOnCancel && (offset < rule.offsetBegin || offset >= rule.offsetEnd)) {
            continue;
        }
        ++state.matched;
        bool fire = false;
        if (state.fired && rule.persistent) {
            fire = true;
        } else if (rule.nth != 0) {
            fire = state.matched == rule.nth;
        } else {
            fire = std::uniform_real_distribution<double>(0.0, 1.0)(random) < rule.probability;
        }
        if (!fire) {
            continue;
        }
        state.fired = true;
        *fired = rule;
        log.push_back(IOFaultRecord{static_cast<uint32_t>(i), rule.kind, fd, operation == kFaultOnWrite,
                                    operation == kFaultOnCancel, offset, size, tag,
                                    operation == kFaultOnCancel, 0, 0});
        return static_cast<int>(i);
    }
    return -1;
}

void IOFaultInjector::Delivered(uint64_t tag, int64_t originalResult, int64_t deliveredResult) {
    MTCritSecHold hold(lock);
    for (IOFaultRecord& record : log) {
        if (record.tag == tag && !record.delivered && !record.cancel) {
            record.delivered = true;
            record.originalResult = originalResult;
            record.deliveredResult = deliveredResult;
            return;
        }
    }
}

std::unique_ptr<IOMechanism> NewFaultInjectingIOMechanism(std::unique_ptr<IOMechanism> inner,
                                                          std::shared_ptr<IOFaultInjector> injector) {
    return std::make_unique<FaultInjectingIOMechanism>(std::move(inner), std::move(injector));
}

}  // namespace Tarvos
