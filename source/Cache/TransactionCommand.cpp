#include "Cache/TransactionCommand.h"

#include "CoreClasses/CallSite.h"
#include "Tarvos/CacheTransaction.h"

namespace Tarvos {

TransactionCommand::TransactionCommand(uint32_t kind, Cache* cache, CacheTransaction* transaction)
    : DispatcherCommand(kind, transaction != nullptr ? transaction->GetDueTime() : 0, cache,
                        transaction != nullptr ? transaction->GetSource() : nullptr),
      transaction(transaction) {
    if (transaction != nullptr) {
        transaction->AddRef(TARVOS_CALL_SITE);
    }
}

TransactionCommand::~TransactionCommand() {
    if (transaction != nullptr) {
        transaction->DecRef(TARVOS_CALL_SITE);
    }
}

void TransactionCommand::Finish(bool) {}

}  // namespace Tarvos
