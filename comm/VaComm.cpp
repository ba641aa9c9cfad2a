#include "VaComm.h"
#include "VaLinux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* kPortOpen = "Can't perform this operation while port is open";

// The smallest input queue: below it every byte would be a batch of its own.
constexpr int32_t kMinInputQueue = 256;

bool NoModemLines(int error)
{
    return error == ENOTTY || error == EINVAL;
}

// Errors after which a device is gone for good: a closed pseudo-terminal, an unplugged adapter.
bool DeviceGoneError(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE || error == EBADF;
}

class StandardModemLines : public TVaModemLines {
public:
    bool Status(int fd, uint32_t& bits) override
    {
        const int e = VaGetModemStatus(fd, bits);
        if (e == 0)
            return true;
        if (NoModemLines(e)) {
            bits = MS_CTS_ON | MS_DSR_ON; // a three-wire cable
            return true;
        }
        errno = e;
        return false;
    }
    bool Drive(int fd, bool dtr, bool on) override
    {
        const int e = VaDriveModemLine(fd, dtr, on);
        if (e == 0 || NoModemLines(e))
            return true;
        errno = e;
        return false;
    }
    bool NeedsPolling(int fd) override
    {
        uint32_t bits;
        return VaGetModemStatus(fd, bits) == 0;
    }
};

int32_t RateOf(TVaBaudrate rate)
{
    static constexpr int32_t rates[] = {0,     110,   300,   600,    1200,   2400,   4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return rates[rate];
}

} // namespace

std::shared_ptr<TVaModemLines> VaStandardModemLines()
{
    static const auto lines = std::make_shared<StandardModemLines>();
    return lines;
}

uint32_t VaEventBit(TVaCommEvent event)
{
    static constexpr uint32_t bits[] = {EV_BREAK, EV_CTS,    EV_DSR,  EV_ERR,      EV_RING,
                                        EV_RLSD,  EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_PERR,
                                        EV_RX80FULL, EV_EVENT1, EV_EVENT2};
    return bits[event];
}

// ---- Output queue -----------------------------------------------------------------------------------

TVaCommBuffer::TVaCommBuffer(int32_t capacity) : data_(static_cast<size_t>(std::max(capacity, 0))) {}

void TVaCommBuffer::Append(const void* source, int32_t count)
{
    const int32_t size = size_.load(std::memory_order_relaxed);
    if (count > 0)
        std::memcpy(data_.data() + size, source, static_cast<size_t>(count));
    size_.store(size + count, std::memory_order_release);
}

void TVaCommBuffer::Peek(void* dest, int32_t count) const
{
    if (count > 0)
        std::memcpy(dest, data_.data(), static_cast<size_t>(count));
}

void TVaCommBuffer::Extract(void* dest, int32_t count)
{
    Peek(dest, count);
    Remove(count);
}

void TVaCommBuffer::Remove(int32_t count)
{
    const int32_t size = size_.load(std::memory_order_relaxed);
    if (count <= 0)
        return;
    std::memmove(data_.data(), data_.data() + count, static_cast<size_t>(size - count));
    size_.store(size - count, std::memory_order_release);
}

// ---- Event thread -----------------------------------------------------------------------------------

class TVaCommEventThread : public TVaThread {
public:
    TVaCommEventThread(TVaCustomComm& owner, int fd, uint64_t session)
        : owner_(owner), fd_(fd), session_(session)
    {
        // The starting state of the lines is taken before the thread runs, so that a change made
        // right after Open is seen as a change.
        const uint32_t mask = owner_.eventMask_;
        lineEvents_ = (mask & (EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR | EV_BREAK)) != 0;
        if (lineEvents_) {
            haveCounters_ = VaGetLineCounters(fd_, lastCounters_) == 0;
            owner_.activeModemLines_->Status(fd_, lastStatus_);
        }
    }
    ~TVaCommEventThread() override
    {
        RequestStop();
        WaitFor();
    }

    void RequestStop()
    {
        Terminate();
        wake_.Signal();
    }
    // Tells the thread to look at its input limit and the port's leases again.
    void Nudge() { wake_.Signal(); }

    uint32_t EventMask = 0;

protected:
    void Execute() override;

private:
    uint32_t LineChanges();
    void ProcessEvents(uint32_t batch);

    TVaCustomComm& owner_;
    int fd_;
    uint64_t session_;
    TVaWaitEvent wake_;
    uint32_t lastStatus_ = 0;
    VaLineCounters lastCounters_;
    bool haveCounters_ = false;
    bool lineEvents_ = false;
};

void TVaCommEventThread::Execute()
{
    const uint32_t mask = owner_.eventMask_;
    TVaModemLines& lines = *owner_.activeModemLines_;
    const bool readData = (mask & (EV_RXCHAR | EV_RXFLAG | EV_RX80FULL)) != 0;
    const int changeFd = lineEvents_ ? lines.ChangeDescriptor() : -1;
    // Real modem lines give no notice of a change here: look at them a few times a second, and
    // only when such events are watched. A pseudo-terminal has none, so it costs nothing idle.
    const bool polled = lineEvents_ && changeFd < 0 && (haveCounters_ || lines.NeedsPolling(fd_));
    bool deviceGone = false;

    while (!Terminated()) {
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = pollfd{wake_.Handle(), POLLIN, 0};
        int devIndex = -1;
        if (!deviceGone) {
            bool room;
            {
                std::lock_guard lock(owner_.inputMutex_);
                room = owner_.input_.size() - owner_.inputStart_ < owner_.inputLimit_;
            }
            // While a worker reads through a lease, the device is watched only for its going away.
            const bool lent = owner_.lentReaders_.load() > 0;
            devIndex = static_cast<int>(n);
            fds[n++] = pollfd{fd_, static_cast<short>(readData && room && !lent ? POLLIN : 0), 0};
        }
        int changeIndex = -1;
        if (changeFd >= 0) {
            changeIndex = static_cast<int>(n);
            fds[n++] = pollfd{changeFd, POLLIN, 0};
        }
        const bool txWatch = owner_.txPending_.load() && !deviceGone;
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
                const bool alive = owner_.Ingest(fd_, batch);
                // A hang-up or error that brings no data would be reported again at once, for
                // ever: the device is treated as gone then (once what it left has been read).
                if (!alive || (re & POLLNVAL) || ((re & (POLLHUP | POLLERR)) && !(batch & EV_RXCHAR)))
                    deviceGone = true;
            }
        }
        if (changeIndex >= 0 && r > 0 && (fds[changeIndex].revents & POLLIN)) {
            lines.AcknowledgeChange();
            batch |= LineChanges();
        } else if (polled && !deviceGone) {
            batch |= LineChanges();
        }
        if (txWatch) {
            int outgoing = 0;
            if (::ioctl(fd_, TIOCOUTQ, &outgoing) != 0 || outgoing == 0) {
                owner_.txPending_.store(false);
                batch |= EV_TXEMPTY;
            }
        }
        // Bytes a lease read that the attached components could not take on its thread.
        if (owner_.rxPending_.exchange(false))
            batch |= EV_RXCHAR;
        batch &= mask | EV_RXCHAR;
        if (!readData)
            batch &= ~EV_RXCHAR;
        // Components that take their bytes on this thread get them here, without a hand-over;
        // what else the batch holds goes to the main thread after them.
        if ((batch & EV_RXCHAR) && owner_.DispatchDirect())
            batch &= ~EV_RXCHAR;
        if (batch)
            ProcessEvents(batch);
        if (deviceGone) {
            // Stop waiting on the device (it would report itself ready for ever) and tell the
            // program on the main thread, without blocking: its handler may close the port.
            TVaCustomComm* owner = &owner_;
            const uint64_t session = session_;
            owner_.QueueForMain([owner, session] { owner->DeviceLost(session); });
            while (!Terminated()) {
                wake_.WaitFor(-1);
                wake_.Reset();
            }
        }
    }
}

uint32_t TVaCommEventThread::LineChanges()
{
    uint32_t batch = 0;
    uint32_t status = lastStatus_;
    if (owner_.activeModemLines_->Status(fd_, status)) {
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
    if (haveCounters_ && VaGetLineCounters(fd_, c) == 0) {
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
    if (Terminated())
        return;
    EventMask = batch;
    Synchronize([this] { owner_.RunBatch(EventMask); });
}

// ---- Write thread -----------------------------------------------------------------------------------

class TVaCommWriteThread : public TVaThread {
public:
    enum class Result { Accepted, Full, Closed };

    TVaCommWriteThread(TVaCustomComm& owner, int fd, uint64_t session, int32_t capacity)
        : owner_(owner), fd_(fd), session_(session), queue_(capacity)
    {
    }
    ~TVaCommWriteThread() override
    {
        // The port stops the thread before it lets go; a writer may drop the last reference later,
        // when the port may be gone, so nothing of the port is touched then.
        if (!stopping_.load())
            RequestStop();
        WaitFor();
    }

    Result Enqueue(const uint8_t* data, int32_t count, int timeoutMs, int32_t& accepted);
    Result EnqueueQueued(const uint8_t* data, int32_t count, int timeoutMs, int32_t& accepted);
    static constexpr int32_t kDirectWriteMin = 32;
    void Flush();
    void RequestStop();
    int32_t Queued() const { return queue_.Size(); }

protected:
    void Execute() override;

private:
    void WriteQueue();
    void AfterWrite(int32_t written);
    bool PerformFlush();
    void RoomChanged();
    void HandOver(uint32_t mask);
    // DataEvent is set and cleared under WriteLock only; the flag spares the writers a system
    // call for every byte while it is set.
    void SignalData()
    {
        if (!dataSet_) {
            dataSet_ = true;
            dataEvent_.Signal();
        }
    }
    void ResetData()
    {
        dataSet_ = false;
        dataEvent_.Reset();
    }

    TVaCustomComm& owner_;
    int fd_;
    uint64_t session_;
    TVaCommBuffer queue_;
    TVaWaitEvent dataEvent_, closeEvent_, flushEvent_, flushDoneEvent_;
    std::condition_variable_any roomCv_; // used with the port's WriteLock
    std::atomic<int> roomWaiters_{0};     // writers waiting for room
    std::atomic<bool> stopping_{false};
    bool dataSet_ = false; // guarded by WriteLock
    bool deviceGone_ = false;
};

TVaCommWriteThread::Result TVaCommWriteThread::Enqueue(const uint8_t* data, int32_t count,
                                                       int timeoutMs, int32_t& accepted)
{
    accepted = 0;
    // The main thread writes byte by byte (typed keys, the text and binary sends): those bytes are
    // gathered by the write thread. A sizeable write, and whatever another thread writes (a
    // protocol's blocks and answers), goes to the driver at once when nothing is queued ahead,
    // instead of waking the write thread.
    if (count >= kDirectWriteMin || !VaIsMainThread()) {
        std::unique_lock lock(owner_.WriteLock);
        if (!stopping_.load() && queue_.Size() == 0) {
            // The driver never makes us wait here (the device is non-blocking); what it does not
            // take is queued as usual below.
            const ssize_t written = ::write(fd_, data, static_cast<size_t>(count));
            if (written == count) {
                lock.unlock();
                owner_.QueueTxEmpty(session_);
                accepted = count;
                return Result::Accepted;
            }
            if (written > 0) {
                data += written;
                count -= static_cast<int32_t>(written);
                accepted = static_cast<int32_t>(written);
            }
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
    std::unique_lock lock(owner_.WriteLock);
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
        std::lock_guard lock(owner_.WriteLock);
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
    std::lock_guard lock(owner_.WriteLock);
    if (!flushDoneEvent_.IsSet())
        flushEvent_.Reset(); // withdrawn: bytes queued after the request are kept
}

bool TVaCommWriteThread::PerformFlush()
{
    {
        std::lock_guard lock(owner_.WriteLock);
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
        std::lock_guard lock(owner_.WriteLock);
        start = queue_.Data();
        size = queue_.Size();
    }
    // Only this thread removes bytes from the front, so the bytes being written stay in place
    // while writers append behind them.
    for (;;) {
        const ssize_t written = size > 0 ? ::write(fd_, start, static_cast<size_t>(size)) : 0;
        if (written >= 0) {
            AfterWrite(static_cast<int32_t>(written));
            return;
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // The driver is full (a slow line, or CTS held off): wait for room, a flush or the end.
            pollfd fds[3] = {{closeEvent_.Handle(), POLLIN, 0},
                             {flushEvent_.Handle(), POLLIN, 0},
                             {fd_, POLLOUT, 0}};
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
        if (DeviceGoneError(error)) {
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
        std::lock_guard lock(owner_.WriteLock);
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
        owner_.QueueTxEmpty(session_);
}

void TVaCommWriteThread::HandOver(uint32_t mask)
{
    if (Terminated() || closeEvent_.IsSet())
        return;
    // A handler's exception is reported like any other; the output keeps flowing.
    Synchronize([this, mask] {
        try {
            owner_.HandleEvents(mask);
        } catch (...) {
            VaHandleException(std::current_exception());
        }
    });
}

// ---- Dispatcher and attached components -------------------------------------------------------------

int32_t TVaDispatcher::WriteBuf(const void* data, int32_t count)
{
    TVaCustomComm* comm = comm_.load();
    return comm ? comm->WriteBuf(data, count) : 0;
}

void TVaDispatcher::PurgeReadWrite()
{
    if (TVaCustomComm* comm = comm_.load())
        comm->PurgeReadWrite();
}

void TVaDispatcher::CheckDetached() const
{
    // The port reads both on its own threads without asking the component.
    if (comm_.load() != nullptr)
        throw std::logic_error("a dispatcher's data sink and event wish are set before it is attached");
}

void TVaDispatcher::SetDataSink(std::shared_ptr<IVaCommDataSink> sink)
{
    CheckDetached();
    sink_ = std::move(sink);
}

void TVaDispatcher::SetEventsWanted(bool wanted)
{
    CheckDetached();
    eventsWanted_ = wanted;
}

// ---- Read lease -------------------------------------------------------------------------------------

void TVaReadLease::SetClaimed(bool claimed)
{
    if (claimed == claimed_)
        return;
    claimed_ = claimed;
    port_.lentReaders_.fetch_add(claimed ? 1 : -1);
    events_.Nudge();
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
    const int fds[3] = {wakeFd, revoked_.Handle(), fd_};
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
        const bool alive = port_.Ingest(fd_, batch);
        // As in the event thread: a hang-up that brings nothing is reported for ever.
        lost = !alive || ((device & (EPOLLHUP | EPOLLERR)) && !(batch & EV_RXCHAR));
        if ((batch & EV_RXCHAR) && !port_.DispatchDirect()) {
            // A component without a sink has been attached meanwhile: the main thread takes over.
            port_.rxPending_.store(true);
            events_.Nudge();
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

TVaCommComponent::TVaCommComponent(TVaComponent* owner)
    : TVaComponent(owner), dispatcher_(std::make_unique<TVaDispatcher>(this))
{
}

TVaCommComponent::~TVaCommComponent()
{
    BeginDestruction();
    if (comm_)
        comm_->DetachDispatcher(dispatcher_.get());
}

void TVaCommComponent::SetComm(TVaCustomComm* comm)
{
    if (comm_) {
        comm_->DetachDispatcher(dispatcher_.get());
        RemoveFreeNotification(comm_);
    }
    comm_ = comm;
    if (comm_) {
        comm_->AttachDispatcher(dispatcher_.get());
        FreeNotification(comm_);
    }
}

void TVaCommComponent::Notification(TVaComponent* component, TVaOperation operation)
{
    TVaComponent::Notification(component, operation);
    if (operation == TVaOperation::opRemove && component == comm_) {
        comm_->DetachDispatcher(dispatcher_.get());
        comm_ = nullptr;
    }
}

// ---- The port ---------------------------------------------------------------------------------------

TVaCustomComm::TVaCustomComm(TVaComponent* owner) : TVaComponent(owner)
{
    flowControl_.OnChange = [this] { SettingsChanged(); };
    eventChars_.OnChange = [this] { SettingsChanged(); };
    buffers_.OnChange = [this] { BuffersChanged(); };
}

TVaCustomComm::~TVaCustomComm()
{
    alive_.reset(); // calls still queued for the main thread are dropped
    BeginDestruction();
    try {
        Close();
    } catch (...) {
        VaHandleException(std::current_exception());
    }
    DetachAll();
}

void TVaCustomComm::Loaded()
{
    TVaComponent::Loaded();
    if (!Designing() && autoOpen_)
        Open();
}

std::string TVaCustomComm::DevicePath() const
{
    // The name pattern takes the port number in place of its one %d.
    std::string name;
    bool used = false;
    for (size_t i = 0; i < deviceName_.size(); ++i) {
        if (deviceName_[i] == '%' && i + 1 < deviceName_.size()) {
            if (deviceName_[i + 1] == '%') {
                name += '%';
                ++i;
                continue;
            }
            if (deviceName_[i + 1] == 'd' && !used) {
                name += std::to_string(portNum_);
                used = true;
                ++i;
                continue;
            }
        }
        name += deviceName_[i];
    }
    return name.find('/') == std::string::npos ? "/dev/" + name : name;
}

void TVaCustomComm::CheckClosed() const
{
    if (Active())
        throw EVaCommError(kPortOpen);
}

void TVaCustomComm::Open()
{
    CheckClosed();
    CreateHandle();
    try {
        ApplyDCB();
        ApplyBuffers();
        ApplyTimeouts();
        ApplyEventMask();
        StartThreads();
    } catch (...) {
        RevokeLeases();
        StopThreads();
        DestroyHandle();
        throw;
    }
    if (auto handler = OnOpen) {
        try {
            handler(this);
        } catch (...) {
            VaHandleException(std::current_exception());
        }
    }
}

void TVaCustomComm::CreateHandle()
{
    const std::string path = DevicePath();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int error = errno;
    if (fd < 0 && error == ENOENT)
        throw EVaCommError(VaFormat("Specified device not found (%s).", {path}));
    // Exclusive use: the lock keeps out every other opener that locks too (this program, most
    // terminal programs), root included; TIOCEXCL keeps out other unprivileged openers.
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(fd);
    } else if (fd >= 0) {
        (void)::ioctl(fd, TIOCEXCL); // not every device knows it; the lock is what counts
        activeModemLines_ = modemLines_ ? modemLines_ : VaStandardModemLines();
        // A tty without modem lines stays without them: remember it rather than ask each time
        // (the binary send asks for CTS before every byte).
        uint32_t status;
        threeWire_ = !modemLines_ && NoModemLines(VaGetModemStatus(fd, status));
        {
            std::lock_guard lock(inputMutex_);
            input_.clear();
            inputStart_ = 0;
        }
        VaLineCounters c;
        if (VaGetLineCounters(fd, c) == 0)
            errorCounters_ = {c.frame, c.overrun, c.parity, c.brk, c.bufOverrun};
        session_.fetch_add(1);
        fd_.store(fd);
        return;
    }
    throw EVaCommError(VaFormat("Can't open specified device %s (Error %d, %s)",
                                {path, std::to_string(error), std::strerror(error)}));
}

void TVaCustomComm::DestroyHandle()
{
    std::lock_guard lock(WriteLock);
    const int fd = fd_.exchange(-1);
    if (fd < 0)
        return;
    // Without this a pseudo-terminal would stay exclusive after we close it, and nobody but root
    // could open it again while its other end lives.
    (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

void TVaCustomComm::Close()
{
    if (!Active())
        return;
    RevokeLeases();
    {
        std::lock_guard lock(ReadLock);
        StopThreads();
    }
    DestroyHandle();
    if (!Destroying()) {
        if (auto handler = OnClose)
            handler(this);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void TVaCustomComm::ApplyDCB()
{
    const int fd = fd_.load();
    if (fd < 0 || !updateDCB_)
        return;
    VaLineSettings s;
    s.baudrate = EffectiveBaudrate();
    s.dataBits = static_cast<int>(databits_) + 4;
    s.parity = static_cast<int>(parity_);
    s.stopBits = static_cast<int>(stopbits_);
    s.ctsFlow = flowControl_.OutCtsFlow() || flowControl_.ControlRts() == rtsHandshake;
    s.xonXoffOut = flowControl_.XonXoffOut();
    s.xonXoffIn = flowControl_.XonXoffIn();
    s.parityCheck = options_.Contains(coParityCheck);
    s.xonChar = eventChars_.XonChar();
    s.xoffChar = eventChars_.XoffChar();
    int error = VaApplyLineSettings(fd, s);
    // The control modes set the resting level of DTR and RTS, as the line settings of the
    // desktop serial API do; the handshake modes leave the line to the driver.
    TVaModemLines& lines = activeModemLines_ ? *activeModemLines_ : *VaStandardModemLines();
    if (error == 0 && flowControl_.ControlDtr() != dtrHandshake &&
        !lines.Drive(fd, true, flowControl_.ControlDtr() == dtrEnabled))
        error = errno;
    if (error == 0 && (flowControl_.ControlRts() == rtsEnabled || flowControl_.ControlRts() == rtsDisabled) &&
        !lines.Drive(fd, false, flowControl_.ControlRts() == rtsEnabled))
        error = errno;
    if (error != 0)
        throw EVaCommError(VaErrorMessage("Error writing dcb (%d), %s", error));
}

void TVaCustomComm::ApplyBuffers()
{
    // The kernel's tty queues have fixed sizes; ReadSize and WriteSize shape our own queues.
}

void TVaCustomComm::ApplyTimeouts()
{
    // Reads return at once with what is there and writes go through our own queue: the device
    // itself is non-blocking, and the time-outs are kept by our read and write code.
}

void TVaCustomComm::ApplyEventMask()
{
    uint32_t mask = 0;
    for (int e = ceBreak; e <= ceEvent2; ++e)
        if (monitorEvents_.Contains(static_cast<TVaCommEvent>(e)))
            mask |= VaEventBit(static_cast<TVaCommEvent>(e));
    // The write thread reports the drained output queue itself.
    if (!directWrite_)
        mask &= ~EV_TXEMPTY;
    eventMask_ = mask;
}

void TVaCustomComm::StartThreads()
{
    const int fd = fd_.load();
    // The event thread reads received bytes into the input queue, which holds ReadSize bytes at
    // most, like a driver's: what does not fit waits in the kernel (which holds a pseudo-terminal's
    // writer back) until the program has read. So no chunk handed to the program is larger.
    inputLimit_ = static_cast<size_t>(std::max(buffers_.ReadSize(), kMinInputQueue));
    eventReads_ = (eventMask_ & (EV_RXCHAR | EV_RXFLAG | EV_RX80FULL)) != 0;
    if (eventMask_ != 0) {
        eventThread_ = std::make_unique<TVaCommEventThread>(*this, fd, session_.load());
        eventThread_->SetPriority(eventPriority_);
        eventThread_->Start();
        // Attached protocols' workers may read the device themselves, unless an event must be
        // derived from every received byte.
        std::lock_guard lock(dispatchMutex_);
        lendable_ = (eventMask_ & EV_RXCHAR) && !(eventMask_ & (EV_RXFLAG | EV_RX80FULL));
        UpdateLeases();
    }
    if (!directWrite_) {
        auto writer = std::make_shared<TVaCommWriteThread>(*this, fd, session_.load(), buffers_.WriteSize());
        writer->SetPriority(writePriority_);
        {
            std::lock_guard lock(writeThreadMutex_);
            writeThread_ = writer;
        }
        writer->Start();
    }
}

void TVaCustomComm::StopThreads()
{
    if (eventThread_) {
        eventThread_->RequestStop();
        eventThread_->WaitFor();
        eventThread_.reset();
    }
    eventReads_ = false;
    std::shared_ptr<TVaCommWriteThread> writer;
    {
        std::lock_guard lock(writeThreadMutex_);
        writer = std::move(writeThread_);
    }
    if (writer) {
        writer->RequestStop();
        writer->WaitFor();
    }
}

// ---- Reading ----------------------------------------------------------------------------------------

void TVaCustomComm::AppendInput(const uint8_t* data, size_t count)
{
    // Called with inputMutex_ held.
    if (inputStart_ > 0 && inputStart_ >= input_.size() / 2) {
        input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(inputStart_));
        inputStart_ = 0;
    }
    if (options_.Contains(coNullStrip)) {
        for (size_t i = 0; i < count; ++i)
            if (data[i] != 0)
                input_.push_back(data[i]);
    } else {
        input_.insert(input_.end(), data, data + count);
    }
}

// Any thread: the event thread, or a worker reading through a lease.
bool TVaCustomComm::Ingest(int fd, uint32_t& batch)
{
    std::lock_guard lock(inputMutex_);
    auto& input = input_;
    const size_t before = input.size() - inputStart_;
    bool alive = true;
    uint8_t chunk[65536];
    while (input.size() - inputStart_ < inputLimit_) {
        const size_t room = std::min(sizeof chunk, inputLimit_ - (input.size() - inputStart_));
        const ssize_t got = ::read(fd, chunk, room);
        if (got > 0) {
            AppendInput(chunk, static_cast<size_t>(got));
            if (static_cast<size_t>(got) < room)
                break;
            continue;
        }
        if (got == 0) {
            alive = false;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            alive = false;
        break;
    }
    const size_t after = input.size() - inputStart_;
    if (after > before) {
        batch |= EV_RXCHAR;
        const uint8_t eventChar = eventChars_.EventChar();
        if (std::find(input.begin() + static_cast<ptrdiff_t>(inputStart_ + before), input.end(),
                      eventChar) != input.end())
            batch |= EV_RXFLAG;
        if (after * 5 >= static_cast<size_t>(buffers_.ReadSize()) * 4)
            batch |= EV_RX80FULL;
    }
    return alive;
}

int32_t TVaCustomComm::ReadBufUsed()
{
    if (!Active())
        return 0;
    uint32_t errors;
    TVaComStat status;
    GetStatistics(errors, status);
    return static_cast<int32_t>(status.cbInQue);
}

int32_t TVaCustomComm::ReadBuf(void* data, int32_t count)
{
    if (!Active() || count <= 0)
        return 0;
    std::lock_guard lock(ReadLock);
    return ReadLocked(static_cast<uint8_t*>(data), count);
}

int32_t TVaCustomComm::ReadLocked(uint8_t* data, int32_t count)
{
    const int fd = fd_.load();
    bool wasFull;
    size_t taken;
    {
        std::lock_guard lock(inputMutex_);
        const size_t held = input_.size() - inputStart_;
        wasFull = held >= inputLimit_;
        taken = std::min(held, static_cast<size_t>(count));
        if (taken > 0)
            std::memcpy(data, input_.data() + inputStart_, taken);
        inputStart_ += taken;
        if (inputStart_ == input_.size()) {
            input_.clear();
            inputStart_ = 0;
        }
        // Without an event thread reading the device, the bytes come straight from it. So they do
        // when the queue is empty: a reader inside a port event (the event thread waits for it and
        // reads nothing meanwhile) still sees the device's answer. The lock keeps the order.
        while ((!eventReads_ || held == 0) && taken < static_cast<size_t>(count) && fd >= 0) {
            const ssize_t got = ::read(fd, data + taken, static_cast<size_t>(count) - taken);
            if (got > 0) {
                if (options_.Contains(coNullStrip)) {
                    const auto end = std::remove(data + taken, data + taken + got, uint8_t{0});
                    taken = static_cast<size_t>(end - data);
                } else {
                    taken += static_cast<size_t>(got);
                }
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            break; // nothing more waiting, or the device has gone (the event thread tells)
        }
    }
    if (wasFull && eventThread_)
        eventThread_->Nudge();
    return static_cast<int32_t>(taken);
}

std::string TVaCustomComm::ReadText()
{
    const int32_t n = ReadBufUsed();
    if (n <= 0)
        return {};
    std::string text(static_cast<size_t>(n), '\0');
    text.resize(static_cast<size_t>(ReadBuf(text.data(), n)));
    return text;
}

void TVaCustomComm::GetStatistics(uint32_t& errors, TVaComStat& status)
{
    std::lock_guard lock(ReadLock);
    errors = 0;
    status = TVaComStat{};
    const int fd = fd_.load();
    if (fd < 0)
        return;
    VaLineCounters c;
    int e = VaGetLineCounters(fd, c);
    if (e == 0) {
        if (c.frame != errorCounters_.frame)
            errors |= CE_FRAME;
        if (c.overrun != errorCounters_.overrun)
            errors |= CE_OVERRUN;
        if (c.parity != errorCounters_.parity)
            errors |= CE_RXPARITY;
        if (c.brk != errorCounters_.brk)
            errors |= CE_BREAK;
        if (c.bufOverrun != errorCounters_.bufOverrun)
            errors |= CE_RXOVER;
        errorCounters_ = {c.frame, c.overrun, c.parity, c.brk, c.bufOverrun};
    } else if (!NoModemLines(e) && !DeviceGoneError(e)) {
        // A device that has gone has no counters; its loss is reported as a disconnection.
        throw EVaCommError(VaErrorMessage("Error retrieving statistics (%d), %s", e));
    }
    {
        // What the device holds counts too where a read takes it straight from there: without an
        // event thread, or while the queue is empty (see ReadLocked).
        std::lock_guard inputLock(inputMutex_);
        const size_t held = input_.size() - inputStart_;
        int waiting = 0;
        if ((!eventReads_ || held == 0) && ::ioctl(fd, FIONREAD, &waiting) != 0) {
            e = errno;
            if (!DeviceGoneError(e))
                throw EVaCommError(VaErrorMessage("Error retrieving statistics (%d), %s", e));
            waiting = 0;
        }
        status.cbInQue = static_cast<uint32_t>(held) + static_cast<uint32_t>(waiting);
    }
    int outgoing = 0;
    if (::ioctl(fd, TIOCOUTQ, &outgoing) != 0)
        outgoing = 0;
    std::shared_ptr<TVaCommWriteThread> writer;
    {
        std::lock_guard writerLock(writeThreadMutex_);
        writer = writeThread_;
    }
    status.cbOutQue = static_cast<uint32_t>(outgoing) + (writer ? static_cast<uint32_t>(writer->Queued()) : 0u);
}

// ---- Writing ----------------------------------------------------------------------------------------

int32_t TVaCustomComm::WriteBuf(const void* data, int32_t count)
{
    if (!Active() || count < 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    return directWrite_ ? DirectWriteBuf(bytes, count) : QueueWriteBuf(bytes, count);
}

int32_t TVaCustomComm::QueueWriteBuf(const uint8_t* data, int32_t count)
{
    std::shared_ptr<TVaCommWriteThread> writer;
    {
        std::lock_guard lock(writeThreadMutex_);
        writer = writeThread_;
    }
    if (!writer)
        return 0;
    int32_t accepted = 0;
    switch (writer->Enqueue(data, count, buffers_.WriteTimeout(), accepted)) {
    case TVaCommWriteThread::Result::Accepted:
        return count;
    case TVaCommWriteThread::Result::Closed:
        return accepted;
    case TVaCommWriteThread::Result::Full:
        break;
    }
    throw EVaQueueFull();
}

int32_t TVaCustomComm::DirectWriteBuf(const uint8_t* data, int32_t count)
{
    std::lock_guard lock(WriteLock);
    const int fd = fd_.load();
    if (fd < 0)
        return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(buffers_.WriteTimeout());
    int32_t done = 0;
    while (done < count) {
        const ssize_t written = ::write(fd, data + done, static_cast<size_t>(count - done));
        if (written >= 0) {
            done += static_cast<int32_t>(written);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw EVaCommError(VaErrorMessage("Write error (%d), %s", errno));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
    }
    if (done > 0 && (eventMask_ & EV_TXEMPTY) && eventThread_) {
        // The event thread reports the output empty once the driver has sent everything.
        txPending_.store(true);
        eventThread_->Nudge();
    }
    return done;
}

bool TVaCustomComm::WriteText(std::string_view text)
{
    return WriteBuf(text.data(), static_cast<int32_t>(text.size())) == static_cast<int32_t>(text.size());
}

bool TVaCustomComm::WriteChar(char ch)
{
    return WriteBuf(&ch, 1) == 1;
}

// ---- Purge and lines --------------------------------------------------------------------------------

void TVaCustomComm::Purge(uint32_t flags)
{
    if (!Active())
        return;
    std::lock_guard lock(ReadLock);
    const uint32_t inputOnly = PURGE_RXABORT | PURGE_RXCLEAR;
    if (flags != inputOnly) {
        std::shared_ptr<TVaCommWriteThread> writer;
        {
            std::lock_guard writerLock(writeThreadMutex_);
            writer = writeThread_;
        }
        if (writer)
            writer->Flush();
    }
    const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    const bool input = (flags & inputOnly) != 0;
    if (!output && !input)
        return;
    // Purging the input holds the event thread off between its reading of the device and its
    // handing the bytes to a component's sink, so that nothing received before the purge reaches
    // a component after it (a protocol purges right before its transfer starts).
    std::unique_lock<std::mutex> dispatchLock, inputLock;
    if (input) {
        dispatchLock = std::unique_lock(dispatchMutex_);
        inputLock = std::unique_lock(inputMutex_);
        input_.clear();
        inputStart_ = 0;
    }
    if (::tcflush(fd_.load(), output && input ? TCIOFLUSH : output ? TCOFLUSH : TCIFLUSH) != 0)
        throw EVaCommError(VaErrorMessage("Error clearing buffers (%d), %s", errno));
}

void TVaCustomComm::SetDTR(bool state)
{
    if (flowControl_.ControlDtr() == dtrHandshake)
        throw EVaCommError("DTR line updates not allowed when flowcontrol is set to Handshake.");
    CommFunction(true, state);
}

void TVaCustomComm::SetRTS(bool state)
{
    if (flowControl_.ControlRts() == rtsHandshake || flowControl_.ControlRts() == rtsToggle)
        throw EVaCommError("RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
    CommFunction(false, state);
}

void TVaCustomComm::CommFunction(bool dtr, bool on)
{
    const int fd = fd_.load();
    if (fd < 0)
        return;
    if (!activeModemLines_->Drive(fd, dtr, on))
        throw EVaCommError(VaErrorMessage("Error calling comm function (%d), %s", errno));
}

bool TVaCustomComm::ModemBit(uint32_t bit)
{
    const int fd = fd_.load();
    if (fd < 0)
        return false;
    if (threeWire_)
        return (bit & (MS_CTS_ON | MS_DSR_ON)) != 0;
    uint32_t status = 0;
    if (!activeModemLines_->Status(fd, status))
        throw EVaCommError(VaErrorMessage("Error reading modem state (%d), %s", errno));
    return (status & bit) != 0;
}

bool TVaCustomComm::CheckLineErrors()
{
    uint32_t errors;
    TVaComStat status;
    GetStatistics(errors, status);
    if (errors != 0) {
        if (auto handler = OnError) {
            try {
                handler(this, static_cast<int32_t>(errors));
            } catch (...) {
                VaHandleException(std::current_exception());
            }
        }
    }
    return errors != 0;
}

// ---- Events on the main thread ----------------------------------------------------------------------

void TVaCustomComm::RunBatch(uint32_t mask)
{
    try {
        if (mask & EV_RXCHAR) {
            HandleRxChar();
            mask &= ~EV_RXCHAR;
        }
        if (mask)
            HandleEvents(mask);
    } catch (...) {
        VaHandleException(std::current_exception());
    }
}

void TVaCustomComm::HandleRxChar()
{
    const int32_t n = ReadBufUsed();
    if (n <= 0)
        return;
    if (!dispatchers_.empty()) {
        std::vector<uint8_t> data(static_cast<size_t>(n));
        const int32_t got = ReadBuf(data.data(), n);
        DispatchData(data.data(), got);
    } else if (auto handler = OnRxChar) {
        handler(this, n);
    }
}

void TVaCustomComm::HandleEvents(uint32_t mask)
{
    if (mask & EV_ERR)
        CheckLineErrors();
    if (!dispatchers_.empty())
        DispatchEvents(mask);
    const std::pair<uint32_t, TNotifyEvent TVaCustomComm::*> order[] = {
        {EV_RXFLAG, &TVaCustomComm::OnRxFlag},   {EV_CTS, &TVaCustomComm::OnCts},
        {EV_DSR, &TVaCustomComm::OnDsr},         {EV_RING, &TVaCustomComm::OnRing},
        {EV_RLSD, &TVaCustomComm::OnRlsd},       {EV_TXEMPTY, &TVaCustomComm::OnTxEmpty},
        {EV_BREAK, &TVaCustomComm::OnBreak},     {EV_PERR, &TVaCustomComm::OnPErr},
        {EV_RX80FULL, &TVaCustomComm::OnRx80Full}, {EV_EVENT1, &TVaCustomComm::OnEvent1},
        {EV_EVENT2, &TVaCustomComm::OnEvent2}};
    for (const auto& [bit, member] : order) {
        if (!(mask & bit))
            continue;
        // A copy: the handler may clear or replace its own event while it runs.
        if (TNotifyEvent handler = this->*member)
            handler(this);
    }
}

void TVaCustomComm::DispatchEvents(uint32_t mask)
{
    const std::vector<TVaDispatcher*> snapshot = dispatchers_;
    for (TVaDispatcher* d : snapshot) {
        if (std::find(dispatchers_.begin(), dispatchers_.end(), d) != dispatchers_.end() && d->Active())
            d->Client()->HandleCommEvents(mask);
    }
}

void TVaCustomComm::DispatchData(PVaData data, int32_t count)
{
    const std::vector<TVaDispatcher*> snapshot = dispatchers_;
    for (TVaDispatcher* d : snapshot) {
        if (std::find(dispatchers_.begin(), dispatchers_.end(), d) != dispatchers_.end() && d->Active())
            d->Client()->HandleCommData(data, count);
    }
    if (auto handler = OnRxBuf)
        handler(this, data, count);
}

bool TVaCustomComm::DispatchDirect()
{
    // Event thread. While every attached component has a sink, the bytes that have come in go to
    // the active ones here, in list order; OnRxBuf still sees them afterwards, on the main thread
    // and without this thread waiting for it.
    std::lock_guard lock(dispatchMutex_);
    if (dispatchers_.empty())
        return false;
    for (const TVaDispatcher* d : dispatchers_)
        if (!d->sink_)
            return false;
    {
        std::lock_guard inputLock(inputMutex_);
        directChunk_.assign(input_.begin() + static_cast<ptrdiff_t>(inputStart_), input_.end());
        input_.clear();
        inputStart_ = 0;
    }
    if (directChunk_.empty())
        return true;
    const auto count = static_cast<int32_t>(directChunk_.size());
    for (TVaDispatcher* d : dispatchers_)
        if (d->Active())
            d->sink_->TakeCommData(directChunk_.data(), count);
    if (OnRxBuf.Assigned()) {
        QueueForMain([this, session = session_.load(), chunk = directChunk_] {
            if (!Active() || session_.load() != session)
                return;
            try {
                if (auto handler = OnRxBuf)
                    handler(this, chunk.data(), static_cast<int32_t>(chunk.size()));
            } catch (...) {
                VaHandleException(std::current_exception());
            }
        });
    }
    return true;
}

void TVaCustomComm::QueueForMain(std::function<void()> fn)
{
    VaQueue([alive = std::weak_ptr<int>(alive_), fn = std::move(fn)] {
        if (!alive.expired())
            fn();
    });
}

void TVaCustomComm::QueueTxEmpty(uint64_t session)
{
    // With nobody to tell, a drained queue costs the main thread nothing (a protocol's blocks
    // would wake it once each).
    if (!OnTxEmpty.Assigned() && eventClients_.load() == 0)
        return;
    // The write thread goes on at once; drains that happen before the main thread has handled
    // the previous one are reported together.
    if (txEmptyQueued_.exchange(true))
        return;
    QueueForMain([this, session] {
        txEmptyQueued_.store(false);
        if (!Active() || session_.load() != session)
            return;
        try {
            HandleEvents(EV_TXEMPTY);
        } catch (...) {
            VaHandleException(std::current_exception());
        }
    });
}

void TVaCustomComm::DeviceLost(uint64_t session)
{
    if (!Active() || session_.load() != session)
        return;
    if (auto handler = OnDisconnect)
        handler(this);
}

// ---- Attachment -------------------------------------------------------------------------------------

void TVaCustomComm::AttachDispatcher(TVaDispatcher* dispatcher)
{
    std::lock_guard lock(dispatchMutex_);
    dispatcher->comm_.store(this);
    dispatchers_.push_back(dispatcher);
    if (dispatcher->eventsWanted_)
        eventClients_.fetch_add(1);
    UpdateLeases();
}

void TVaCustomComm::DetachDispatcher(TVaDispatcher* dispatcher)
{
    // Once this returns, the event thread hands the component's sink nothing more.
    std::lock_guard lock(dispatchMutex_);
    const auto it = std::find(dispatchers_.begin(), dispatchers_.end(), dispatcher);
    if (it == dispatchers_.end())
        return;
    dispatcher->comm_.store(nullptr);
    dispatchers_.erase(it);
    if (dispatcher->eventsWanted_)
        eventClients_.fetch_sub(1);
    if (dispatcher->lease_)
        TakeLease(dispatcher);
    UpdateLeases();
}

void TVaCustomComm::UpdateLeases()
{
    const bool allowed = lendable_ && !dispatchers_.empty() &&
                         std::all_of(dispatchers_.begin(), dispatchers_.end(),
                                     [](const TVaDispatcher* d) { return d->sink_ != nullptr; });
    for (TVaDispatcher* d : dispatchers_) {
        if (allowed && !d->lease_) {
            d->lease_.reset(new TVaReadLease(*this, fd_.load(), *eventThread_));
            d->sink_->LendReader(d->lease_);
        } else if (!allowed && d->lease_) {
            TakeLease(d);
        }
    }
}

void TVaCustomComm::TakeLease(TVaDispatcher* dispatcher)
{
    // Not waited for here: a worker still inside the lease's wait dispatches what it reads to the
    // components attached by then, or leaves it to the main thread.
    dispatcher->lease_->Revoke(false);
    dispatcher->sink_->LendReader(nullptr);
    dispatcher->lease_.reset();
}

void TVaCustomComm::RevokeLeases()
{
    std::vector<std::shared_ptr<TVaReadLease>> leases;
    {
        std::lock_guard lock(dispatchMutex_);
        lendable_ = false;
        for (TVaDispatcher* d : dispatchers_) {
            if (d->lease_) {
                leases.push_back(d->lease_);
                TakeLease(d);
            }
        }
    }
    // A worker inside a wait reads and dispatches no more than one chunk and never waits for the
    // main thread, so this wait is short; after it, nothing uses the device or the event thread.
    for (const auto& lease : leases)
        lease->Revoke(true);
}

void TVaCustomComm::DetachAll()
{
    while (!dispatchers_.empty())
        DetachDispatcher(dispatchers_.back());
}

// ---- Properties -------------------------------------------------------------------------------------

int32_t TVaCustomComm::EffectiveBaudrate() const
{
    return baudrate_ == brUser ? userBaudrate_ : RateOf(baudrate_);
}

void TVaCustomComm::SetBaudrate(TVaBaudrate v)
{
    if (v == baudrate_)
        return;
    baudrate_ = v;
    if (v != brUser)
        userBaudrate_ = 0;
    ApplyDCB();
}

void TVaCustomComm::SetUserBaudrate(int32_t v)
{
    if (v == userBaudrate_)
        return;
    userBaudrate_ = v;
    baudrate_ = brUser;
    ApplyDCB();
}

void TVaCustomComm::SetParity(TVaParity v) { SetLineSetting(parity_, v); }
void TVaCustomComm::SetDatabits(TVaDatabits v) { SetLineSetting(databits_, v); }
void TVaCustomComm::SetStopbits(TVaStopbits v) { SetLineSetting(stopbits_, v); }
void TVaCustomComm::SetOptions(TVaCommOptions v) { SetLineSetting(options_, v); }

void TVaCustomComm::SettingsChanged()
{
    ApplyDCB();
}

void TVaCustomComm::BuffersChanged()
{
    // The new value stays and counts from the next Open.
    CheckClosed();
}

void TVaCustomComm::SetBuffers(const TVaBuffers& v)
{
    CheckClosed();
    buffers_.Assign(v);
}

void TVaCustomComm::SetPortNum(int32_t v)
{
    CheckClosed();
    portNum_ = std::max(v, 0);
}

void TVaCustomComm::SetDeviceName(const std::string& v)
{
    CheckClosed();
    deviceName_ = v;
}

void TVaCustomComm::SetMonitorEvents(TVaCommEvents v)
{
    CheckClosed();
    monitorEvents_ = v;
}

void TVaCustomComm::SetDirectWrite(bool v)
{
    CheckClosed();
    directWrite_ = v;
}

void TVaCustomComm::SetUpdateDCB(bool v)
{
    CheckClosed();
    updateDCB_ = v;
}

void TVaCustomComm::SetEventPriority(TVaThreadPriority v)
{
    if (v == eventPriority_)
        return;
    eventPriority_ = v;
    if (eventThread_)
        eventThread_->SetPriority(v);
}

void TVaCustomComm::SetWritePriority(TVaThreadPriority v)
{
    if (v == writePriority_)
        return;
    writePriority_ = v;
    std::lock_guard lock(writeThreadMutex_);
    if (writeThread_)
        writeThread_->SetPriority(v);
}

void TVaCustomComm::SetModemLines(std::shared_ptr<TVaModemLines> lines)
{
    modemLines_ = std::move(lines);
}

// ---- Port names -------------------------------------------------------------------------------------

void TVaCustomComm::GetComPortNames(std::vector<std::string>& list)
{
    GetComPortNames(list, "/sys/class/tty");
}

void TVaCustomComm::GetComPortNames(std::vector<std::string>& list, const std::string& sysClassTty)
{
    namespace fs = std::filesystem;
    list.clear();
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(sysClassTty, ec)) {
        // Only ttys backed by a device are serial ports; virtual consoles and ptys have none.
        if (!fs::exists(entry.path() / "device", ec))
            continue;
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyS", 0) == 0) {
            // The kernel lists every possible 8250 port; those without a UART report type 0.
            std::ifstream type(entry.path() / "type");
            int value = -1;
            if (type >> value && value == 0)
                continue;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    list = std::move(names);
}

void TVaCustomComm::AppendPortPatterns(std::vector<std::string>& list, const std::string& patterns)
{
    size_t start = 0;
    while (start <= patterns.size()) {
        size_t end = patterns.find(',', start);
        if (end == std::string::npos)
            end = patterns.size();
        std::string pattern = patterns.substr(start, end - start);
        const auto first = pattern.find_first_not_of(" \t");
        const auto last = pattern.find_last_not_of(" \t");
        pattern = first == std::string::npos ? "" : pattern.substr(first, last - first + 1);
        start = end + 1;
        if (pattern.empty())
            continue;
        glob_t matches{};
        if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                if (std::find(list.begin(), list.end(), path) == list.end())
                    list.push_back(path);
            }
        }
        ::globfree(&matches);
    }
}
