// The protocol engine: component, worker thread, receive queue, time-outs and error counting.
#include "VaProtocol.h"

#include "VaFileName.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Thrown by Finish to unwind the worker's call chain; carries nothing and Execute catches it.
struct TVaSilentAbort {};

std::atomic<int> gLiveWorkers{0};

// The worker running on this thread, if any.
thread_local const TVaProtocolThread* tWorker = nullptr;

} // namespace

const char* VaTransferCodeMeaning(int32_t code)
{
    switch (code) {
    case VaCode::Completed: return "transfer completed";
    case VaCode::Timeout: return "no byte arrived within the time-out";
    case VaCode::Cancelled: return "cancelled on this side";
    case VaCode::PeerCancelled: return "cancelled by the peer";
    case VaCode::ProtocolFailure: return "protocol failure";
    case VaCode::FileReadFailed: return "reading the file to send failed";
    case VaCode::FileWriteFailed: return "writing the received file failed";
    case VaCode::TooManyErrors: return "too many errors";
    case VaCode::CreateFailed: return "the file to receive cannot be created";
    case VaCode::OpenFailed: return "the file to send cannot be opened";
    case VaCode::Overflow: return "receive buffer overflow";
    case VaCode::BadBlock: return "block check failed or block refused";
    case VaCode::Unexpected: return "unexpected byte";
    default: return "unknown code";
    }
}

// ---- TVaProtocol -----------------------------------------------------------------------------------

void TVaProtocolLink::TakeCommData(PVaData data, int32_t count)
{
    std::lock_guard lock(rxMutex);
    if (count > 0 && worker != nullptr)
        worker->DataIn(data, count);
}

void TVaProtocolLink::LendReader(std::shared_ptr<TVaReadLease> lent)
{
    std::lock_guard lock(rxMutex);
    lease = std::move(lent);
    if (lease && worker != nullptr)
        lease->Claim(true);
}

void TVaProtocolLink::Bind(TVaProtocolThread* running)
{
    std::lock_guard lock(rxMutex);
    worker = running;
    if (lease)
        lease->Claim(running != nullptr);
}

std::shared_ptr<TVaReadLease> TVaProtocolLink::Lease()
{
    std::lock_guard lock(rxMutex);
    return lease;
}

TVaProtocol::TVaProtocol(TVaComponent* owner)
    : TVaCommComponent(owner), link_(std::make_shared<TVaProtocolLink>())
{
    link_->owner = this;
    // Received bytes go from the port's event thread to the worker; events mean nothing here.
    Dispatcher().SetDataSink(link_);
    Dispatcher().SetEventsWanted(false);
    // Nothing the port receives is kept until a transfer starts.
    SetDispatcherActive(false);
}

TVaProtocol::~TVaProtocol()
{
    link_->Bind(nullptr);
    {
        std::lock_guard lock(link_->mutex);
        link_->owner = nullptr;
    }
    // The worker ends on its own and frees itself; it reaches nothing of this component any more.
    if (worker_ != nullptr) {
        worker_->Stop();
        worker_ = nullptr;
    }
}

void TVaProtocol::CheckIdle() const
{
    if (worker_ != nullptr)
        throw EVaCommError("Transfer already in progress...");
}

void TVaProtocol::StartTransfer()
{
    CheckIdle();
    // The worker takes received bytes from the moment the purge has made way for them: it is
    // bound before PrepareTransfer lets the dispatcher through.
    std::unique_ptr<TVaProtocolThread> worker = CreateWorker();
    link_->Bind(worker.get());
    try {
        PrepareTransfer();
    } catch (...) {
        SetDispatcherActive(false);
        link_->Bind(nullptr);
        throw;
    }
    std::shared_ptr<TVaProtocolLink> link = link_;
    worker->OnTerminate = [link](TVaThread* thread) {
        if (link->owner != nullptr)
            link->owner->TransferFinished();
        // The worker frees itself, but only once its thread has really ended: the main thread
        // joins and deletes it right after this hand-over, so that nothing of it is still running
        // when the program that waited for the transfer goes on (or exits).
        VaQueue([thread] { std::unique_ptr<TVaThread> ended(thread); ended->WaitFor(); });
    };
    worker->SetPriority(tpHigher);
    worker_ = worker.release();
    DoTransferStart();
    worker_->Start();
}

void TVaProtocol::AbortTransfer()
{
    if (worker_ != nullptr)
        worker_->Cancel();
}

int32_t TVaProtocol::ErrorCode() const
{
    return worker_ != nullptr ? worker_->LastError() : 0;
}

int32_t TVaProtocol::ErrorCount() const
{
    return worker_ != nullptr ? worker_->ErrorCount() : 0;
}

void TVaProtocol::HandleCommData(PVaData data, int32_t count)
{
    link_->TakeCommData(data, count);
}

void TVaProtocol::PrepareTransfer()
{
    link_->exitCode.store(0);
    Dispatcher().PurgeReadWrite();
    SetDispatcherActive(true);
}

void TVaProtocol::RunHandler(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (...) {
        VaHandleException(std::current_exception());
    }
}

void TVaProtocol::DoTransferStart()
{
    if (OnTransferStart)
        RunHandler([this] { OnTransferStart(this); });
}

void TVaProtocol::DoTransferEnd()
{
    if (OnTransferEnd)
        RunHandler([this] { OnTransferEnd(this, ExitCode()); });
}

void TVaProtocol::DoError(int32_t code, int32_t count)
{
    if (OnError)
        RunHandler([this, code, count] { OnError(this, code, count); });
}

void TVaProtocol::TransferFinished()
{
    SetDispatcherActive(false);
    link_->Bind(nullptr);
    worker_ = nullptr;
    DoTransferEnd();
}

// ---- TVaProtocolThread -----------------------------------------------------------------------------

TVaProtocolThread::TVaProtocolThread(TVaProtocol& owner)
    : mode_(owner.Mode()),
      timeout_(owner.Timeout()),
      maxErrors_(owner.MaxErrors()),
      rxQueue_(std::max(owner.BufferSize(), kRxLimit)),
      link_(owner.link_)
{
    gLiveWorkers.fetch_add(1);
}

TVaProtocolThread::~TVaProtocolThread()
{
    CloseFile();
    gLiveWorkers.fetch_sub(1);
    VaNotifyWaiters();
}

int TVaProtocolThread::LiveWorkers()
{
    return gLiveWorkers.load();
}

void TVaProtocolThread::DataIn(PVaData data, int32_t count)
{
    if (overflow_.load())
        return;
    {
        std::lock_guard lock(rxLock_);
        if (rxQueue_.Size() + localHeld_.load() + count > kRxLimit)
            overflow_.store(true);
        else
            rxQueue_.Append(data, count);
    }
    // The worker that read the bytes itself, through the port's lease, looks at its queue anyway.
    if (tWorker != this)
        rxEvent_.Signal();
}

void TVaProtocolThread::Cancel()
{
    cancelled_.store(true);
    rxEvent_.Signal();
}

void TVaProtocolThread::Stop()
{
    Terminate();
    cancelled_.store(true);
    rxEvent_.Signal();
}

void TVaProtocolThread::ResetState()
{
    // A worker runs one transfer and starts empty, so the receive queue is not cleared here: bytes
    // that arrived between the start of the transfer and this point are the peer's first answer.
    // Nor is a cancel that came in that short time forgotten.
    errorCount_.store(0);
    lastError_.store(0);
}

bool TVaProtocolThread::TakeFromQueue()
{
    // Caller holds rxLock_ and has consumed every local byte.
    const int32_t n = rxQueue_.Size();
    if (n == 0)
        return false;
    rxQueue_.Extract(local_, n);
    localPos_ = 0;
    localEnd_ = n;
    localHeld_.store(n);
    return true;
}

int TVaProtocolThread::ReadByte()
{
    for (;;) {
        if (overflow_.load()) {
            SendCancel();
            Finish(VaCode::Overflow);
        }
        if (cancelled_.load())
            return 0;
        if (localPos_ < localEnd_) {
            const uint8_t b = local_[localPos_++];
            localHeld_.store(localEnd_ - localPos_);
            return b;
        }
        {
            std::lock_guard lock(rxLock_);
            if (TakeFromQueue())
                continue;
            // Cleared under the lock and before the flags are looked at again, so that a byte, a
            // cancel or an overflow signalled from now on ends the wait below.
            rxEvent_.Reset();
        }
        if (overflow_.load() || cancelled_.load())
            continue;
        if (!WaitForData(timeout_ > 0 ? timeout_ : -1))
            RecordError(VaCode::Timeout, false);
    }
}

void TVaProtocolThread::TakeWaiting()
{
    // While the port's device is lent to this worker, only this worker reads it.
    if (const std::shared_ptr<TVaReadLease> lease = link_->Lease())
        lease->Wait(rxEvent_.Handle(), 0);
}

void TVaProtocolThread::ReadBytes(uint8_t* dest, int32_t count)
{
    while (count > 0) {
        const int32_t n = std::min(count, localEnd_ - localPos_);
        if (n == 0 || overflow_.load() || cancelled_.load()) {
            // Waits, counts time-outs, ends an overflow, gives 0 after a cancel: as ReadByte.
            *dest++ = static_cast<uint8_t>(ReadByte());
            --count;
            continue;
        }
        std::memcpy(dest, local_ + localPos_, static_cast<size_t>(n));
        localPos_ += n;
        localHeld_.store(localEnd_ - localPos_);
        dest += n;
        count -= n;
    }
}

int TVaProtocolThread::PeekByte()
{
    if (localPos_ < localEnd_)
        return local_[localPos_];
    TakeWaiting();
    std::lock_guard lock(rxLock_);
    if (rxQueue_.Size() == 0)
        return -1;
    uint8_t b = 0;
    rxQueue_.Peek(&b, 1);
    return b;
}

bool TVaProtocolThread::Waiting(uint8_t value)
{
    if (std::find(local_ + localPos_, local_ + localEnd_, value) != local_ + localEnd_)
        return true;
    TakeWaiting();
    std::lock_guard lock(rxLock_);
    const uint8_t* data = rxQueue_.Data();
    return std::find(data, data + rxQueue_.Size(), value) != data + rxQueue_.Size();
}

bool TVaProtocolThread::QuietFor(int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (localPos_ < localEnd_)
            return false;
        {
            std::lock_guard lock(rxLock_);
            if (rxQueue_.Size() > 0)
                return false;
            rxEvent_.Reset();
        }
        if (overflow_.load() || cancelled_.load())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        WaitForData(static_cast<int>(left.count()));
    }
}

void TVaProtocolThread::SendBuf(const void* data, int32_t count)
{
    auto started = std::chrono::steady_clock::now();
    for (;;) {
        if (Terminated())
            return;
        try {
            std::lock_guard lock(link_->mutex);
            if (link_->owner != nullptr)
                link_->owner->Dispatcher().WriteBuf(data, count);
            return;
        } catch (const EVaQueueFull&) {
            // The port's output queue did not drain within its write time-out: the line is slower
            // than the blocks we queue (XMODEM-G at a low rate) or held by flow control. Keep
            // trying; each Timeout without room counts like a silent line.
        }
        if (cancelled_.load())
            return;
        // A port whose write time-out is 0 fails at once; do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto now = std::chrono::steady_clock::now();
        if (timeout_ > 0 && now - started >= std::chrono::milliseconds(timeout_)) {
            started = now;
            RecordError(VaCode::Timeout, false);
        }
    }
}

void TVaProtocolThread::SendByte(uint8_t value)
{
    SendBuf(&value, 1);
}

void TVaProtocolThread::SyncWithOwner(const std::function<void(TVaProtocol&)>& fn)
{
    if (Terminated())
        return;
    TellOwner(); // what was gathered comes first
    std::shared_ptr<TVaProtocolLink> link = link_;
    Synchronize([link, fn] {
        if (link->owner != nullptr)
            fn(*link->owner);
    });
}

void TVaProtocolThread::NotifyOwner(std::function<void(TVaProtocol&)> fn)
{
    if (Terminated())
        return;
    untold_.push_back(std::move(fn));
    if (std::chrono::steady_clock::now() - toldAt_ >= kNotifyPeriod)
        TellOwner();
}

void TVaProtocolThread::TellOwner()
{
    if (untold_.empty())
        return;
    // Before telling the main thread again, let it catch up with what it was told last time.
    lastTold_.Await();
    lastTold_ = SynchronizeLater([link = link_, calls = std::move(untold_)] {
        // A call may destroy the component; the ones after it then find no owner.
        for (const auto& call : calls)
            if (link->owner != nullptr)
                call(*link->owner);
    });
    untold_.clear();
    toldAt_ = std::chrono::steady_clock::now();
}

bool TVaProtocolThread::WaitOnce(int ms)
{
    // Through the lease the device wakes this thread itself, and what it reads comes back through
    // DataIn, which sets rxEvent_.
    if (const std::shared_ptr<TVaReadLease> lease = link_->Lease()) {
        const TVaReadLease::TWaitResult r = lease->Wait(rxEvent_.Handle(), ms);
        if (r != TVaReadLease::TWaitResult::Unusable)
            return r == TVaReadLease::TWaitResult::Ready;
    }
    return rxEvent_.WaitFor(ms) == TVaWaitResult::wrSignaled;
}

bool TVaProtocolThread::WaitForData(int ms)
{
    if (!untold_.empty()) {
        // Most answers come well within the period: the main thread is told only when none does.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(toldAt_ + kNotifyPeriod -
                                                                        std::chrono::steady_clock::now());
        if (left.count() > 0 && (ms < 0 || left.count() < ms)) {
            if (WaitOnce(static_cast<int>(left.count())))
                return true;
            if (ms > 0)
                ms = std::max(1, ms - static_cast<int>(left.count()));
        }
        TellOwner();
    }
    return WaitOnce(ms);
}

void TVaProtocolThread::RecordError(int32_t code, bool cancelPeer)
{
    const int32_t count = errorCount_.fetch_add(1) + 1;
    lastError_.store(code);
    if (count == maxErrors_) {
        if (cancelPeer)
            SendCancel();
        Finish(VaCode::TooManyErrors);
    }
    SyncWithOwner([code, count](TVaProtocol& owner) { owner.DoError(code, count); });
}

void TVaProtocolThread::Finish(int32_t code)
{
    link_->exitCode.store(code);
    throw TVaSilentAbort{};
}

void TVaProtocolThread::Execute()
{
    tWorker = this;
    while (!Terminated()) {
        ResetState();
        try {
            if (mode_ == tmDownload)
                DoReceive();
            else
                DoSend();
        } catch (const TVaSilentAbort&) {
        } catch (...) {
            // Something outside the protocol failed (the port refused a write, memory ran out).
            // The transfer has failed: it must not look completed, and the program hears why.
            link_->exitCode.store(VaCode::ProtocolFailure);
            const std::exception_ptr error = std::current_exception();
            try {
                SendCancel();
            } catch (...) {
            }
            if (!Terminated()) {
                TellOwner();
                Synchronize([error] { VaHandleException(error); });
            }
        }
        try {
            Ended(link_->exitCode.load());
        } catch (...) {
        }
        // Every event of the transfer reaches the main thread before its end does.
        if (!Terminated())
            TellOwner();
        CloseFile();
        Stop();
    }
}

// ---- Files -------------------------------------------------------------------------------------------

void TVaProtocolThread::OpenForSend(const std::string& fileName)
{
    // Read-only: a file we only send needs no write permission.
    fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd_ >= 0 && (fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)))
        CloseFile();
    if (fd_ < 0) {
        SendCancel();
        Finish(VaCode::OpenFailed);
    }
    position_ = 0;
    knownSize_ = 0;
    readPos_ = readEnd_ = 0;
}

std::string TVaProtocolThread::CreateForReceive(const std::string& fileName)
{
    // O_EXCL: a file that appears between choosing the name and creating it is not replaced, and a
    // symbolic link in its place is not followed.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = MakeUniqueFileName(fileName);
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            position_ = 0;
            return name;
        }
        if (errno != EEXIST)
            break;
    }
    SendCancel();
    Finish(VaCode::CreateFailed);
}

void TVaProtocolThread::CloseFile()
{
    if (fd_ >= 0) {
        FlushFile();
        ::close(fd_);
        fd_ = -1;
    }
}

int64_t TVaProtocolThread::FileSize() const
{
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0)
        return 0;
    return st.st_size;
}

bool TVaProtocolThread::AtEndOfFile()
{
    // The size is asked for again only where the file seemed to end.
    if (position_ < knownSize_)
        return false;
    knownSize_ = FileSize();
    return position_ == knownSize_;
}

int32_t TVaProtocolThread::ReadFile(uint8_t* data, int32_t count)
{
    int32_t done = 0;
    while (done < count) {
        if (readPos_ == readEnd_) {
            if (!fileBuffer_)
                fileBuffer_ = std::make_unique<uint8_t[]>(kFileBuffer);
            const ssize_t n = ::read(fd_, fileBuffer_.get(), kFileBuffer);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            if (n == 0)
                break;
            readPos_ = 0;
            readEnd_ = static_cast<int32_t>(n);
        }
        const int32_t n = std::min(count - done, readEnd_ - readPos_);
        std::memcpy(data + done, fileBuffer_.get() + readPos_, static_cast<size_t>(n));
        readPos_ += n;
        done += n;
    }
    position_ += done;
    return done;
}

namespace {

// The number of bytes written, count unless writing failed.
int32_t WriteAll(int fd, const uint8_t* data, int32_t count)
{
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        done += static_cast<int32_t>(n);
    }
    return done;
}

} // namespace

bool TVaProtocolThread::WriteFile(const uint8_t* data, int32_t count)
{
    // A system call per block costs more than the block's whole handling on a fast line.
    if (buffered_ + count > kFileBuffer && !FlushFile())
        return false;
    if (count >= kFileBuffer) {
        const int32_t done = WriteAll(fd_, data, count);
        position_ += done;
        return done == count;
    } else {
        if (!fileBuffer_)
            fileBuffer_ = std::make_unique<uint8_t[]>(kFileBuffer);
        std::memcpy(fileBuffer_.get() + buffered_, data, static_cast<size_t>(count));
        buffered_ += count;
    }
    position_ += count;
    return true;
}

bool TVaProtocolThread::FlushFile()
{
    const int32_t count = buffered_;
    buffered_ = 0;
    if (count == 0)
        return true;
    // The position tells what the file holds: bytes that could not be written are not counted.
    const int32_t done = WriteAll(fd_, fileBuffer_.get(), count);
    position_ -= count - done;
    return done == count;
}
