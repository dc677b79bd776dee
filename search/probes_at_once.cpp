#include "search/probes_at_once.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace {

// What the threads of one probeAtOnce share, under its mutex.
struct Batch {
    PortProbe* probes;
    std::size_t count;
    TakeProbe take;
    void* context;
    std::unique_ptr<bool[]> ended;
    std::mutex mutex;
    // The next port to probe, and the first one not yet handed over.
    std::size_t next = 0;
    std::size_t handedOver = 0;
};

void probeCapturing(PortProbe& probe) {
    if (!probe.chosen) {
        return;
    }
    captureVerboseLog(&probe.log);
    probe.outcome = probePortOutcome(probe.comNumber);
    captureVerboseLog(nullptr);
}

// Each thread takes the next port until none is left. The thread that ends
// the port the hand-over waits for hands over that one and every ended port
// after it, so that no thread waits for another.
void probeUntilDone(void* argument) {
    Batch& batch = *static_cast<Batch*>(argument);
    std::unique_lock<std::mutex> lock(batch.mutex);
    while (batch.next < batch.count) {
        const std::size_t index = batch.next++;
        lock.unlock();
        probeCapturing(batch.probes[index]);
        lock.lock();
        batch.ended[index] = true;
        for (; batch.handedOver < batch.count && batch.ended[batch.handedOver]; ++batch.handedOver) {
            batch.take(batch.handedOver, batch.probes[batch.handedOver], batch.context);
        }
    }
}

}  // namespace

void probeAtOnce(PortProbe* probes, std::size_t count, TakeProbe take, void* context) {
    Batch batch{probes, count, take, context, nullptr, {}};
    const std::size_t wanted = std::min(count, kMostProbesAtOnce);
    std::unique_ptr<std::thread[]> threads(new (std::nothrow) std::thread[wanted]);
    batch.ended.reset(new (std::nothrow) bool[count]());
    std::size_t started = 0;
    if (threads && batch.ended) {
        while (started < wanted && platform::startThread(threads[started], probeUntilDone, &batch)) {
            ++started;
        }
    }
    if (started == 0) {
        for (std::size_t index = 0; index < count; ++index) {
            probeCapturing(probes[index]);
            take(index, probes[index], context);
        }
    }
    for (std::size_t index = 0; index < started; ++index) {
        platform::joinThread(threads[index]);
    }
}
