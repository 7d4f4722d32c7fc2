#include "Cache/DispatchedReadCallback.h"

#include <new>

#include "Cache/CacheBlock.h"
#include "Cache/CacheCommands.h"
#include "Cache/ReadGate.h"
#include "CoreClasses/CallSite.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"

namespace Tarvos {

DispatchedReadCallback::DispatchedReadCallback(CacheSource* source, uint32_t dueTime, ReadGate* gate)
    : gate(gate), dueTime(dueTime), source(source) {
    blocks.reserve(4);
    shares.reserve(4);
}

DispatchedReadCallback::~DispatchedReadCallback() {
    if (readTransaction != nullptr) {
        readTransaction->DecRef(TARVOS_CALL_SITE);
    }
    if (bufferList != nullptr) {
        bufferList->DecRef(TARVOS_CALL_SITE);
    }
}

bool DispatchedReadCallback::AddBlock(CacheBlock* block) {
    if (block == nullptr) {
        return true;
    }
    if (bufferList == nullptr) {
        startOffset = block->GetBlockOffset();
        bufferList = new BufferList(4);
    } else if (block->GetBlockOffset() != nextOffset ||
               uint64_t{totalShares} + block->GetValidSize() > kMostBytesPerRead) {
        return false;
    }
    const uint32_t share = block->GetValidSize();
    totalShares += share;
    nextOffset = block->GetBlockOffset() + share;
    blocks.push_back(block);
    shares.push_back(share);
    bufferList->AddBuffer(block->GetBuffer(), false);
    return true;
}

void DispatchedReadCallback::Dispatch() {
    if (gate == nullptr || bufferList == nullptr || readTransaction != nullptr) {
        return;
    }
    gate->Submit(this);
}

CacheTransaction* DispatchedReadCallback::MakeReadTransaction() {
    if (readTransaction == nullptr && bufferList != nullptr) {
        try {
            readTransaction = new CacheTransaction(source, startOffset, bufferList, this, dueTime);
        } catch (const std::bad_alloc&) {
            readTransaction = nullptr;
        }
    }
    return readTransaction;
}

bool DispatchedReadCallback::Covers(const CacheBlock* block) const {
    for (const CacheBlock* own : blocks) {
        if (own == block) {
            return true;
        }
    }
    return false;
}

void DispatchedReadCallback::Callback(CacheSource::Result_t result, CacheTransaction* transaction,
                                      uint32_t bytes) {
    CacheSource* readSource = transaction != nullptr ? transaction->GetSource() : source;
    uint32_t remaining = bytes;
    for (size_t i = 0; i < blocks.size(); ++i) {
        CacheBlock* block = blocks[i];
        const uint32_t n = shares[i] < remaining ? shares[i] : remaining;
        block->CompleteReadInto(n, result);
        if (result == CacheSource::kResultCancelled) {
            block->Purge(readSource);
        } else {
            block->ProcessPendingTransactions(nullptr);
        }
        remaining -= n;
    }
    // The read transaction holds itself while it calls back and keeps its own
    // reference on this callback, so neither release below destroys anything
    // still in use here.
    if (gate != nullptr) {
        if (countedStart.exchange(false)) {
            gate->Reported();
        }
        gate->Finished(this);
    }
    CacheTransaction* finishedRead = readTransaction;
    readTransaction = nullptr;
    if (finishedRead != nullptr) {
        finishedRead->DecRef(TARVOS_CALL_SITE);
    }
    DecRef(TARVOS_CALL_SITE);
}

}  // namespace Tarvos
