#include "Tarvos/CacheSource.h"

#include "CoreClasses/CallSite.h"
#include "Tarvos/Cache.h"
#include "Tarvos/MTInterface.h"
#include "Tarvos/PhysMemInterface.h"
#include "Tarvos/SharedObjectList.h"

namespace Tarvos {

CacheSource::CacheSource()
    : sourceKey(MTInterface::GetProcessUniqueID()),
      transactionsBeingProcessed(new SharedObjectList()),
      cache(nullptr),
      alignment(PhysMemInterface::GetPageSize()) {}

CacheSource::~CacheSource() {
    if (transactionsBeingProcessed != nullptr) {
        transactionsBeingProcessed->DecRef(TARVOS_CALL_SITE);
    }
    if (cache != nullptr) {
        cache->DecRef(TARVOS_CALL_SITE);
    }
}

uint32_t CacheSource::GetAlignmentRequirement() {
    return alignment;
}

bool CacheSource::UseCache(Cache* newCache) {
    if (cache != nullptr || newCache == nullptr) {
        return false;
    }
    cache = newCache;
    cache->AddRef(TARVOS_CALL_SITE);
    return true;
}

Cache* CacheSource::GetCache() {
    return cache;
}

uint64_t CacheSource::Align(uint64_t offset) {
    if (alignment < 2) {
        return offset;
    }
    return offset - offset % alignment;
}

uint32_t CacheSource::GetSourceKey() {
    return sourceKey;
}

bool CacheSource::GetRangeIntersection(uint64_t& offset, uint32_t& size, uint64_t otherOffset,
                                       uint32_t otherSize) {
    const uint64_t end = offset + size;
    const uint64_t otherEnd = otherOffset + otherSize;
    if (otherOffset <= offset && offset < otherEnd) {
        if (end > otherEnd) {
            size = static_cast<uint32_t>(otherEnd - offset);
        }
        return true;
    }
    if (offset < otherOffset && end > otherOffset) {
        size = static_cast<uint32_t>((end < otherEnd ? end : otherEnd) - otherOffset);
        offset = otherOffset;
        return true;
    }
    return false;
}

void CacheSource::PreReadTransaction(CacheTransaction*) {}

bool CacheSource::SupportsPreReadTransactions() {
    return false;
}

CacheSource::Result_t CacheSource::ProcessReadTransaction(CacheTransaction*) {
    return kResultInvalidArgument;
}

bool CacheSource::CompleteReadTransaction(CacheTransaction*, Result_t) {
    return false;
}

bool CacheSource::CancelTransactionsBeingProcessed() {
    return true;
}

}  // namespace Tarvos
