// A read lease: the port lends its device to the worker thread behind an attached component's data
// sink (a protocol's worker), which then reads the device itself while it waits for bytes. The
// device wakes that thread directly instead of the event thread, which would then have to wake it.
#pragma once

#include "VaClasses.h"

#include <condition_variable>
#include <mutex>

class IVaCommPort;
class TVaTransport;
class TVaCommEventThread;

// What the worker reads is dispatched as the event thread would dispatch it (to every attached
// component's sink, then OnRxBuf). The port lends it only while every attached component has a
// sink and no event derived from the received bytes (RxFlag, Rx80Full) is watched. While a lease
// is claimed the event thread leaves the received bytes to it: they wait in the driver until the
// worker next waits, as they would for any reader. Claimed, released and revoked on the main
// thread; waited on by the worker.
class TVaReadLease {
public:
    enum class TWaitResult { Ready, TimedOut, Unusable };

    // The port lends device, read through port and watched by events.
    TVaReadLease(IVaCommPort& port, TVaTransport& device, TVaCommEventThread& events);
    ~TVaReadLease();
    TVaReadLease(const TVaReadLease&) = delete;
    TVaReadLease& operator=(const TVaReadLease&) = delete;

    // Worker: waits at most ms (negative: no limit) for wake or the device to become readable and
    // dispatches what the device holds. Unusable: revoked, or the device has gone; wait on wake
    // alone then.
    TWaitResult Wait(int wakeFd, int ms);
    // Main thread: the sink's worker runs and reads through the lease; the event thread leaves
    // received bytes alone meanwhile.
    void Claim(bool claimed);
    // Main thread, the port: no more reading through this lease; with wait, until nobody is
    // inside Wait. Until then the port keeps the device open.
    void Revoke(bool wait);

private:
    void SetClaimed(bool claimed); // with mutex_ held
    bool WatchWith(int wakeFd);    // with mutex_ held

    IVaCommPort& port_;
    TVaTransport& device_;
    TVaCommEventThread& events_;
    TVaWaitEvent revoked_;
    std::mutex mutex_;
    std::condition_variable idle_;
    int inside_ = 0;
    bool claimed_ = false;
    bool gone_ = false;
    int epoll_ = -1; // the device, the revocation and the waiter's wake-up signal
    int epollWake_ = -1;
};
