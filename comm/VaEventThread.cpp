#include "VaEventThread.h"

#include <cerrno>

#include <poll.h>

TVaCommEventThread::TVaCommEventThread(IVaCommPort& port, TVaTransport& device, uint32_t mask, uint64_t session)
    : port_(port), device_(device), mask_(mask), session_(session)
{
    // The starting state of the lines is taken before the thread runs, so that a change made
    // right after Open is seen as a change.
    lineEvents_ = (mask & (EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR | EV_BREAK)) != 0;
    if (lineEvents_) {
        haveCounters_ = device_.Capabilities().lineCounters && device_.LineCounters(lastCounters_) == 0;
        device_.ModemStatus(lastStatus_);
    }
}

TVaCommEventThread::~TVaCommEventThread()
{
    RequestStop();
    WaitFor();
}

void TVaCommEventThread::RequestStop()
{
    Terminate();
    wake_.Signal();
}

void TVaCommEventThread::LeaseClaimed(bool claimed)
{
    lentReaders_.fetch_add(claimed ? 1 : -1);
    Nudge();
}

void TVaCommEventThread::InputForMain()
{
    rxPending_.store(true);
    Nudge();
}

void TVaCommEventThread::WatchOutputDrain()
{
    txPending_.store(true);
    Nudge();
}

void TVaCommEventThread::Execute()
{
    const bool readData = (mask_ & (EV_RXCHAR | EV_RXFLAG | EV_RX80FULL)) != 0;
    // A notifying transport's change descriptor also tells of notices for the user, so it is
    // watched even when no line events are.
    const TVaChangeNotice notice = device_.ChangeNotice();
    const int changeFd = notice == cnNotified ? device_.ChangeDescriptor() : -1;
    // Lines without notice of a change are looked at a few times a second, and only when such
    // events are watched. A pseudo-terminal has none, so it costs nothing idle.
    const bool polled = lineEvents_ && notice == cnPolled;
    const int deviceFd = device_.WaitHandle();
    bool deviceGone = false;

    while (!Terminated()) {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = pollfd{wake_.Handle(), POLLIN, 0};
        int devIndex = -1;
        if (!deviceGone) {
            // While a worker reads through a lease, the device is watched only for its going away.
            const bool watchInput = readData && lentReaders_.load() == 0 && port_.InputRoom();
            devIndex = static_cast<int>(n);
            fds[n++] = pollfd{deviceFd, static_cast<short>(watchInput ? POLLIN : 0), 0};
        }
        int changeIndex = -1;
        if (changeFd >= 0) {
            changeIndex = static_cast<int>(n);
            fds[n++] = pollfd{changeFd, POLLIN, 0};
        }
        const bool txWatch = txPending_.load() && !deviceGone;
        const int r = ::poll(fds, n, txWatch ? 5 : polled && !deviceGone ? 50 : -1);
        if (r < 0 && errno != EINTR)
            break;
        if (Terminated())
            break;
        if (r > 0 && (fds[0].revents & POLLIN))
            wake_.Reset();

        uint32_t batch = 0;
        if (devIndex >= 0 && r > 0) {
            const short re = fds[devIndex].revents;
            if (re & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
                const bool alive = port_.Ingest(batch);
                // A hang-up or error that brings no data would be reported again at once, for
                // ever: the device is treated as gone then (once what it left has been read).
                if (!alive || (re & POLLNVAL) || ((re & (POLLHUP | POLLERR)) && !(batch & EV_RXCHAR)))
                    deviceGone = true;
            }
        }
        if (changeIndex >= 0 && r > 0 && (fds[changeIndex].revents & POLLIN)) {
            device_.AcknowledgeChange();
            if (lineEvents_)
                batch |= LineChanges();
            port_.NoticesWaiting(session_);
        } else if (polled && !deviceGone) {
            batch |= LineChanges();
        }
        if (txWatch) {
            size_t outgoing = 0;
            if (device_.OutputCount(outgoing) != 0 || outgoing == 0) {
                txPending_.store(false);
                batch |= EV_TXEMPTY;
            }
        }
        // Bytes a lease read that the attached components could not take on its thread.
        if (rxPending_.exchange(false))
            batch |= EV_RXCHAR;
        batch &= mask_ | EV_RXCHAR;
        if (!readData)
            batch &= ~EV_RXCHAR;
        // Components that take their bytes on this thread get them here, without a hand-over;
        // what else the batch holds goes to the main thread after them.
        if ((batch & EV_RXCHAR) && port_.DispatchDirect())
            batch &= ~EV_RXCHAR;
        if (batch)
            ProcessEvents(batch);
        else
            HandOver(); // what was gathered while the last batch was with the main thread
        if (deviceGone) {
            // What the device left goes over before the news of its loss, which is told without
            // blocking: its handler may close the port.
            AwaitHandOver();
            HandOver();
            port_.DeviceLost(session_);
            // Stop waiting on the device: it would report itself ready for ever.
            while (!Terminated()) {
                wake_.WaitFor(-1);
                wake_.Reset();
            }
        }
    }
    // The batch still with the main thread refers to this thread: it runs before the thread ends.
    AwaitHandOver();
}

uint32_t TVaCommEventThread::LineChanges()
{
    uint32_t batch = 0;
    uint32_t status = lastStatus_;
    if (device_.ModemStatus(status) == 0) {
        const uint32_t changed = status ^ lastStatus_;
        if (changed & MS_CTS_ON)
            batch |= EV_CTS;
        if (changed & MS_DSR_ON)
            batch |= EV_DSR;
        if (changed & MS_RLSD_ON)
            batch |= EV_RLSD;
        if ((changed & MS_RING_ON) && (status & MS_RING_ON))
            batch |= EV_RING;
        lastStatus_ = status;
    }
    VaLineCounters c;
    if (haveCounters_ && device_.LineCounters(c) == 0) {
        if (c.frame != lastCounters_.frame || c.overrun != lastCounters_.overrun ||
            c.parity != lastCounters_.parity || c.bufOverrun != lastCounters_.bufOverrun)
            batch |= EV_ERR;
        if (c.brk != lastCounters_.brk)
            batch |= EV_BREAK;
        if (c.rng != lastCounters_.rng)
            batch |= EV_RING;
        lastCounters_ = c;
    }
    return batch;
}

void TVaCommEventThread::ProcessEvents(uint32_t batch)
{
    gathered_.fetch_or(batch);
    HandOver();
}

void TVaCommEventThread::HandOver()
{
    if (Terminated() || gathered_.load() == 0 || withMain_.exchange(true))
        return;
    AwaitHandOver(); // has run by now; this takes its result
    handOver_ = SynchronizeLater([this] {
        // Everything gathered up to now, including what was read after this call was queued.
        EventMask = gathered_.exchange(0);
        port_.RunBatch(EventMask);
        withMain_.store(false);
        // Events gathered meanwhile go over as the next batch.
        if (gathered_.load() != 0)
            wake_.Signal();
    });
}

void TVaCommEventThread::AwaitHandOver()
{
    try {
        handOver_.Await();
    } catch (...) {
        VaHandleException(std::current_exception());
    }
}
