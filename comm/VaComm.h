// The serial port component: opens a tty, writes its line settings, watches line events with an
// event thread, sends output through a queue drained by a write thread, and delivers every event on
// the main thread. Components (such as a file transfer protocol) can borrow an open port by attaching
// to it; the port then hands its received data to them.
#pragma once

#include "VaClasses.h"
#include "VaPrst.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

using PVaData = const uint8_t*;

enum TVaBaudrate {
    brUser, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000,
    br57600, br115200, br128000, br256000
};
enum TVaParity { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits { db4, db5, db6, db7, db8 };
enum TVaStopbits { sb1, sb15, sb2 };
enum TVaCommOption { coErrorChar, coNullStrip, coParityCheck };
using TVaCommOptions = TVaSet<TVaCommOption>;
enum TVaCommEvent {
    ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty, ceRxFlag, cePErr, ceRx80Full,
    ceEvent1, ceEvent2
};
using TVaCommEvents = TVaSet<TVaCommEvent>;

// Event bits of a batch (the values of the desktop serial API, which callers compare against).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
constexpr uint32_t EV_PERR = 0x0200;
constexpr uint32_t EV_RX80FULL = 0x0400;
constexpr uint32_t EV_EVENT1 = 0x0800;
constexpr uint32_t EV_EVENT2 = 0x1000;
uint32_t VaEventBit(TVaCommEvent event);

// Line error flags reported by GetStatistics.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Modem status bits.
constexpr uint32_t MS_CTS_ON = 0x0010;
constexpr uint32_t MS_DSR_ON = 0x0020;
constexpr uint32_t MS_RING_ON = 0x0040;
constexpr uint32_t MS_RLSD_ON = 0x0080;

// Queue status of the port.
struct TVaComStat {
    uint32_t Flags = 0;
    uint32_t cbInQue = 0;  // received bytes waiting to be read
    uint32_t cbOutQue = 0; // bytes queued for sending and not yet handed to the driver
};

// A fixed-capacity byte queue. It does not check its capacity: whoever appends checks the room first.
class TVaCommBuffer {
public:
    explicit TVaCommBuffer(int32_t capacity);
    void Clear() { size_.store(0, std::memory_order_relaxed); }
    void Append(const void* source, int32_t count);
    void Peek(void* dest, int32_t count) const;
    void Extract(void* dest, int32_t count);
    void Remove(int32_t count);
    // The number of held bytes; one atomic word, so it may be read without a lock.
    int32_t Size() const { return size_.load(std::memory_order_acquire); }
    int32_t Capacity() const { return static_cast<int32_t>(data_.size()); }
    const uint8_t* Data() const { return data_.data(); }

private:
    std::vector<uint8_t> data_;
    std::atomic<int32_t> size_{0};
};

// Access to the modem-control lines of a device. The standard one uses the tty ioctls; a tty without
// modem-control lines (a pseudo-terminal) acts as a three-wire cable: CTS and DSR on, RING and RLSD
// off, DTR and RTS changes accepted and without effect. Tests put in a fake to hold CTS low or ring.
class TVaModemLines {
public:
    virtual ~TVaModemLines() = default;
    // Current MS_* bits of fd; false with errno set when the query fails.
    virtual bool Status(int fd, uint32_t& bits) = 0;
    // Raises (on) or lowers DTR (dtr) or RTS (!dtr); false with errno set on failure.
    virtual bool Drive(int fd, bool dtr, bool on) = 0;
    // Whether the line states must be polled for changes (real modem lines without notification).
    virtual bool NeedsPolling(int fd) = 0;
    // A descriptor that becomes readable when the lines change, or -1.
    virtual int ChangeDescriptor() { return -1; }
    // Called after the event thread has seen ChangeDescriptor readable.
    virtual void AcknowledgeChange() {}
};
std::shared_ptr<TVaModemLines> VaStandardModemLines();

class TVaCustomComm;

// What an attached component offers the port.
class IVaCommClient {
public:
    virtual ~IVaCommClient() = default;
    virtual void HandleCommEvents(uint32_t mask) = 0;
    virtual void HandleCommData(PVaData data, int32_t count) = 0;
};

class TVaCustomComm;
class TVaCommEventThread;

// Lets the worker behind a component's data sink read the port's device itself while it waits for
// bytes, so that the device wakes that thread directly instead of the event thread, which would
// then have to wake it. What the worker reads is dispatched as the event thread would dispatch it
// (to every attached component's sink, then OnRxBuf). The port lends it only while every attached
// component has a sink and no event derived from the received bytes (RxFlag, Rx80Full) is watched.
// While a lease is claimed the event thread leaves the received bytes to it: they wait in the
// driver until the worker next waits, as they would for any reader. Claimed, released and
// revoked on the main thread; waited on by the worker.
class TVaReadLease {
public:
    enum class TWaitResult { Ready, TimedOut, Unusable };

    // Worker: waits at most ms (negative: no limit) for wake or the device to become readable and
    // dispatches what the device holds. Unusable: revoked, or the device has gone; wait on wake
    // alone then.
    TWaitResult Wait(int wakeFd, int ms);
    // Main thread: the sink's worker runs and reads through the lease; the event thread leaves
    // received bytes alone meanwhile.
    void Claim(bool claimed);
    ~TVaReadLease();
    TVaReadLease(const TVaReadLease&) = delete;
    TVaReadLease& operator=(const TVaReadLease&) = delete;

private:
    friend class TVaCustomComm;
    TVaReadLease(TVaCustomComm& port, int fd, TVaCommEventThread& events)
        : port_(port), fd_(fd), events_(events)
    {
    }
    // Main thread: no more reading through this lease; with wait, until nobody is inside Wait.
    void Revoke(bool wait);
    void SetClaimed(bool claimed); // with mutex_ held
    bool WatchWith(int wakeFd);    // with mutex_ held

    TVaCustomComm& port_;
    const int fd_;
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

// Takes a component's received bytes on the port's event thread, for a component that passes them
// on to a thread of its own (a protocol's worker): the bytes then cross no hand-over to the main
// thread. It is called with the port's dispatch lock held, so it must be short and must not call
// the port. It lives as long as its last holder, so that a component's destruction cannot pull it
// away from an event thread that is using it.
class IVaCommDataSink {
public:
    virtual ~IVaCommDataSink() = default;
    virtual void TakeCommData(PVaData data, int32_t count) = 0;
    // Main thread, with the port's dispatch lock held: the port lends its device to the sink's
    // worker (a lease), or takes the lease back (nullptr; it is revoked by then).
    virtual void LendReader(std::shared_ptr<TVaReadLease>) {}
};

// The link between a component and the port it is attached to.
class TVaDispatcher {
public:
    explicit TVaDispatcher(IVaCommClient* client) : client_(client) {}
    bool Active() const { return active_.load(); }
    void SetActive(bool v) { active_.store(v); }
    TVaCustomComm* Comm() const { return comm_.load(); }
    IVaCommClient* Client() const { return client_; }
    // Writes through the attached port (any thread); 0 when none is attached.
    int32_t WriteBuf(const void* data, int32_t count);
    void PurgeReadWrite();

    // Received bytes go to sink on the port's event thread instead of to the client's
    // HandleCommData on the main thread, as long as every component attached to the port has a
    // sink. Set while not attached.
    void SetDataSink(std::shared_ptr<IVaCommDataSink> sink);
    // Whether the client's HandleCommEvents does anything: the port hands an output-drained event
    // to the main thread only when someone listens. Set while not attached.
    void SetEventsWanted(bool wanted);

private:
    friend class TVaCustomComm;
    void CheckDetached() const;

    std::atomic<bool> active_{true};
    std::atomic<TVaCustomComm*> comm_{nullptr};
    IVaCommClient* client_;
    std::shared_ptr<IVaCommDataSink> sink_;
    bool eventsWanted_ = true;
    std::shared_ptr<TVaReadLease> lease_; // what the port has lent sink_; under its dispatch lock
};

// A component that borrows a port: while attached, the port's received data and events reach it.
class TVaCommComponent : public TVaComponent, public IVaCommClient {
public:
    explicit TVaCommComponent(TVaComponent* owner = nullptr);
    ~TVaCommComponent() override;

    TVaCustomComm* Comm() const { return comm_; }
    // Detaches from the current port and attaches to comm (none when nullptr). Setting the same
    // port again moves the component to the end of that port's list.
    void SetComm(TVaCustomComm* comm);
    void SetDispatcherActive(bool active) { dispatcher_->SetActive(active); }
    TVaDispatcher& Dispatcher() { return *dispatcher_; }

    void HandleCommEvents(uint32_t) override {}
    void HandleCommData(PVaData, int32_t) override {}
    void Notification(TVaComponent* component, TVaOperation operation) override;

private:
    TVaCustomComm* comm_ = nullptr;
    std::unique_ptr<TVaDispatcher> dispatcher_;
};

class TVaCommWriteThread;

class TVaCustomComm : public TVaComponent {
public:
    explicit TVaCustomComm(TVaComponent* owner = nullptr);
    ~TVaCustomComm() override;

    // ---- Opening and closing
    void Open();
    void Close();
    bool Active() const { return fd_.load() >= 0; }
    std::string DevicePath() const;
    void Loaded() override;

    // ---- Writing (any thread)
    int32_t WriteBuf(const void* data, int32_t count);
    bool WriteText(std::string_view text);
    bool WriteChar(char ch);

    // ---- Reading (main thread)
    int32_t ReadBufUsed();
    int32_t ReadBuf(void* data, int32_t count);
    std::string ReadText();

    // ---- Status, purge and lines
    void GetStatistics(uint32_t& errors, TVaComStat& status);
    void Purge(uint32_t flags);
    void PurgeReadWrite() { Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR); }
    void SetDTR(bool state);
    void SetRTS(bool state);
    bool CTS() { return ModemBit(MS_CTS_ON); }
    bool DSR() { return ModemBit(MS_DSR_ON); }
    bool Ring() { return ModemBit(MS_RING_ON); }
    bool RLSD() { return ModemBit(MS_RLSD_ON); }

    // The serial devices the system knows, as names such as ttyUSB0 or ttyS0 (a ttyS without a
    // UART is left out). Opening a name uses /dev/ + name.
    static void GetComPortNames(std::vector<std::string>& list);
    // The same from another sysfs tree (tests).
    static void GetComPortNames(std::vector<std::string>& list, const std::string& sysClassTty);
    // Appends every existing path matched by the comma-separated glob patterns that list does not
    // hold yet.
    static void AppendPortPatterns(std::vector<std::string>& list, const std::string& patterns);

    // ---- Properties
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    TVaBaudrate Baudrate() const { return baudrate_; }
    void SetBaudrate(TVaBaudrate v);
    int32_t UserBaudrate() const { return userBaudrate_; }
    void SetUserBaudrate(int32_t v);
    // The rate written to the device.
    int32_t EffectiveBaudrate() const;
    TVaParity Parity() const { return parity_; }
    void SetParity(TVaParity v);
    TVaDatabits Databits() const { return databits_; }
    void SetDatabits(TVaDatabits v);
    TVaStopbits Stopbits() const { return stopbits_; }
    void SetStopbits(TVaStopbits v);
    TVaCommOptions Options() const { return options_; }
    void SetOptions(TVaCommOptions v);
    TVaEventChars& EventChars() { return eventChars_; }
    void SetEventChars(const TVaEventChars& v) { eventChars_.Assign(v); }
    TVaFlowControl& FlowControl() { return flowControl_; }
    void SetFlowControl(const TVaFlowControl& v) { flowControl_.Assign(v); }
    TVaBuffers& Buffers() { return buffers_; }
    void SetBuffers(const TVaBuffers& v);
    int32_t PortNum() const { return portNum_; }
    void SetPortNum(int32_t v);
    const std::string& DeviceName() const { return deviceName_; }
    void SetDeviceName(const std::string& v);
    TVaCommEvents MonitorEvents() const { return monitorEvents_; }
    void SetMonitorEvents(TVaCommEvents v);
    TVaThreadPriority EventPriority() const { return eventPriority_; }
    void SetEventPriority(TVaThreadPriority v);
    TVaThreadPriority WritePriority() const { return writePriority_; }
    void SetWritePriority(TVaThreadPriority v);
    bool DirectWrite() const { return directWrite_; }
    void SetDirectWrite(bool v);
    bool UpdateDCB() const { return updateDCB_; }
    void SetUpdateDCB(bool v);
    std::string Version() const { return "1.3.5.0"; }
    void SetVersion(const std::string&) {}
    // Replaces the access to the modem-control lines (tests); takes effect at the next Open.
    void SetModemLines(std::shared_ptr<TVaModemLines> lines);

    // ---- Events (main thread; the first argument is the sending port)
    using TNotifyEvent = TVaHandler<void(TVaCustomComm*)>;
    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    std::function<void(TVaCustomComm*, int32_t count)> OnRxChar;
    TVaHandler<void(TVaCustomComm*, PVaData data, int32_t count)> OnRxBuf;
    TNotifyEvent OnTxEmpty;
    std::function<void(TVaCustomComm*, int32_t errors)> OnError;
    TNotifyEvent OnRxFlag, OnCts, OnDsr, OnRing, OnRlsd, OnBreak, OnPErr, OnRx80Full, OnEvent1, OnEvent2;
    // The device went away while the port was open (a pseudo-terminal's other end closed, a USB
    // adapter unplugged). The port stays open until the handler (or anyone) closes it; the handler
    // may close it directly.
    TNotifyEvent OnDisconnect;

    // ---- Attachment
    void AttachDispatcher(TVaDispatcher* dispatcher);
    void DetachDispatcher(TVaDispatcher* dispatcher);
    void DetachAll();
    size_t DispatcherCount() const { return dispatchers_.size(); }

    // Locks of the port: WriteLock guards the output queue and direct writes, ReadLock reading,
    // statistics, purge and the stopping of the threads. ReadLock is taken first where both are.
    TVaCriticalSection WriteLock;
    TVaCriticalSection ReadLock;

protected:
    virtual void CreateHandle();
    virtual void StartThreads();
    virtual void HandleRxChar();
    virtual void HandleEvents(uint32_t mask);
    virtual void DispatchEvents(uint32_t mask);
    virtual void DispatchData(PVaData data, int32_t count);

private:
    friend class TVaCommEventThread;
    friend class TVaCommWriteThread;
    friend class TVaReadLease;

    void CheckClosed() const;
    void DestroyHandle();
    void ApplyDCB();
    void ApplyBuffers();
    void ApplyTimeouts();
    void ApplyEventMask();
    void StopThreads();
    void CommFunction(bool dtr, bool on);
    bool CheckLineErrors();
    bool ModemBit(uint32_t bit);
    void SettingsChanged();
    void BuffersChanged();
    void RunBatch(uint32_t mask);
    // Reads what the device holds into the input queue; false when the device has gone.
    bool Ingest(int fd, uint32_t& batch);
    bool DispatchDirect();
    // Read through a lease (a worker thread): Ingest and DispatchDirect; false when gone.
    bool ReadLent(int fd);
    // With dispatchMutex_ held: lends the device to every sink while that is allowed, takes the
    // leases back when it no longer is.
    void UpdateLeases();
    void TakeLease(TVaDispatcher* dispatcher);
    void RevokeLeases();
    void DeviceLost(uint64_t session);
    void QueueTxEmpty(uint64_t session);
    // Queues fn for the main thread; it is dropped when the port is gone by then.
    void QueueForMain(std::function<void()> fn);
    int32_t ReadLocked(uint8_t* data, int32_t count);
    void AppendInput(const uint8_t* data, size_t count);
    int32_t DirectWriteBuf(const uint8_t* data, int32_t count);
    int32_t QueueWriteBuf(const uint8_t* data, int32_t count);

    template <class T>
    void SetLineSetting(T& field, T value)
    {
        if (field != value) {
            field = value;
            ApplyDCB();
        }
    }

    // Device and threads.
    std::atomic<int> fd_{-1};
    std::atomic<uint64_t> session_{0};
    std::unique_ptr<TVaCommEventThread> eventThread_;
    std::shared_ptr<TVaCommWriteThread> writeThread_;
    std::mutex writeThreadMutex_; // guards the writeThread_ pointer for writers on other threads
    uint32_t eventMask_ = 0;
    std::atomic<bool> txPending_{false}; // a direct write waits for the device's output-empty event
    std::atomic<bool> txEmptyQueued_{false}; // a drained-queue event waits for the main thread
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // expires with the port
    std::shared_ptr<TVaModemLines> modemLines_;
    std::shared_ptr<TVaModemLines> activeModemLines_;

    // Received bytes read from the device by the event thread and not yet taken by the program.
    // The lock also covers reading the device, so bytes always come out in the order they arrived.
    std::mutex inputMutex_;
    std::vector<uint8_t> input_;
    size_t inputStart_ = 0;
    size_t inputLimit_ = 4096;
    bool eventReads_ = false; // the event thread is the one reader of the device
    bool threeWire_ = false;  // the tty has no modem-control lines

    // Line error counters seen by the last GetStatistics.
    struct ErrorCounters {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    } errorCounters_;

    // The dispatcher list changes on the main thread only, under dispatchMutex_; the event thread
    // reads it under the lock when it hands received bytes to the components' sinks itself.
    std::vector<TVaDispatcher*> dispatchers_;
    std::mutex dispatchMutex_;
    std::atomic<int> eventClients_{0}; // attached components whose HandleCommEvents does something
    std::vector<uint8_t> directChunk_; // guarded by dispatchMutex_
    bool lendable_ = false;              // event thread running and no RxFlag/Rx80Full watched
    std::atomic<int> lentReaders_{0};   // claimed leases: the event thread leaves input to them
    std::atomic<bool> rxPending_{false}; // a lease read bytes that only the main thread may take

    // Properties.
    bool autoOpen_ = false;
    TVaBaudrate baudrate_ = br1200;
    int32_t userBaudrate_ = 0;
    TVaParity parity_ = paNone;
    TVaDatabits databits_ = db8;
    TVaStopbits stopbits_ = sb1;
    TVaCommOptions options_;
    TVaEventChars eventChars_;
    TVaFlowControl flowControl_;
    TVaBuffers buffers_;
    int32_t portNum_ = 0;
    std::string deviceName_ = "/dev/ttyS%d";
    TVaCommEvents monitorEvents_{ceError, ceRxChar, ceTxEmpty};
    TVaThreadPriority eventPriority_ = tpNormal;
    TVaThreadPriority writePriority_ = tpHighest;
    bool directWrite_ = false;
    bool updateDCB_ = true;
};

class TVaComm : public TVaCustomComm {
public:
    using TVaCustomComm::TVaCustomComm;
};
