// Admits a cache's reads from its sources to the I/O engine: at most a set number of reads of one source
// are started and not yet finished at a time, so one stream cannot fill the engine and starve the others,
// and of all sources together at most kMostReadsInFlight reads (as many as the engine hands the system
// at once) and kMostBytesInFlight bytes (enough to keep a device streaming, few enough that a read due
// soon does not queue behind tens of megabytes in the device). The rest waits here, in due-time order,
// where a joining read can still move it up.
// A read that finds its source at the bound waits here, in due-time order (equal due times in arrival
// order), and is started when a read of its source finishes; a demand read that joins a waiting read's
// block raises that read's urgency (Expedite). No thread of its own and no timer: waiting reads move on
// finished reads only. Owned by its Cache; any thread may call any operation. The gate's lock is the
// innermost lock of the cache: it is never held while a read starts, finishes or reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace Tarvos {

class Cache;
class CacheBlock;
class CacheSource;
class DispatchedReadCallback;
class MTCritSec;
class TransactionDispatcher;

class ReadGate {
  public:
    static constexpr uint32_t kDefaultReadsPerSource = 16;
    static constexpr uint32_t kMostReadsInFlight = 32;
    static constexpr uint64_t kMostBytesInFlight = 8ull * 1024 * 1024;

    // A read the engine has no slot for is retried on `retryDispatcher`, which `cache` wakes when one
    // of its started reads finishes. Throws std::bad_alloc when the lock cannot be made.
    ReadGate(Cache* cache, TransactionDispatcher* retryDispatcher);
    // Requires: nothing waits (CancelAll first).
    ~ReadGate();
    ReadGate(const ReadGate&) = delete;
    ReadGate& operator=(const ReadGate&) = delete;

    // The bound; 0 is taken as 1. A raised bound starts waiting reads that now fit.
    void SetReadsPerSource(uint32_t reads);
    uint32_t GetReadsPerSource();

    // Starts the read at once when its source has room, else keeps it waiting.
    void Submit(DispatchedReadCallback* read);
    // The read reported (its callback ran): its room goes to the waiting reads that fit, which start
    // on this thread.
    void Finished(DispatchedReadCallback* read);
    // A waiting read into `block` is moved up to `dueTime` when that is sooner than its own.
    void Expedite(CacheBlock* block, uint32_t dueTime);
    // Waiting reads of the source (all, for CancelAll) end as cancelled; started ones run on.
    void CancelSource(CacheSource* source);
    void CancelAll();

    // For a read handed to the source (ReadDirectCommand): Starting before the source is asked,
    // NotStarted when it answered busy (the read then waits on the retry dispatcher), Reported when a
    // started read's callback ran. A busy read is retried when a started one reports; only with none
    // started does its retry go on the clock (StartedNone).
    void Starting();
    void NotStarted();
    void Reported();
    bool StartedNone() const { return started.load() == 0; }

  private:
    struct Order {
        uint32_t dueTime;
        uint64_t sequence;
        bool operator<(const Order& other) const {
            return dueTime != other.dueTime ? dueTime < other.dueTime : sequence < other.sequence;
        }
    };
    // Under `lock`: whether a read of the source may start now; Admit counts it as started.
    bool HasRoom(const DispatchedReadCallback* read) const;
    bool HasRoomInAll(const DispatchedReadCallback* read) const;
    void Admit(DispatchedReadCallback* read);
    // Takes the waiting reads whose sources have room, earliest due first, and admits them.
    void AdmitWaiting(std::vector<DispatchedReadCallback*>& admitted);
    void CancelMatching(CacheSource* source);
    // Starts the read (it must be admitted); a busy engine hands it to the retry dispatcher.
    void Start(DispatchedReadCallback* read);

    Cache* const cache;                            // no reference
    TransactionDispatcher* const retryDispatcher;  // not owned
    std::atomic<uint32_t> started{0};              // handed to the source and not yet reported
    std::atomic<bool> slotWanted{false};           // a read waits for an engine slot

    std::unique_ptr<MTCritSec> lock;  // guards every field below; innermost
    uint32_t readsPerSource = kDefaultReadsPerSource;
    uint64_t sequence = 0;
    std::map<Order, DispatchedReadCallback*> waiting;     // each holds the creator's reference
    std::unordered_map<CacheSource*, uint32_t> admitted;  // started and not yet finished, per source
    uint32_t admittedTotal = 0;                           // the sum of `admitted`
    uint64_t admittedBytes = 0;                           // the sizes of those reads together
};

}  // namespace Tarvos
