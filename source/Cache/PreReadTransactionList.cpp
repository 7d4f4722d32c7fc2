#include "Cache/PreReadTransactionList.h"

#include "CoreClasses/CallSite.h"
#include "CoreClasses/ThreadSafeModifyHold.h"
#include "Tarvos/CacheTransaction.h"
#include "Tarvos/MTInterface.h"

namespace Tarvos {

PreReadTransactionList::PreReadTransactionList(uint32_t blockSize) : blockSize(blockSize) {}

PreReadTransactionList::~PreReadTransactionList() {
    ThreadSafeModifyHold hold(this);
    for (auto& entry : entries) {
        entry.second->DecRef(TARVOS_CALL_SITE);
    }
    entries.clear();
}

void PreReadTransactionList::AlignRange(uint64_t& offset, uint32_t& size) const {
    if (blockSize < 2) {
        return;
    }
    const uint64_t remainder = offset % blockSize;
    offset -= remainder;
    // Computed in 64 bits: a size near 4 GiB must not wrap to a small one.
    uint64_t widened = uint64_t{size} + remainder;
    widened = (widened + blockSize - 1) / blockSize * blockSize;
    if (widened > 0xFFFFFFFFu) {
        widened = 0xFFFFFFFFu / blockSize * blockSize;
    }
    size = static_cast<uint32_t>(widened);
}

PreReadTransactionList::Key PreReadTransactionList::KeyOf(CacheTransaction* transaction) {
    CacheSource* source = transaction->GetSource();
    return Key{source != nullptr ? source->GetSourceKey() : CacheSource::kInvalidKey,
               transaction->GetOffset(), transaction->GetSize()};
}

void PreReadTransactionList::FinishAndRelease(CacheTransaction* transaction) {
    transaction->Complete(transaction->GetOffset(), transaction->GetSize(), CacheSource::kResultSuccess);
    transaction->DecRef(TARVOS_CALL_SITE);
}

bool PreReadTransactionList::AddPreReadTransaction(CacheTransaction* transaction) {
    if (transaction == nullptr) {
        return false;
    }
    ThreadSafeModifyHold hold(this);
    const Key key = KeyOf(transaction);
    if (key.sourceKey == CacheSource::kInvalidKey) {
        return false;
    }
    auto [where, inserted] = entries.try_emplace(key, transaction);
    if (inserted) {
        transaction->AddRef(TARVOS_CALL_SITE);
        return true;
    }
    if (where->second != transaction) {
        CacheTransaction* superseded = where->second;
        transaction->AddRef(TARVOS_CALL_SITE);
        where->second = transaction;
        FinishAndRelease(superseded);
    }
    return true;
}

CacheTransaction* PreReadTransactionList::FindPreReadTransaction(CacheTransaction* transaction) {
    ThreadSafeModifyHold hold(this);
    CompleteOverduePreReads();
    if (transaction == nullptr) {
        return nullptr;
    }
    const Key key = KeyOf(transaction);
    if (key.sourceKey == CacheSource::kInvalidKey) {
        return nullptr;
    }
    auto where = entries.find(key);
    return where != entries.end() ? where->second : nullptr;
}

void PreReadTransactionList::CompleteOverduePreReads() {
    CompleteOverduePreReadsAt(MTInterface::GetCurrentTimeMilli());
}

void PreReadTransactionList::CompleteOverduePreReadsAt(uint32_t now) {
    ThreadSafeModifyHold hold(this);
    // A completion may call the pre-read's owner, which may come back into this list (the lock is
    // re-entrant), so the walk starts afresh after each removal.
    bool removed = true;
    while (removed) {
        removed = false;
        for (auto where = entries.begin(); where != entries.end(); ++where) {
            CacheTransaction* parked = where->second;
            if (static_cast<uint32_t>(parked->GetDueTime() + overdueLimit) < now) {
                entries.erase(where);
                if (parked->StillRangesToComplete()) {
                    ++dropped;
                }
                FinishAndRelease(parked);
                removed = true;
                break;
            }
        }
    }
}

void PreReadTransactionList::CompleteCoveredPreReads(CacheTransaction* transaction) {
    if (transaction == nullptr || blockSize == 0) {
        return;
    }
    ThreadSafeModifyHold hold(this);
    if (entries.empty()) {
        return;
    }
    uint64_t offset = transaction->GetOffset();
    uint32_t remaining = transaction->GetSize();
    AlignRange(offset, remaining);
    Key key = KeyOf(transaction);
    if (key.sourceKey == CacheSource::kInvalidKey || remaining == 0) {
        return;
    }
    key.offset = offset;
    key.size = blockSize;
    while (remaining > 0) {
        auto where = entries.find(key);
        if (where != entries.end()) {
            CacheTransaction* parked = where->second;
            entries.erase(where);
            FinishAndRelease(parked);
        }
        key.offset += blockSize;
        remaining = remaining > blockSize ? remaining - blockSize : 0;
    }
}

bool PreReadTransactionList::RemovePreReadTransaction(CacheTransaction* transaction) {
    if (transaction == nullptr) {
        return false;
    }
    ThreadSafeModifyHold hold(this);
    auto where = entries.find(KeyOf(transaction));
    if (where == entries.end() || where->second != transaction) {
        return false;
    }
    entries.erase(where);
    transaction->DecRef(TARVOS_CALL_SITE);
    return true;
}

void PreReadTransactionList::CancelPreReadsOfSource(CacheSource* source) {
    if (source == nullptr) {
        return;
    }
    ThreadSafeModifyHold hold(this);
    const uint32_t sourceKey = source->GetSourceKey();
    auto where = entries.lower_bound(Key{sourceKey, 0, 0});
    while (where != entries.end() && where->first.sourceKey == sourceKey) {
        CacheTransaction* parked = where->second;
        if (parked->GetSource() != source) {
            // Another source of the same file (sources of one file share a key).
            ++where;
            continue;
        }
        where = entries.erase(where);
        parked->SetResult(CacheSource::kResultCancelled);
        parked->DecRef(TARVOS_CALL_SITE);
    }
}

uint32_t PreReadTransactionList::TakeDroppedCount() {
    ThreadSafeModifyHold hold(this);
    const uint32_t count = dropped;
    dropped = 0;
    return count;
}

size_t PreReadTransactionList::GetNumberOfEntries() {
    ThreadSafeModifyHold hold(this);
    return entries.size();
}

}  // namespace Tarvos
