// A dispatcher command that works on one cache transaction: it holds one reference on the
// transaction from construction to destruction and takes its due time and source from it.
// Subclasses supply Execute and Finish (which deletes the command).
#pragma once

#include "Cache/TransactionDispatcher.h"

namespace Tarvos {

class CacheTransaction;

class TransactionCommand : public DispatcherCommand {
  public:
    ~TransactionCommand() override;
    void Finish(bool cancelled) override;

  protected:
    TransactionCommand(uint32_t kind, Cache* cache, CacheTransaction* transaction);

    CacheTransaction* transaction;  // one reference
};

}  // namespace Tarvos
