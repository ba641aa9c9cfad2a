// The port's event thread: waits on the device for received bytes, modem-line changes and line
// errors, and hands the events to the main thread in batches. One batch is with the main thread
// at a time; while it is, the thread goes on reading into the port's input queue (as far as the
// queue has room) and gathers the events for the next batch, so a flood reaches the main thread
// in a few large batches and a quiet line's byte at once.
#pragma once

#include "VaClasses.h"
#include "VaCommPort.h"
#include "VaTransport.h"

#include <atomic>

class TVaCommEventThread : public TVaThread {
public:
    // Watches device for the events of mask (EV_* bits) until RequestStop.
    TVaCommEventThread(IVaCommPort& port, TVaTransport& device, uint32_t mask, uint64_t session);
    ~TVaCommEventThread() override;

    void RequestStop();
    // Tells the thread to look at the input queue's room and the read leases again.
    void Nudge() { wake_.Signal(); }
    // A worker claims (or gives back) a read lease: while any is claimed, the device's input is
    // left to the workers and the device is watched only for its going away.
    void LeaseClaimed(bool claimed);
    // A worker read bytes through its lease that only the main thread may take now.
    void InputForMain();
    // A direct write has handed bytes to the driver: EV_TXEMPTY once the driver has sent them.
    void WatchOutputDrain();

    // The batch the main thread is handling (main thread only).
    uint32_t EventMask = 0;

protected:
    void Execute() override;

private:
    uint32_t LineChanges();
    void ProcessEvents(uint32_t batch);
    // Hands the gathered events over unless a batch is with the main thread already.
    void HandOver();
    // Waits until the batch with the main thread has been handled.
    void AwaitHandOver();

    IVaCommPort& port_;
    TVaTransport& device_;
    const uint32_t mask_;
    const uint64_t session_;
    TVaWaitEvent wake_;
    uint32_t lastStatus_ = 0;
    VaLineCounters lastCounters_;
    bool haveCounters_ = false;
    bool lineEvents_ = false;
    std::atomic<int> lentReaders_{0};
    std::atomic<bool> txPending_{false};
    std::atomic<bool> rxPending_{false};
    std::atomic<uint32_t> gathered_{0};      // events for the next batch
    std::atomic<bool> withMain_{false};      // a batch is handed over and not handled yet
    TVaPendingCall handOver_;                // that batch (this thread only)
};
