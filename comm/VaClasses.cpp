#include "VaClasses.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

std::string VaFormat(const std::string& text, std::initializer_list<std::string> args)
{
    std::string out;
    out.reserve(text.size() + 32);
    auto next = args.begin();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%' && i + 1 < text.size()) {
            const char k = text[i + 1];
            if (k == '%') {
                out += '%';
                ++i;
                continue;
            }
            if ((k == 'd' || k == 's') && next != args.end()) {
                out += *next++;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

std::string VaErrorMessage(const std::string& text, int errorCode)
{
    return VaFormat(text, {std::to_string(errorCode), std::strerror(errorCode)});
}

TVaErrorKind VaErrorKindOf(int error)
{
    switch (error) {
    case ENOENT:
        return ekNotFound;
    case EACCES:
    case EPERM:
        return ekPermission;
    case EBUSY:
    case EWOULDBLOCK: // a lock held by another opener
        return ekBusy;
    // A closed pseudo-terminal, an unplugged adapter, a dropped connection.
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
    case EBADF:
    case ECONNRESET:
    case ENOTCONN:
    case ESHUTDOWN:
        return ekGone;
    case EINVAL:
        return ekBadSetting;
    case ETIMEDOUT:
        return ekTimedOut;
    default:
        return ekOther;
    }
}

EVaCommError VaCommError(const std::string& text, int errorCode, TVaErrorKind fallback)
{
    const TVaErrorKind known = VaErrorKindOf(errorCode);
    return EVaCommError(VaErrorMessage(text, errorCode), known != ekOther ? known : fallback, errorCode);
}

// ---- Signals ----------------------------------------------------------------------------------------

TVaHandleObject::~TVaHandleObject()
{
    if (handle_ >= 0)
        ::close(handle_);
}

TVaWaitEvent::TVaWaitEvent()
{
    handle_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (handle_ < 0)
        throw VaCommError("Error creating event (%d), %s", errno);
}

void TVaWaitEvent::Signal()
{
    std::lock_guard lock(mutex_);
    if (set_)
        return;
    set_ = true;
    const uint64_t one = 1;
    if (::write(handle_, &one, sizeof one) < 0)
        lastError_ = errno;
}

void TVaWaitEvent::Reset()
{
    std::lock_guard lock(mutex_);
    if (!set_)
        return;
    set_ = false;
    uint64_t value;
    if (::read(handle_, &value, sizeof value) < 0)
        lastError_ = errno;
}

bool TVaWaitEvent::IsSet() const
{
    std::lock_guard lock(mutex_);
    return set_;
}

TVaWaitResult TVaWaitEvent::WaitFor(int ms)
{
    const int r = VaWaitForAny({this}, ms);
    if (r == 0)
        return TVaWaitResult::wrSignaled;
    if (r == -1)
        return TVaWaitResult::wrTimeout;
    return TVaWaitResult::wrError;
}

int VaWaitForAny(std::initializer_list<TVaWaitEvent*> events, int ms)
{
    pollfd fds[8];
    const size_t n = std::min<size_t>(events.size(), 8);
    size_t i = 0;
    for (TVaWaitEvent* e : events) {
        if (i == n)
            break;
        fds[i++] = pollfd{e->Handle(), POLLIN, 0};
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int timeout = ms;
        if (ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        const int r = ::poll(fds, n, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -2;
        }
        if (r == 0)
            return -1;
        // An eventfd can be readable a moment after a Reset raced with a Signal; the flag decides.
        i = 0;
        for (TVaWaitEvent* e : events) {
            if (i == n)
                break;
            if ((fds[i].revents & POLLIN) && e->IsSet())
                return static_cast<int>(i);
            ++i;
        }
        if (ms == 0)
            return -1;
    }
}

// ---- Hand-over to the main thread -------------------------------------------------------------------

struct TVaSyncRequest {
    std::function<void()> fn;
    bool queued = false; // nobody waits for it
    bool done = false;
    std::exception_ptr error;
};

namespace {

struct SyncState {
    std::mutex mutex;
    std::condition_variable mainCv;   // wakes the main thread waiting in VaWaitServing
    std::condition_variable workerCv; // wakes workers waiting for their request to be run
    std::deque<std::shared_ptr<TVaSyncRequest>> queue;
    std::function<void()> wake;
    std::atomic<std::thread::id> mainThread{std::this_thread::get_id()}; // read without the lock
    uint64_t notifications = 0;
    std::function<void(std::exception_ptr)> exceptionHandler;
    bool inRound = false;  // CheckSynchronize is running calls
    size_t roundLeft = 0;  // calls at the front of the queue that belong to the running round
};

SyncState& Sync()
{
    // Never destroyed: a worker still waiting in a hand-over at exit must not hold the exit up.
    static SyncState* const state = new SyncState;
    return *state;
}

// The state is created during static initialisation, on the process's main thread.
[[maybe_unused]] const bool syncInitialised = (Sync(), true);

void WakeMain(SyncState& s, std::unique_lock<std::mutex>& lock)
{
    ++s.notifications;
    auto wake = s.wake;
    lock.unlock();
    s.mainCv.notify_all();
    if (wake)
        wake();
}

} // namespace

void VaSetMainThread()
{
    Sync().mainThread.store(std::this_thread::get_id());
}

bool VaIsMainThread()
{
    return Sync().mainThread.load() == std::this_thread::get_id();
}

void VaSetWakeMainThread(std::function<void()> wake)
{
    std::lock_guard lock(Sync().mutex);
    Sync().wake = std::move(wake);
}

void Synchronize(const std::function<void()>& fn)
{
    if (VaIsMainThread()) {
        fn();
        return;
    }
    SyncState& s = Sync();
    auto request = std::make_shared<TVaSyncRequest>();
    request->fn = fn;
    std::unique_lock lock(s.mutex);
    s.queue.push_back(request);
    WakeMain(s, lock);
    lock.lock();
    s.workerCv.wait(lock, [&] { return request->done; });
    // Take the exception over, so that its last reference is dropped on this thread.
    std::exception_ptr error = std::move(request->error);
    lock.unlock();
    if (error)
        std::rethrow_exception(error);
}

TVaPendingCall SynchronizeLater(std::function<void()> fn)
{
    TVaPendingCall call;
    if (VaIsMainThread()) {
        fn();
        return call;
    }
    SyncState& s = Sync();
    call.request_ = std::make_shared<TVaSyncRequest>();
    call.request_->fn = std::move(fn);
    std::unique_lock lock(s.mutex);
    s.queue.push_back(call.request_);
    WakeMain(s, lock);
    return call;
}

bool TVaPendingCall::Pending() const
{
    if (!request_)
        return false;
    std::lock_guard lock(Sync().mutex);
    return !request_->done;
}

void TVaPendingCall::Await()
{
    if (!request_)
        return;
    SyncState& s = Sync();
    std::exception_ptr error;
    {
        std::unique_lock lock(s.mutex);
        s.workerCv.wait(lock, [&] { return request_->done; });
        error = std::move(request_->error);
    }
    request_.reset();
    if (error)
        std::rethrow_exception(error);
}

void VaQueue(std::function<void()> fn)
{
    SyncState& s = Sync();
    auto request = std::make_shared<TVaSyncRequest>();
    request->fn = std::move(fn);
    request->queued = true;
    std::unique_lock lock(s.mutex);
    if (s.inRound && s.mainThread.load() == std::this_thread::get_id()) {
        // What the main thread queues while it runs a round (the clean-up after a thread's end)
        // belongs to that round: it cannot flood it, and it is done before a wait that is over
        // returns.
        s.queue.insert(s.queue.begin() + static_cast<ptrdiff_t>(s.roundLeft), request);
        ++s.roundLeft;
    } else {
        s.queue.push_back(request);
    }
    WakeMain(s, lock);
}

bool CheckSynchronize()
{
    SyncState& s = Sync();
    bool ran = false;
    bool outerRound;
    {
        std::lock_guard lock(s.mutex);
        outerRound = s.inRound;
        s.inRound = true;
        s.roundLeft = s.queue.size();
    }
    for (;;) {
        std::shared_ptr<TVaSyncRequest> request;
        {
            std::lock_guard lock(s.mutex);
            if (s.roundLeft == 0 || s.queue.empty()) {
                // A round run from inside a call has taken what was left of the outer one.
                s.inRound = outerRound;
                s.roundLeft = 0;
                break;
            }
            request = s.queue.front();
            s.queue.pop_front();
            --s.roundLeft;
        }
        ran = true;
        std::exception_ptr error;
        try {
            request->fn();
        } catch (...) {
            error = std::current_exception();
        }
        // A queued call has nobody to rethrow to: report it here.
        if (error && request->queued)
            VaHandleException(std::exchange(error, nullptr));
        {
            std::lock_guard lock(s.mutex);
            request->done = true;
            request->error = std::move(error);
        }
        s.workerCv.notify_all();
    }
    return ran;
}

bool VaWaitServing(const std::function<bool()>& pred, std::chrono::steady_clock::time_point deadline)
{
    SyncState& s = Sync();
    for (;;) {
        CheckSynchronize();
        if (pred())
            return true;
        std::unique_lock lock(s.mutex);
        const uint64_t seen = s.notifications;
        if (!s.queue.empty())
            continue;
        // Test the predicate again under the lock: VaNotifyWaiters takes it, so no wake-up is lost.
        lock.unlock();
        if (pred())
            return true;
        lock.lock();
        if (s.notifications != seen || !s.queue.empty())
            continue;
        if (deadline == std::chrono::steady_clock::time_point::max())
            s.mainCv.wait(lock, [&] { return s.notifications != seen; });
        else if (!s.mainCv.wait_until(lock, deadline, [&] { return s.notifications != seen; })) {
            lock.unlock();
            CheckSynchronize();
            return pred();
        }
    }
}

bool VaWaitServing(const std::function<bool()>& pred)
{
    return VaWaitServing(pred, std::chrono::steady_clock::time_point::max());
}

void VaNotifyWaiters()
{
    SyncState& s = Sync();
    {
        std::lock_guard lock(s.mutex);
        ++s.notifications;
    }
    s.mainCv.notify_all();
}

void VaSetExceptionHandler(std::function<void(std::exception_ptr)> handler)
{
    std::lock_guard lock(Sync().mutex);
    Sync().exceptionHandler = std::move(handler);
}

void VaHandleException(std::exception_ptr error)
{
    std::function<void(std::exception_ptr)> handler;
    {
        std::lock_guard lock(Sync().mutex);
        handler = Sync().exceptionHandler;
    }
    if (handler) {
        handler(error);
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
    } catch (...) {
        std::cerr << "Unknown error\n";
    }
}

// ---- Threads ----------------------------------------------------------------------------------------

TVaThread::~TVaThread()
{
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else {
            Terminate();
            WaitFor();
        }
    }
}

void TVaThread::Start()
{
    thread_ = std::thread([this] { Run(); });
    started_.store(true);
    started_.notify_all();
}

void TVaThread::Run()
{
    // A self-freeing thread detaches thread_ at its end: wait until Start has stored it.
    started_.wait(false);
    tid_.store(static_cast<int>(::syscall(SYS_gettid)));
    ApplyPriority();
    try {
        Execute();
    } catch (...) {
        VaQueue([error = std::current_exception()] { VaHandleException(error); });
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (...) {
            VaQueue([error = std::current_exception()] { VaHandleException(error); });
        }
    }
    if (FreeOnTerminate) {
        thread_.detach();
        delete this;
        return;
    }
    finished_.store(true);
    VaNotifyWaiters();
}

void TVaThread::WaitFor()
{
    if (!thread_.joinable())
        return;
    if (VaIsMainThread())
        VaWaitServing([this] { return Finished(); });
    thread_.join();
}

void TVaThread::SetPriority(TVaThreadPriority priority)
{
    priority_ = priority;
    ApplyPriority();
}

void TVaThread::ApplyPriority()
{
    // Threads share one scheduling class on Linux; the level maps to a nice value. Raising a
    // thread above normal needs privileges: without them the thread simply stays at normal.
    static constexpr int niceOf[] = {19, 10, 5, 0, -5, -10, -15};
    const int tid = tid_.load();
    if (tid > 0)
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), niceOf[priority_]);
}

// ---- Components -------------------------------------------------------------------------------------

TVaComponent::~TVaComponent()
{
    BeginDestruction();
}

void TVaComponent::BeginDestruction()
{
    if (destroying_)
        return;
    destroying_ = true;
    // Tell every component that asked; each removes itself from our list in turn.
    while (!notified_.empty()) {
        TVaComponent* other = notified_.back();
        notified_.pop_back();
        auto& theirs = other->notified_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        other->Notification(this, TVaOperation::opRemove);
    }
}

void TVaComponent::FreeNotification(TVaComponent* other)
{
    if (!other || other == this)
        return;
    if (std::find(notified_.begin(), notified_.end(), other) == notified_.end())
        notified_.push_back(other);
    if (std::find(other->notified_.begin(), other->notified_.end(), this) == other->notified_.end())
        other->notified_.push_back(this);
}

void TVaComponent::RemoveFreeNotification(TVaComponent* other)
{
    if (!other)
        return;
    notified_.erase(std::remove(notified_.begin(), notified_.end(), other), notified_.end());
    other->notified_.erase(std::remove(other->notified_.begin(), other->notified_.end(), this),
                           other->notified_.end());
}

void TVaComponent::Notification(TVaComponent*, TVaOperation) {}
