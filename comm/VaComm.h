// The serial port component: opens a device through a transport, writes its line settings, watches
// line events with an event thread, sends output through a queue drained by a write thread, and
// delivers every event on the main thread. Components (such as a file transfer protocol) can
// borrow an open port by attaching to it; the port then hands its received data to them.
#pragma once

#include "VaClasses.h"
#include "VaCommPort.h"
#include "VaCommTypes.h"
#include "VaInputQueue.h"
#include "VaPrst.h"
#include "VaReadLease.h"
#include "VaTransport.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class TVaCustomComm;
class TVaCommEventThread;
class TVaCommWriteThread;

// What an attached component offers the port.
class IVaCommClient {
public:
    virtual ~IVaCommClient() = default;
    virtual void HandleCommEvents(uint32_t mask) = 0;
    virtual void HandleCommData(PVaData data, int32_t count) = 0;
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

// The error that failing to open path as failure tells of, in the words Open throws it with.
EVaCommError VaOpenError(const std::string& path, const TVaOpenResult& failure);

class TVaCustomComm : public TVaComponent {
public:
    explicit TVaCustomComm(TVaComponent* owner = nullptr);
    ~TVaCustomComm() override;

    // ---- Opening and closing
    void Open();
    // Opens the port on a transport already opened for DevicePath(), so that the slow part of
    // opening a remote port (name lookup, connecting, negotiation) can run on another thread.
    void Open(std::shared_ptr<TVaTransport> opened);
    void Close();
    bool Active() const { return active_.load(); }
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

    // What the port's kind of device can do (the open port's; all false while closed).
    TVaPortCaps Capabilities() const;

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
    // The rate in force as the device (or a remote port's server) took it at the last setting of
    // the line; 0 while the port is closed.
    int32_t BaudrateInForce() const { return Active() ? rateInForce_ : 0; }
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
    // Replaces the modem-control lines of a local tty (tests); takes effect at the next Open.
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
    // Something the user should know about the open port, in words, once for each device name: a
    // remote server chose another setting than asked or did not confirm a change, or the port
    // lacks the lines that an operation uses (a raw network port has no DTR).
    std::function<void(TVaCustomComm*, const std::string& text)> OnNotice;
    // Called by every write (on the writing thread) with the bytes the port took, for a record of
    // what was sent. Set it before the port is written to.
    std::function<void(const uint8_t* data, int32_t count)> OnWritten;

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
    // The side of the port that its threads and read leases see, and nothing else. A member rather
    // than a base class, so that what the threads call stays put while the port's destructor
    // stops them.
    class TThreadSide final : public IVaCommPort {
    public:
        explicit TThreadSide(TVaCustomComm& port) : port_(port) {}
        bool Ingest(uint32_t& batch) override { return port_.Ingest(batch); }
        bool InputRoom() override { return port_.InputRoom(); }
        bool DispatchDirect() override { return port_.DispatchDirect(); }
        void RunBatch(uint32_t mask) override { port_.RunBatch(mask); }
        void OutputDrained(uint64_t session) override { port_.OutputDrained(session); }
        void DeviceLost(uint64_t session) override { port_.DeviceLost(session); }
        void NoticesWaiting(uint64_t session) override { port_.NoticesWaiting(session); }

    private:
        TVaCustomComm& port_;
    };
    bool Ingest(uint32_t& batch);
    bool InputRoom();
    bool DispatchDirect();
    void RunBatch(uint32_t mask);
    void OutputDrained(uint64_t session);
    void DeviceLost(uint64_t session);
    void NoticesWaiting(uint64_t session);
    // Main thread: hands the transport's notices to OnNotice.
    void DeliverNotices();

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
    std::shared_ptr<TVaCommWriteThread> Writer();
    // With dispatchMutex_ held: lends the device to every sink while that is allowed, takes the
    // leases back when it no longer is.
    void UpdateLeases();
    void TakeLease(TVaDispatcher* dispatcher);
    void RevokeLeases();
    // Queues fn for the main thread; it is dropped when the port is gone by then.
    void QueueForMain(std::function<void()> fn);
    // Main thread: whether the port is still open in the session (the opening) counted then.
    bool Current(uint64_t session) const { return Active() && session_.load() == session; }
    int32_t ReadLocked(uint8_t* data, int32_t count);
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

    TThreadSide threadSide_{*this};
    // Device and threads. The transport is set and released on the main thread while the
    // threads are stopped, under WriteLock, which writers on other threads hold while they use it.
    std::shared_ptr<TVaTransport> transport_;
    std::atomic<bool> active_{false};
    std::shared_ptr<TVaTransport> opened_; // handed to Open(opened), taken by CreateHandle
    std::atomic<uint64_t> session_{0}; // counts the openings
    std::unique_ptr<TVaCommEventThread> eventThread_;
    std::shared_ptr<TVaCommWriteThread> writeThread_;
    std::mutex writeThreadMutex_; // guards the writeThread_ pointer for writers on other threads
    uint32_t eventMask_ = 0;
    std::atomic<bool> txEmptyQueued_{false}; // a drained-queue event waits for the main thread
    std::shared_ptr<int> alive_ = std::make_shared<int>(0); // expires with the port
    // What the port's threads take for their calls to the main thread: it never changes, so they
    // may copy it while the destructor resets alive_.
    const std::weak_ptr<int> aliveToken_ = alive_;
    std::shared_ptr<TVaModemLines> modemLines_;

    TVaInputQueue input_;
    bool eventReads_ = false; // the event thread is the one reader of the device

    // Notices given for the device named now (each is given once).
    std::set<std::string> toldNotices_;

    // Line error counters seen by the last GetStatistics.
    VaLineCounters errorCounters_;

    // The dispatcher list changes on the main thread only, under dispatchMutex_; the event thread
    // reads it under the lock when it hands received bytes to the components' sinks itself.
    std::vector<TVaDispatcher*> dispatchers_;
    std::mutex dispatchMutex_;
    std::atomic<int> eventClients_{0}; // attached components whose HandleCommEvents does something
    std::vector<uint8_t> directChunk_; // guarded by dispatchMutex_
    bool lendable_ = false;              // event thread running and no RxFlag/Rx80Full watched
    // Leases taken back while a worker may still be inside their wait; Close waits for them.
    std::vector<std::shared_ptr<TVaReadLease>> takenBack_; // guarded by dispatchMutex_

    // Properties.
    bool autoOpen_ = false;
    TVaBaudrate baudrate_ = br1200;
    int32_t userBaudrate_ = 0;
    int32_t rateInForce_ = 0;
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
