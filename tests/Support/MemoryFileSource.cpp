#include "Support/MemoryFileSource.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "Support/BufferChecks.h"
#include "Support/Waiting.h"
#include "Tarvos/Buffer.h"
#include "Tarvos/BufferList.h"

namespace TarvosTest {

using Tarvos::Buffer;
using Tarvos::BufferList;
using Tarvos::CacheSource;

namespace {
struct Request {
    bool write = false;
    uint64_t offset = 0;
    BufferList* list = nullptr;  // one reference while the request lives
    Tarvos::FileSource::ResultCallbackBufferList* callback = nullptr;
    MemoryFileSource::Answer answer = MemoryFileSource::Answer::kTransfer;
    uint32_t partialBytes = 0;
    bool cancelled = false;
};
}  // namespace

struct MemoryFileSource::State {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::vector<uint8_t> data;
    std::deque<Request> queue;
    std::vector<Request> held;
    std::vector<std::pair<uint64_t, uint32_t>> readRanges;  // every uncached read asked for, in order
    bool running = false;
    bool stop = false;
    Answer answer = Answer::kTransfer;
    uint32_t partialBytes = 0;
    Result_t refusal = CacheSource::kResultInvalidArgument;
    std::thread::id worker;

    // Moves the bytes (outside the lock while calling back) and reports.
    void Perform(Request request) {
        Result_t result = CacheSource::kResultSuccess;
        uint32_t moved = 0;
        if (request.cancelled) {
            result = CacheSource::kResultCancelled;
        } else if (request.answer == Answer::kFail) {
            result = CacheSource::kResultFailed;
        } else {
            std::lock_guard<std::mutex> hold(mutex);
            const uint32_t size = request.list->GetTotalSizeOfBuffers();
            uint64_t want = size;
            if (request.answer == Answer::kPartial) {
                want = std::min<uint64_t>(want, request.partialBytes);
            }
            if (!request.write) {
                if (request.offset >= data.size()) {
                    want = 0;
                    result = CacheSource::kResultEndOfFile;
                } else {
                    want = std::min<uint64_t>(want, data.size() - request.offset);
                }
            } else if (request.offset + want > data.size()) {
                data.resize(request.offset + want);
            }
            // Walk the list's buffers for want bytes.
            while (moved < want) {
                uint32_t inBuffer = 0;
                uint32_t left = 0;
                Buffer* buffer = request.list->GetBufferAtOffset(moved, &inBuffer, &left);
                if (buffer == nullptr || left == 0) {
                    break;
                }
                const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, want - moved));
                uint32_t done = 0;
                uint8_t* at = data.data() + request.offset + moved;
                if (request.write) {
                    buffer->CopyOutOf(at, n, inBuffer, &done);
                } else {
                    buffer->CopyInto(at, n, inBuffer, &done);
                }
                if (done == 0) {
                    break;
                }
                moved += done;
            }
            if (result != CacheSource::kResultEndOfFile) {
                result = moved == size ? CacheSource::kResultSuccess : CacheSource::kResultPartial;
            }
        }
        if (request.callback != nullptr) {
            request.callback->Callback(result, request.offset, request.list, moved);
        }
        request.list->DecRef(__FILE__, "TarvosTest::MemoryFileSource::State::Perform", __LINE__);
    }

    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || !queue.empty(); });
            if (queue.empty()) {
                return;
            }
            Request request = queue.front();
            queue.pop_front();
            running = true;
            lock.unlock();
            Perform(request);
            lock.lock();
            running = false;
            changed.notify_all();
            if (stop && queue.empty()) {
                return;
            }
        }
    }
};

MemoryFileSource::MemoryFileSource(bool completeInline)
    : completeInline(completeInline), state(std::make_shared<State>()) {
    std::shared_ptr<State> shared = state;
    std::thread worker([shared] { shared->Run(); });
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->worker = worker.get_id();
    }
    worker.detach();
}

MemoryFileSource::~MemoryFileSource() {
    if (onDestroy) {
        onDestroy();
    }
    CancelNonCached();
    std::lock_guard<std::mutex> hold(state->mutex);
    state->stop = true;
    state->changed.notify_all();
}

void MemoryFileSource::SetAnswer(Answer answer, uint32_t partialBytes, Result_t refusal) {
    std::lock_guard<std::mutex> hold(state->mutex);
    state->answer = answer;
    state->partialBytes = partialBytes;
    state->refusal = refusal;
}

void MemoryFileSource::FillWithPattern(uint32_t size, uint32_t seed) {
    std::lock_guard<std::mutex> hold(state->mutex);
    state->data.resize(size);
    FillPattern(state->data.data(), size, 0, seed);
}

std::vector<uint8_t> MemoryFileSource::Contents() {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->data;
}

std::thread::id MemoryFileSource::CompletionThread() {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->worker;
}

std::vector<std::pair<uint64_t, uint32_t>> MemoryFileSource::ReadRanges() {
    std::lock_guard<std::mutex> hold(state->mutex);
    return state->readRanges;
}

int MemoryFileSource::HeldCount() {
    std::lock_guard<std::mutex> hold(state->mutex);
    return static_cast<int>(state->held.size());
}

int MemoryFileSource::ReleaseHeld() {
    std::lock_guard<std::mutex> hold(state->mutex);
    const int count = static_cast<int>(state->held.size());
    for (Request& request : state->held) {
        request.answer = Answer::kTransfer;
        state->queue.push_back(request);
    }
    state->held.clear();
    state->changed.notify_all();
    return count;
}

bool MemoryFileSource::WaitIdle() {
    return WaitUntil([this] {
        std::lock_guard<std::mutex> hold(state->mutex);
        return state->queue.empty() && !state->running;
    });
}

MemoryFileSource::Result_t MemoryFileSource::Submit(bool write, uint64_t offset, BufferList* list,
                                                    ResultCallbackBufferList* callback, uint32_t dueTime) {
    ++(write ? writes : reads);
    lastOffset = offset;
    lastDueTime = dueTime;
    lastCallback = callback;
    lastList = list;
    lastSize = list != nullptr ? list->GetTotalSizeOfBuffers() : 0;
    if (list == nullptr || list->GetTotalSizeOfBuffers() == 0) {
        return kResultInvalidArgument;
    }
    Request request;
    request.write = write;
    request.offset = offset;
    request.list = list;
    request.callback = callback;
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        if (!write) {
            state->readRanges.emplace_back(offset, list->GetTotalSizeOfBuffers());
        }
        request.answer = state->answer;
        request.partialBytes = state->partialBytes;
        if (request.answer == Answer::kBusy) {
            return kResultBusy;
        }
        if (request.answer == Answer::kRefuse) {
            return state->refusal;
        }
        list->AddRef(__FILE__, "TarvosTest::MemoryFileSource::Submit", __LINE__);
        if (request.answer == Answer::kHold) {
            state->held.push_back(request);
            return kResultPending;
        }
        if (!completeInline) {
            state->queue.push_back(request);
            state->changed.notify_all();
            return kResultPending;
        }
    }
    state->Perform(request);
    return kResultPending;
}

MemoryFileSource::Result_t MemoryFileSource::ReadAsyncWithListNonCached(uint64_t offset, BufferList* list,
                                                                        ResultCallbackBufferList* callback,
                                                                        uint32_t dueTime) {
    return Submit(false, offset, list, callback, dueTime);
}

MemoryFileSource::Result_t MemoryFileSource::WriteAsyncWithListNonCached(uint64_t offset, BufferList* list,
                                                                         ResultCallbackBufferList* callback,
                                                                         uint32_t dueTime) {
    return Submit(true, offset, list, callback, dueTime);
}

void MemoryFileSource::PreReadNonCached(uint64_t offset, uint32_t size, uint32_t dueTime) {
    ++preReads;
    lastOffset = offset;
    lastSize = size;
    lastDueTime = dueTime;
}

void MemoryFileSource::CancelNonCached() {
    ++cancels;
    std::vector<Request> cancelled;
    std::unique_lock<std::mutex> lock(state->mutex);
    for (Request& request : state->held) {
        request.cancelled = true;
        cancelled.push_back(request);
    }
    state->held.clear();
    for (Request& request : state->queue) {
        request.cancelled = true;
    }
    if (std::this_thread::get_id() == state->worker) {
        // On the completion thread: report here, like an engine cancelling on its own thread.
        std::deque<Request> queued;
        queued.swap(state->queue);
        lock.unlock();
        for (Request& request : cancelled) {
            state->Perform(request);
        }
        for (Request& request : queued) {
            state->Perform(request);
        }
        return;
    }
    for (auto it = cancelled.rbegin(); it != cancelled.rend(); ++it) {
        state->queue.push_front(*it);
    }
    state->changed.notify_all();
    state->changed.wait(lock, [this] { return state->queue.empty() && !state->running; });
}

}  // namespace TarvosTest
