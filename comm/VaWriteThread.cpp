#include "VaWriteThread.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>

TVaCommWriteThread::TVaCommWriteThread(IVaCommPort& port, std::shared_ptr<TVaTransport> device,
                                       TVaCriticalSection& writeLock, uint64_t session, int32_t capacity)
    : port_(port), device_(std::move(device)), writeLock_(writeLock), session_(session), queue_(capacity)
{
}

TVaCommWriteThread::~TVaCommWriteThread()
{
    // The port stops the thread before it lets go; a writer may drop the last reference later,
    // when the port may be gone, so nothing of the port is touched then.
    if (!stopping_.load())
        RequestStop();
    WaitFor();
}

TVaCommWriteThread::Result TVaCommWriteThread::Enqueue(const uint8_t* data, int32_t count,
                                                       int timeoutMs, int32_t& accepted)
{
    accepted = 0;
    // The main thread writes byte by byte (typed keys, the text and binary sends): those bytes are
    // gathered by the write thread. A sizeable write, and whatever another thread writes (a
    // protocol's blocks and answers), goes to the driver at once when nothing is queued ahead,
    // instead of waking the write thread.
    if (count >= kDirectWriteMin || !VaIsMainThread()) {
        std::unique_lock lock(writeLock_);
        if (!stopping_.load() && queue_.Size() == 0) {
            // The device never makes us wait here (it does not block); what it does not take is
            // queued as usual below.
            const TVaIoResult r = device_->Write(data, static_cast<size_t>(count));
            const auto written = static_cast<int32_t>(r.state == ioData ? r.count : 0);
            if (written == count) {
                lock.unlock();
                port_.OutputDrained(session_);
                accepted = count;
                return Result::Accepted;
            }
            data += written;
            count -= written;
            accepted = written;
        }
    }
    const int32_t already = accepted;
    const Result result = EnqueueQueued(data, count, timeoutMs, accepted);
    accepted += already;
    return result;
}

TVaCommWriteThread::Result TVaCommWriteThread::EnqueueQueued(const uint8_t* data, int32_t count,
                                                             int timeoutMs, int32_t& accepted)
{
    accepted = 0;
    const int32_t capacity = queue_.Capacity();
    // A write that fits the queue goes in whole; a larger one goes in pieces as room appears.
    const bool whole = count <= capacity;
    // The clock is read only when a wait begins: most writes find room at once.
    std::chrono::steady_clock::time_point deadline{};
    std::unique_lock lock(writeLock_);
    for (;;) {
        if (stopping_.load())
            return Result::Closed;
        const int32_t size = queue_.Size();
        if (whole && size + count <= capacity) {
            queue_.Append(data, count);
            SignalData();
            accepted = count;
            return Result::Accepted;
        }
        if (!whole && size < capacity) {
            const int32_t piece = std::min(capacity - size, count - accepted);
            queue_.Append(data + accepted, piece);
            SignalData();
            accepted += piece;
            if (accepted == count)
                return Result::Accepted;
            deadline = {}; // room appeared: the time-out starts again
            continue;
        }
        // Wait for half the queue to be free (or the time-out, after which the exact fit above
        // still counts): waking for every freed byte would trade bytes one by one with the line.
        const int32_t need = std::min(capacity, (whole ? count : 1) + capacity / 2);
        auto room = [&] { return stopping_.load() || queue_.Size() + need <= capacity; };
        const auto now = std::chrono::steady_clock::now();
        if (deadline == std::chrono::steady_clock::time_point{})
            deadline = now + std::chrono::milliseconds(timeoutMs);
        else if (now >= deadline)
            return Result::Full;
        // Counted under the lock: a writer that frees room afterwards sees the count.
        roomWaiters_.fetch_add(1);
        if (VaIsMainThread()) {
            // The write thread may be waiting for the main thread (its drained-queue event):
            // keep serving hand-overs while waiting, or the queue would never drain.
            lock.unlock();
            VaWaitServing(room, deadline);
            lock.lock();
        } else {
            roomCv_.wait_until(lock, deadline, room);
        }
        roomWaiters_.fetch_sub(1);
    }
}

void TVaCommWriteThread::RoomChanged()
{
    // Called after the change, with WriteLock released: a writer that began to wait before it
    // counted itself under the lock, one that begins later sees the room itself.
    if (roomWaiters_.load() == 0)
        return;
    roomCv_.notify_all();
    VaNotifyWaiters();
}

void TVaCommWriteThread::RequestStop()
{
    {
        std::lock_guard lock(writeLock_);
        stopping_.store(true);
    }
    closeEvent_.Signal();
    Terminate();
    RoomChanged();
}

void TVaCommWriteThread::Flush()
{
    flushDoneEvent_.Reset();
    flushEvent_.Signal();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    if (VaIsMainThread())
        VaWaitServing([this] { return flushDoneEvent_.IsSet() || Finished(); }, deadline);
    else
        flushDoneEvent_.WaitFor(2000);
    std::lock_guard lock(writeLock_);
    if (!flushDoneEvent_.IsSet())
        flushEvent_.Reset(); // withdrawn: bytes queued after the request are kept
}

bool TVaCommWriteThread::PerformFlush()
{
    {
        std::lock_guard lock(writeLock_);
        if (!flushEvent_.IsSet())
            return false;
        flushEvent_.Reset();
        queue_.Clear();
        ResetData();
        flushDoneEvent_.Signal();
    }
    RoomChanged();
    VaNotifyWaiters(); // Flush may wait on the main thread
    return true;
}

void TVaCommWriteThread::Execute()
{
    while (!Terminated()) {
        const int which = deviceGone_ ? VaWaitForAny({&closeEvent_, &flushEvent_}, -1)
                                      : VaWaitForAny({&closeEvent_, &flushEvent_, &dataEvent_}, -1);
        if (which == 0)
            break;
        if (which == 1)
            PerformFlush();
        else if (which == 2)
            WriteQueue();
        else if (which < -1)
            break;
    }
    stopping_.store(true);
    RoomChanged();
}

void TVaCommWriteThread::WriteQueue()
{
    const uint8_t* start;
    int32_t size;
    {
        std::lock_guard lock(writeLock_);
        start = queue_.Data();
        size = queue_.Size();
    }
    // Only this thread removes bytes from the front, so the bytes being written stay in place
    // while writers append behind them.
    for (;;) {
        const TVaIoResult r = size > 0 ? device_->Write(start, static_cast<size_t>(size)) : TVaIoResult{};
        if (r.state == ioData) {
            AfterWrite(static_cast<int32_t>(r.count));
            return;
        }
        if (r.state == ioNothing) {
            // The driver is full (a slow line, or CTS held off): wait for room, a flush or the end.
            pollfd fds[3] = {{closeEvent_.Handle(), POLLIN, 0},
                             {flushEvent_.Handle(), POLLIN, 0},
                             {device_->WaitHandle(), POLLOUT, 0}};
            if (::poll(fds, 3, -1) < 0 && errno != EINTR)
                return;
            if ((fds[0].revents & POLLIN) && closeEvent_.IsSet())
                return;
            if ((fds[1].revents & POLLIN) && PerformFlush())
                return;
            if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                deviceGone_ = true;
                return;
            }
            continue;
        }
        // A write that cannot be made: report a line error to the main thread, then try again after
        // a short pause. A device that has gone is not tried again; the event thread reports it.
        HandOver(EV_ERR);
        if (r.state == ioGone) {
            deviceGone_ = true;
            return;
        }
        if (VaWaitForAny({&closeEvent_, &flushEvent_}, 100) == 1)
            PerformFlush();
        return;
    }
}

void TVaCommWriteThread::AfterWrite(int32_t written)
{
    bool drained = false;
    {
        std::lock_guard lock(writeLock_);
        queue_.Remove(written);
        if (queue_.Size() > 0) {
            SignalData();
        } else {
            ResetData();
            drained = true;
        }
    }
    RoomChanged();
    if (drained && !Terminated() && !closeEvent_.IsSet())
        port_.OutputDrained(session_);
}

void TVaCommWriteThread::HandOver(uint32_t mask)
{
    if (Terminated() || closeEvent_.IsSet())
        return;
    // A handler's exception is reported like any other; the output keeps flowing.
    Synchronize([this, mask] { port_.RunBatch(mask); });
}

