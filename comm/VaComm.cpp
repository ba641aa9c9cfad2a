// The port itself: opening and closing, line settings, reading, writing, purge and the lines, and
// its properties. The threads are in VaEventThread and VaWriteThread, event dispatch and attachment
// in VaDispatch, the device behind a transport (VaTransport).
#include "VaComm.h"
#include "VaEventThread.h"
#include "VaPortNames.h"
#include "VaWriteThread.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include <poll.h>

namespace {

constexpr const char* kPortOpen = "Can't perform this operation while port is open";

// The smallest input queue: below it every byte would be a batch of its own.
constexpr int32_t kMinInputQueue = 256;

int32_t RateOf(TVaBaudrate rate)
{
    static constexpr int32_t rates[] = {0,     110,   300,   600,    1200,   2400,   4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
    return rates[rate];
}

} // namespace

uint32_t VaEventBit(TVaCommEvent event)
{
    static constexpr uint32_t bits[] = {EV_BREAK, EV_CTS,    EV_DSR,  EV_ERR,      EV_RING,
                                        EV_RLSD,  EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_PERR,
                                        EV_RX80FULL, EV_EVENT1, EV_EVENT2};
    return bits[event];
}

// ---- Opening and closing ----------------------------------------------------------------------------

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
    return VaDevicePath(deviceName_, portNum_);
}

void TVaCustomComm::CheckClosed() const
{
    if (Active())
        throw EVaCommError(kPortOpen);
}

void TVaCustomComm::Open(std::shared_ptr<TVaTransport> opened)
{
    CheckClosed();
    opened_ = std::move(opened);
    Open();
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
    DeliverNotices();
}

void TVaCustomComm::DeliverNotices()
{
    if (!Active())
        return;
    for (const std::string& text : transport_->TakeNotices()) {
        // Said once for a device, however often it is opened (a device selection reopens it).
        if (!toldNotices_.insert(text).second)
            continue;
        if (auto handler = OnNotice) {
            try {
                handler(this, text);
            } catch (...) {
                VaHandleException(std::current_exception());
            }
        }
    }
}

EVaCommError VaOpenError(const std::string& path, const TVaOpenResult& failure)
{
    if (!failure.detail.empty())
        return EVaCommError(VaFormat("Can't open specified device %s (%s)", {path, failure.detail}), failure.kind,
                            failure.error);
    if (failure.error == ENOENT)
        return EVaCommError(VaFormat("Specified device not found (%s).", {path}), failure.kind, failure.error);
    return EVaCommError(VaFormat("Can't open specified device %s (Error %d, %s)",
                                 {path, std::to_string(failure.error), std::strerror(failure.error)}),
                        failure.kind, failure.error);
}

void TVaCustomComm::CreateHandle()
{
    const std::string path = DevicePath();
    std::shared_ptr<TVaTransport> transport;
    TVaOpenResult opened;
    if (opened_) {
        transport = std::move(opened_);
    } else {
        transport = VaMakeTransport(path, modemLines_);
        opened = transport ? transport->Open(path) : TVaOpenResult::Failure(ekOther, EPROTONOSUPPORT);
    }
    if (!opened.ok)
        throw VaOpenError(path, opened);
    input_.Lock().Clear();
    errorCounters_ = {};
    if (transport->Capabilities().lineCounters)
        (void)transport->LineCounters(errorCounters_);
    session_.fetch_add(1);
    std::lock_guard lock(WriteLock);
    transport_ = std::move(transport);
    active_.store(true);
}

void TVaCustomComm::DestroyHandle()
{
    std::lock_guard lock(WriteLock);
    if (!active_.exchange(false))
        return;
    transport_->Close();
    transport_.reset();
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

TVaPortCaps TVaCustomComm::Capabilities() const
{
    return Active() ? transport_->Capabilities() : TVaPortCaps{};
}

void TVaCustomComm::ApplyDCB()
{
    if (!Active() || !updateDCB_)
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
    VaLineSettings taken;
    int error = transport_->ApplyLineSettings(s, taken);
    rateInForce_ = error == 0 ? taken.baudrate : 0;
    // The control modes set the resting level of DTR and RTS, as the line settings of the
    // desktop serial API do; the handshake modes leave the line to the driver.
    if (error == 0 && flowControl_.ControlDtr() != dtrHandshake)
        error = transport_->SetModemLine(true, flowControl_.ControlDtr() == dtrEnabled);
    if (error == 0 && (flowControl_.ControlRts() == rtsEnabled || flowControl_.ControlRts() == rtsDisabled))
        error = transport_->SetModemLine(false, flowControl_.ControlRts() == rtsEnabled);
    if (error != 0)
        throw VaCommError("Error writing dcb (%d), %s", error, ekBadSetting);
    // Opening delivers them once the port is open and its OnOpen has run.
    if (eventThread_ || writeThread_)
        DeliverNotices();
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
    // The event thread reads received bytes into the input queue, which holds ReadSize bytes at
    // most, like a driver's: what does not fit waits in the device until the program has read. So
    // no chunk handed to the program is larger.
    input_.Lock().SetLimit(static_cast<size_t>(std::max(buffers_.ReadSize(), kMinInputQueue)));
    eventReads_ = (eventMask_ & (EV_RXCHAR | EV_RXFLAG | EV_RX80FULL)) != 0;
    const uint64_t session = session_.load();
    if (eventMask_ != 0) {
        eventThread_ = std::make_unique<TVaCommEventThread>(threadSide_, *transport_, eventMask_, session);
        eventThread_->SetPriority(eventPriority_);
        eventThread_->Start();
        // Attached protocols' workers may read the device themselves, unless an event must be
        // derived from every received byte.
        std::lock_guard lock(dispatchMutex_);
        lendable_ = (eventMask_ & EV_RXCHAR) && !(eventMask_ & (EV_RXFLAG | EV_RX80FULL));
        UpdateLeases();
    }
    if (!directWrite_) {
        auto writer =
            std::make_shared<TVaCommWriteThread>(threadSide_, transport_, WriteLock, session, buffers_.WriteSize());
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

std::shared_ptr<TVaCommWriteThread> TVaCustomComm::Writer()
{
    std::lock_guard lock(writeThreadMutex_);
    return writeThread_;
}

// ---- Reading ----------------------------------------------------------------------------------------

// Any thread: the event thread, or a worker reading through a lease.
bool TVaCustomComm::Ingest(uint32_t& batch)
{
    auto input = input_.Lock();
    const size_t before = input.Held();
    const bool alive = input.Fill(*transport_, options_.Contains(coNullStrip));
    const size_t after = input.Held();
    if (after > before) {
        batch |= EV_RXCHAR;
        if (input.Holds(eventChars_.EventChar(), before))
            batch |= EV_RXFLAG;
        if (after * 5 >= static_cast<size_t>(buffers_.ReadSize()) * 4)
            batch |= EV_RX80FULL;
    }
    return alive;
}

bool TVaCustomComm::InputRoom()
{
    return !input_.Lock().Full();
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
    const auto wanted = static_cast<size_t>(count);
    bool wasFull;
    size_t taken;
    {
        auto input = input_.Lock();
        const size_t held = input.Held();
        wasFull = input.Full();
        taken = input.Take(data, wanted);
        // Without an event thread reading the device, the bytes come straight from it. So they do
        // when the queue is empty: a reader inside a port event (the event thread waits for it and
        // reads nothing meanwhile) still sees the device's answer. The lock keeps the order.
        while ((!eventReads_ || held == 0) && taken < wanted) {
            const TVaIoResult r = transport_->Read(data + taken, wanted - taken);
            if (r.state != ioData)
                break; // nothing more waiting, or the device has gone (the event thread tells)
            if (options_.Contains(coNullStrip))
                taken = static_cast<size_t>(std::remove(data + taken, data + taken + r.count, uint8_t{0}) - data);
            else
                taken += r.count;
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
    if (!Active())
        return;
    // A device that has gone has no counters or queues; its loss is reported as a disconnection.
    auto check = [](int error) {
        if (error != 0 && VaErrorKindOf(error) != ekGone)
            throw VaCommError("Error retrieving statistics (%d), %s", error);
    };
    VaLineCounters c = errorCounters_;
    const int countersError = transport_->LineCounters(c);
    check(countersError);
    if (countersError == 0) {
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
        errorCounters_ = c;
    }
    {
        // What the device holds counts too where a read takes it straight from there: without an
        // event thread, or while the queue is empty (see ReadLocked).
        auto input = input_.Lock();
        const size_t held = input.Held();
        size_t waiting = 0;
        if (!eventReads_ || held == 0)
            check(transport_->InputCount(waiting));
        status.cbInQue = static_cast<uint32_t>(held + waiting);
    }
    size_t outgoing = 0;
    (void)transport_->OutputCount(outgoing);
    const std::shared_ptr<TVaCommWriteThread> writer = Writer();
    status.cbOutQue = static_cast<uint32_t>(outgoing) + (writer ? static_cast<uint32_t>(writer->Queued()) : 0u);
}

// ---- Writing ----------------------------------------------------------------------------------------

int32_t TVaCustomComm::WriteBuf(const void* data, int32_t count)
{
    if (!Active() || count < 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const int32_t taken = directWrite_ ? DirectWriteBuf(bytes, count) : QueueWriteBuf(bytes, count);
    if (OnWritten && taken > 0)
        OnWritten(bytes, taken);
    return taken;
}

int32_t TVaCustomComm::QueueWriteBuf(const uint8_t* data, int32_t count)
{
    const std::shared_ptr<TVaCommWriteThread> writer = Writer();
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
    if (!Active())
        return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(buffers_.WriteTimeout());
    int32_t done = 0;
    while (done < count) {
        const TVaIoResult r = transport_->Write(data + done, static_cast<size_t>(count - done));
        if (r.state == ioData) {
            done += static_cast<int32_t>(r.count);
            continue;
        }
        if (r.state != ioNothing)
            throw VaCommError("Write error (%d), %s", r.error);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{transport_->WaitHandle(), POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
    }
    if (done > 0 && (eventMask_ & EV_TXEMPTY) && eventThread_) {
        // The event thread reports the output empty once the driver has sent everything.
        eventThread_->WatchOutputDrain();
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
        if (const std::shared_ptr<TVaCommWriteThread> writer = Writer())
            writer->Flush();
    }
    const bool output = (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    const bool input = (flags & inputOnly) != 0;
    if (!output && !input)
        return;
    // Purging the input holds the event thread off between its reading of the device and its
    // handing the bytes to a component's sink, so that nothing received before the purge reaches
    // a component after it (a protocol purges right before its transfer starts).
    std::unique_lock<std::mutex> dispatchLock;
    std::optional<TVaInputQueue::Locked> queue;
    if (input) {
        dispatchLock = std::unique_lock(dispatchMutex_);
        queue.emplace(input_);
        queue->Clear();
    }
    if (const int error = transport_->Purge(input, output))
        throw VaCommError("Error clearing buffers (%d), %s", error);
}

void TVaCustomComm::SetDTR(bool state)
{
    if (flowControl_.ControlDtr() == dtrHandshake)
        throw EVaCommError("DTR line updates not allowed when flowcontrol is set to Handshake.", ekBadSetting);
    CommFunction(true, state);
}

void TVaCustomComm::SetRTS(bool state)
{
    if (flowControl_.ControlRts() == rtsHandshake || flowControl_.ControlRts() == rtsToggle)
        throw EVaCommError("RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.",
                           ekBadSetting);
    CommFunction(false, state);
}

void TVaCustomComm::CommFunction(bool dtr, bool on)
{
    if (!Active())
        return;
    if (const int error = transport_->SetModemLine(dtr, on))
        throw VaCommError("Error calling comm function (%d), %s", error);
    DeliverNotices();
}

bool TVaCustomComm::ModemBit(uint32_t bit)
{
    if (!Active())
        return false;
    uint32_t status = 0;
    if (const int error = transport_->ModemStatus(status))
        throw VaCommError("Error reading modem state (%d), %s", error);
    DeliverNotices();
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
    if (portNum_ != std::max(v, 0))
        toldNotices_.clear();
    portNum_ = std::max(v, 0);
}

void TVaCustomComm::SetDeviceName(const std::string& v)
{
    CheckClosed();
    if (deviceName_ != v)
        toldNotices_.clear();
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
    if (const std::shared_ptr<TVaCommWriteThread> writer = Writer())
        writer->SetPriority(v);
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
    list = VaSystemPortNames(sysClassTty);
}

void TVaCustomComm::AppendPortPatterns(std::vector<std::string>& list, const std::string& patterns)
{
    VaAppendPortPatterns(list, patterns);
}
