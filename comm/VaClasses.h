// Small base classes of the serial library: the exception class, signal objects, recursive locks,
// threads and the synchronous hand-over of calls to the main thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// What kind of failure an error of the port component is, so that callers decide on it rather than
// on its message: the device does not exist, may not be opened by this user, is held by another
// opener, has gone away while open, refused a setting, did not answer in time, or anything else.
enum TVaErrorKind { ekOther, ekNotFound, ekPermission, ekBusy, ekGone, ekBadSetting, ekTimedOut };

// The kind of a failed system call's errno; the one place that says which errors mean what.
TVaErrorKind VaErrorKindOf(int error);

// The one exception class of the port component: its message, the kind of failure and the errno
// it came from (0 where there is none).
class EVaCommError : public std::runtime_error {
public:
    explicit EVaCommError(const std::string& message, TVaErrorKind kind = ekOther, int error = 0)
        : std::runtime_error(message), kind_(kind), error_(error)
    {
    }
    TVaErrorKind Kind() const { return kind_; }
    int Error() const { return error_; }

private:
    TVaErrorKind kind_;
    int error_;
};

// The output queue had no room for a write within the write time-out.
class EVaQueueFull : public EVaCommError {
public:
    EVaQueueFull() : EVaCommError("Output buffer is full. Please check comm status.", ekTimedOut) {}
};

// Formats a message with printf-like "%d" and "%s" placeholders, filled in order from args
// ("%%" gives "%"). Placeholders without an argument are left as they stand.
std::string VaFormat(const std::string& text, std::initializer_list<std::string> args);

// Builds the message of a failed system call: text formatted with the error code and its text.
std::string VaErrorMessage(const std::string& text, int errorCode);

// The error of a failed system call: the message as VaErrorMessage builds it, the errno and its
// kind; fallback is the kind where the errno tells nothing more particular.
EVaCommError VaCommError(const std::string& text, int errorCode, TVaErrorKind fallback = ekOther);

// A small set of enumeration values, stored as bits.
template <class E>
class TVaSet {
public:
    constexpr TVaSet() = default;
    constexpr TVaSet(std::initializer_list<E> values)
    {
        for (E v : values)
            bits_ |= Bit(v);
    }
    constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
    constexpr TVaSet& Include(E v)
    {
        bits_ |= Bit(v);
        return *this;
    }
    constexpr TVaSet& Exclude(E v)
    {
        bits_ &= ~Bit(v);
        return *this;
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr uint32_t Bits() const { return bits_; }
    constexpr bool operator==(const TVaSet&) const = default;

private:
    static constexpr uint32_t Bit(E v) { return 1u << static_cast<unsigned>(v); }
    uint32_t bits_ = 0;
};

// Holds a system handle (a file descriptor here), closed with the object, and the last error code.
class TVaHandleObject {
public:
    TVaHandleObject() = default;
    virtual ~TVaHandleObject();
    TVaHandleObject(const TVaHandleObject&) = delete;
    TVaHandleObject& operator=(const TVaHandleObject&) = delete;

    int Handle() const { return handle_; }
    int LastError() const { return lastError_; }

protected:
    int handle_ = -1;
    int lastError_ = 0;
};

class TVaEvent : public TVaHandleObject {};

enum class TVaWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// A manual-reset signal that starts clear, built on an eventfd so that it can be waited for together
// with other descriptors in one poll. Signal on an already set signal costs no system call.
class TVaWaitEvent : public TVaEvent {
public:
    TVaWaitEvent();
    void Signal();
    void Reset();
    bool IsSet() const;
    // Waits at most ms milliseconds (a negative ms waits without limit).
    TVaWaitResult WaitFor(int ms);

private:
    mutable std::mutex mutex_;
    bool set_ = false;
};

// Waits until one of the signals is set or ms milliseconds have passed (ms < 0: no limit).
// Returns the index of the first set signal in list order, or -1 on time-out.
int VaWaitForAny(std::initializer_list<TVaWaitEvent*> events, int ms);

// A recursive lock. Offers lock/unlock too, so that it works with std::lock_guard and
// std::condition_variable_any.
class TVaCriticalSection {
public:
    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }

private:
    std::recursive_mutex mutex_;
};

// ---- Hand-over of calls to the main thread -------------------------------------------------------
//
// Worker threads run their events on the main thread: Synchronize queues a call, wakes the main
// thread through the installed callback and blocks until the call has run there. The main thread
// runs queued calls with CheckSynchronize (the application calls it from its event loop). Whenever the
// main thread itself has to block inside the serial library (a thread ending, room in an output
// queue) it keeps running queued calls, so a worker waiting in a hand-over can always finish.

// An event handler that is set, cleared and called on the main thread, and that any thread may ask
// whether it is set: the port's threads skip the hand-over of an event that nobody listens to.
template <class F>
class TVaHandler;
template <class R, class... Args>
class TVaHandler<R(Args...)> {
public:
    TVaHandler() = default;
    TVaHandler(const TVaHandler& other) : fn_(other.fn_), assigned_(static_cast<bool>(fn_)) {}
    TVaHandler& operator=(const TVaHandler& other)
    {
        fn_ = other.fn_;
        assigned_.store(static_cast<bool>(fn_));
        return *this;
    }
    template <class G>
    TVaHandler& operator=(G&& fn)
    {
        fn_ = std::forward<G>(fn);
        assigned_.store(static_cast<bool>(fn_));
        return *this;
    }
    explicit operator bool() const { return static_cast<bool>(fn_); }
    R operator()(Args... args) const { return fn_(std::forward<Args>(args)...); }
    // Any thread.
    bool Assigned() const { return assigned_.load(); }

private:
    std::function<R(Args...)> fn_;
    std::atomic<bool> assigned_{false};
};

// Makes the calling thread the main thread (by default the thread that first used the library's
// hand-over functions after start-up is the one that constructed the first static: the process's main).
void VaSetMainThread();
bool VaIsMainThread();
// Installs the callback that tells the main thread's event loop to call CheckSynchronize soon.
// It is called from worker threads and must be thread-safe and must not block.
void VaSetWakeMainThread(std::function<void()> wake);
// Runs fn on the main thread and waits until it has run; an exception fn raises is rethrown here.
// On the main thread fn runs at once.
void Synchronize(const std::function<void()>& fn);
// Queues fn to run on the main thread without waiting for it.
void VaQueue(std::function<void()> fn);

// A call handed to the main thread whose end is awaited later: the worker goes on meanwhile, and
// Await costs no wake-up when the call has run by then.
struct TVaSyncRequest;
class TVaPendingCall {
public:
    TVaPendingCall() = default;
    // Whether a call was handed over and has not run yet.
    bool Pending() const;
    // Waits until the call has run (nothing when none was handed over) and rethrows what it raised.
    void Await();

private:
    friend TVaPendingCall SynchronizeLater(std::function<void()> fn);
    std::shared_ptr<TVaSyncRequest> request_;
};
// Queues fn for the main thread like Synchronize, but returns at once. On the main thread fn runs
// at once.
TVaPendingCall SynchronizeLater(std::function<void()> fn);

// Runs the calls queued before it was called; returns true when at least one ran. Calls queued
// meanwhile wait for the next round (each has woken the main thread), so that a thread handing
// over as fast as the main thread runs its calls cannot hold the main thread's event loop up.
// Main thread only.
bool CheckSynchronize();
// Main thread: runs queued calls and sleeps until pred() holds or the deadline passes; returns pred().
// Anything that can make pred() true must call VaNotifyWaiters afterwards.
bool VaWaitServing(const std::function<bool()>& pred, std::chrono::steady_clock::time_point deadline);
bool VaWaitServing(const std::function<bool()>& pred);
void VaNotifyWaiters();

// The application's exception handler: reports an exception that reached an event loop.
// The default handler writes the message to standard error.
void VaSetExceptionHandler(std::function<void(std::exception_ptr)> handler);
void VaHandleException(std::exception_ptr error);

// ---- Threads ----------------------------------------------------------------------------------------

enum TVaThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A worker thread in the manner of the desktop frameworks: created suspended, started with Start,
// asked to end with Terminate, waited for with WaitFor.
class TVaThread {
public:
    TVaThread() = default;
    virtual ~TVaThread();
    TVaThread(const TVaThread&) = delete;
    TVaThread& operator=(const TVaThread&) = delete;

    void Start();
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    // Waits for the thread's end; on the main thread it keeps running hand-overs meanwhile.
    void WaitFor();
    void SetPriority(TVaThreadPriority priority);
    TVaThreadPriority Priority() const { return priority_; }

    // Runs on the main thread (through Synchronize) after Execute has returned.
    std::function<void(TVaThread*)> OnTerminate;
    // When set, the thread object deletes itself after OnTerminate; nobody may wait for it then.
    bool FreeOnTerminate = false;

protected:
    virtual void Execute() = 0;

private:
    void Run();
    void ApplyPriority();

    std::thread thread_;
    std::atomic<bool> started_{false}; // thread_ is set: Run may use it
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> tid_{0};
    TVaThreadPriority priority_ = tpNormal;
};

// ---- Components -------------------------------------------------------------------------------------

enum class TVaOperation { opInsert, opRemove };

// The component base: an owner reference, notifications of removal to components that asked for
// them, a loaded step, and the destroying and designing states.
class TVaComponent {
public:
    explicit TVaComponent(TVaComponent* owner = nullptr) : owner_(owner) {}
    virtual ~TVaComponent();
    TVaComponent(const TVaComponent&) = delete;
    TVaComponent& operator=(const TVaComponent&) = delete;

    TVaComponent* Owner() const { return owner_; }
    // Asks this component to tell other when it is being removed (and the other way round).
    void FreeNotification(TVaComponent* other);
    void RemoveFreeNotification(TVaComponent* other);
    virtual void Notification(TVaComponent* component, TVaOperation operation);
    // Called after the owner has set all stored properties.
    virtual void Loaded() {}
    bool Destroying() const { return destroying_; }
    bool Designing() const { return false; }

protected:
    // Derived destructors call this first: marks the component as being destroyed and tells the
    // components that asked for it.
    void BeginDestruction();

private:
    TVaComponent* owner_;
    std::vector<TVaComponent*> notified_;
    bool destroying_ = false;
};
