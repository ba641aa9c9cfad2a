#include "VaReadLease.h"
#include "VaCommPort.h"
#include "VaEventThread.h"

#include <cerrno>

#include <sys/epoll.h>
#include <unistd.h>

TVaReadLease::TVaReadLease(IVaCommPort& port, TVaTransport& device, TVaCommEventThread& events)
    : port_(port), device_(device), events_(events)
{
}

void TVaReadLease::SetClaimed(bool claimed)
{
    if (claimed == claimed_)
        return;
    claimed_ = claimed;
    events_.LeaseClaimed(claimed);
}

void TVaReadLease::Claim(bool claimed)
{
    std::lock_guard lock(mutex_);
    if (!revoked_.IsSet())
        SetClaimed(claimed);
}

void TVaReadLease::Revoke(bool wait)
{
    std::unique_lock lock(mutex_);
    revoked_.Signal();
    SetClaimed(false);
    if (wait)
        idle_.wait(lock, [this] { return inside_ == 0; });
}

TVaReadLease::~TVaReadLease()
{
    if (epoll_ >= 0)
        ::close(epoll_);
}

bool TVaReadLease::WatchWith(int wakeFd)
{
    // Called with mutex_ held. One set per waiting worker: the lease is waited on by one.
    if (epoll_ >= 0 && epollWake_ == wakeFd)
        return true;
    if (epoll_ >= 0)
        ::close(epoll_);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    epollWake_ = wakeFd;
    if (epoll_ < 0)
        return false;
    const int fds[3] = {wakeFd, revoked_.Handle(), device_.WaitHandle()};
    for (int i = 0; i < 3; ++i) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<uint32_t>(i);
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fds[i], &e) != 0) {
            ::close(epoll_);
            epoll_ = -1;
            return false;
        }
    }
    return true;
}

TVaReadLease::TWaitResult TVaReadLease::Wait(int wakeFd, int ms)
{
    {
        std::lock_guard lock(mutex_);
        if (revoked_.IsSet() || gone_ || !WatchWith(wakeFd))
            return TWaitResult::Unusable;
        ++inside_;
    }
    // From here until inside_ drops again the port stays open: Close revokes and waits first.
    // An epoll set rather than poll: a tty's poll, when it finds no input, first waits for the
    // driver's pending delivery of received bytes, which costs a wake-up each time the worker
    // comes back to wait right after an answer; an empty epoll set just sleeps.
    epoll_event events[3];
    int r;
    do {
        r = ::epoll_wait(epoll_, events, 3, ms);
    } while (r < 0 && errno == EINTR);
    bool lost = r < 0;
    uint32_t device = 0;
    for (int i = 0; i < r; ++i)
        if (events[i].data.u32 == 2)
            device = events[i].events;
    if (device != 0 && !revoked_.IsSet()) {
        uint32_t batch = 0;
        const bool alive = port_.Ingest(batch);
        // As in the event thread: a hang-up that brings nothing is reported for ever.
        lost = !alive || ((device & (EPOLLHUP | EPOLLERR)) && !(batch & EV_RXCHAR));
        if ((batch & EV_RXCHAR) && !port_.DispatchDirect()) {
            // A component without a sink has been attached meanwhile: the main thread takes over.
            events_.InputForMain();
        }
    }
    {
        std::lock_guard lock(mutex_);
        --inside_;
        gone_ = gone_ || lost;
    }
    idle_.notify_all();
    if (lost)
        return TWaitResult::Unusable;
    return r == 0 ? TWaitResult::TimedOut : TWaitResult::Ready;
}

