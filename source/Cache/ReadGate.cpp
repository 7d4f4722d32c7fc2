#include "Cache/ReadGate.h"

#include <new>

#include "Cache/CacheCommands.h"
#include "Cache/DispatchedReadCallback.h"
#include "CoreClasses/MTCritSecHold.h"
#include "Tarvos/Cache.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

namespace {

MTCritSec* NewGateLock() {
    MTCritSec* section = MTInterface::NewCritSec();
    if (section == nullptr) {
        throw std::bad_alloc();
    }
    return section;
}

}  // namespace

ReadGate::ReadGate(Cache* cache, TransactionDispatcher* retryDispatcher)
    : cache(cache), retryDispatcher(retryDispatcher), lock(NewGateLock()) {}

ReadGate::~ReadGate() {
    CancelAll();
}

void ReadGate::SetReadsPerSource(uint32_t reads) {
    std::vector<DispatchedReadCallback*> admittedNow;
    {
        MTCritSecHold hold(lock.get());
        readsPerSource = reads == 0 ? 1 : reads;
        AdmitWaiting(admittedNow);
    }
    for (DispatchedReadCallback* read : admittedNow) {
        Start(read);
    }
}

uint32_t ReadGate::GetReadsPerSource() {
    MTCritSecHold hold(lock.get());
    return readsPerSource;
}

void ReadGate::Submit(DispatchedReadCallback* read) {
    if (read == nullptr) {
        return;
    }
    {
        MTCritSecHold hold(lock.get());
        if (!HasRoom(read)) {
            waiting.emplace(Order{read->GetDueTime(), ++sequence}, read);
            return;
        }
        Admit(read);
    }
    Start(read);
}

bool ReadGate::HasRoomInAll(const DispatchedReadCallback* read) const {
    // A read larger than the byte budget still starts alone.
    return admittedTotal < kMostReadsInFlight &&
           (admittedBytes == 0 || admittedBytes + read->GetSize() <= kMostBytesInFlight);
}

bool ReadGate::HasRoom(const DispatchedReadCallback* read) const {
    if (!HasRoomInAll(read)) {
        return false;
    }
    const auto found = admitted.find(read->GetSource());
    return found == admitted.end() || found->second < readsPerSource;
}

void ReadGate::Admit(DispatchedReadCallback* read) {
    ++admitted[read->GetSource()];
    ++admittedTotal;
    admittedBytes += read->GetSize();
    read->admitted = true;
}

void ReadGate::Finished(DispatchedReadCallback* read) {
    std::vector<DispatchedReadCallback*> admittedNow;
    {
        MTCritSecHold hold(lock.get());
        if (read != nullptr && read->admitted) {
            read->admitted = false;
            const auto found = admitted.find(read->GetSource());
            if (found != admitted.end() && --found->second == 0) {
                admitted.erase(found);
            }
            --admittedTotal;
            admittedBytes -= read->GetSize();
            AdmitWaiting(admittedNow);
        }
    }
    for (DispatchedReadCallback* next : admittedNow) {
        Start(next);
    }
}

void ReadGate::AdmitWaiting(std::vector<DispatchedReadCallback*>& admittedNow) {
    for (auto it = waiting.begin(); it != waiting.end();) {
        DispatchedReadCallback* read = it->second;
        if (!HasRoom(read)) {
            // A read whose source is at its bound is passed over; one the whole cache has no room for
            // stops the walk, so later-due reads do not overtake it.
            if (!HasRoomInAll(read)) {
                break;
            }
            ++it;
            continue;
        }
        Admit(read);
        admittedNow.push_back(read);
        it = waiting.erase(it);
    }
}

void ReadGate::Expedite(CacheBlock* block, uint32_t dueTime) {
    MTCritSecHold hold(lock.get());
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
        DispatchedReadCallback* read = it->second;
        if (!read->Covers(block)) {
            continue;
        }
        if (dueTime < it->first.dueTime) {
            const uint64_t arrival = it->first.sequence;
            waiting.erase(it);
            read->SetDueTime(dueTime);
            waiting.emplace(Order{dueTime, arrival}, read);
        }
        return;
    }
}

void ReadGate::CancelSource(CacheSource* source) {
    if (source != nullptr) {
        CancelMatching(source);
    }
}

void ReadGate::CancelAll() {
    CancelMatching(nullptr);
}

void ReadGate::CancelMatching(CacheSource* source) {
    std::vector<DispatchedReadCallback*> cancelled;
    {
        MTCritSecHold hold(lock.get());
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (source == nullptr || it->second->GetSource() == source) {
                cancelled.push_back(it->second);
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Never started: its blocks and the transactions waiting on them learn the cancellation, and the
    // creator's reference goes, as for a read that ran.
    for (DispatchedReadCallback* read : cancelled) {
        read->Callback(CacheSource::kResultCancelled, nullptr, 0);
    }
}

void ReadGate::Start(DispatchedReadCallback* read) {
    CacheTransaction* transaction = read->MakeReadTransaction();
    if (transaction == nullptr) {
        read->Callback(CacheSource::kResultFailed, nullptr, 0);
        return;
    }
    auto* command = new ReadDirectCommand(cache, read, transaction);
    if (command->Execute()) {
        command->Finish(false);
    } else if (retryDispatcher != nullptr) {
        retryDispatcher->Add(command);
    } else {
        command->Finish(true);
    }
}

void ReadGate::Starting() {
    started.fetch_add(1);
}

void ReadGate::NotStarted() {
    slotWanted.store(true);
    started.fetch_sub(1);
}

void ReadGate::Reported() {
    started.fetch_sub(1);
    if (slotWanted.exchange(false) && cache != nullptr) {
        cache->NotifySomethingChanged();
    }
}

}  // namespace Tarvos
