// File transfer protocols on top of the port component: the protocol engine (a component that
// borrows a port and runs one transfer on a worker thread) and the XMODEM family (checksum with
// 128-byte blocks, CRC-16 with 1024-byte blocks, streaming XMODEM-G) with its batch members YMODEM
// and YMODEM-G, which carry each file's name, size and time in a block 0 before its data.
//
// Threads: every public operation and every event runs on the main thread. The worker hands its
// events to the main thread in order; it waits for OnFileInfo and OnError, while a block's progress
// (OnPacketEvent) is queued, and the main thread is told of it at once or, while blocks follow
// each other faster than that, every kNotifyPeriod. OnTransferEnd runs after the worker has ended,
// after every event it queued. Received bytes reach the worker from the port's event thread
// directly. A main thread that waits for a transfer must keep serving hand-overs
// (CheckSynchronize, VaWaitServing).
#pragma once

#include "VaComm.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum TVaTransferMode { tmUpload, tmDownload };

// Exit codes (ExitCode, OnTransferEnd) and error codes (OnError) of a transfer.
namespace VaCode {
constexpr int32_t Completed = 0;        // exit: transfer completed
constexpr int32_t Timeout = -1;         // error: no byte arrived within Timeout
constexpr int32_t Cancelled = -3;       // exit: cancelled on this side
constexpr int32_t PeerCancelled = -4;   // exit: cancelled by the peer (CAN received)
constexpr int32_t ProtocolFailure = -5; // exit: unexpected byte, wrong block number, retries exhausted
constexpr int32_t FileReadFailed = -7;  // exit: reading the file to send failed
constexpr int32_t FileWriteFailed = -8; // exit: writing the received file failed
constexpr int32_t TooManyErrors = -9;   // exit: MaxErrors errors recorded
constexpr int32_t CreateFailed = -11;   // exit: the file to receive cannot be created
constexpr int32_t OpenFailed = -12;     // exit: the file to send cannot be opened
constexpr int32_t Overflow = -14;       // exit: receive buffer overflow
constexpr int32_t BadBlock = -15;       // error: block check failed (receiver) or block refused (sender)
constexpr int32_t Unexpected = -16;     // error: unexpected byte awaiting the start or the EOT answer
} // namespace VaCode

// A short English meaning of an exit or error code, for command-line output and logs.
const char* VaTransferCodeMeaning(int32_t code);

class TVaProtocol;
class TVaProtocolThread;

// What a component, its worker and the port share. The worker keeps it alive, so it outlives a
// component that is destroyed during a transfer; the component clears owner then, and from that
// moment the worker writes nothing and raises no event. It is also the component's data sink: the
// port's event thread hands received bytes through it straight to the running worker.
struct TVaProtocolLink : IVaCommDataSink {
    std::mutex mutex;             // guards owner against the worker's writes
    TVaProtocol* owner = nullptr; // written on the main thread only
    std::atomic<int32_t> exitCode{0};
    std::mutex rxMutex;                  // guards worker and lease against the port's threads
    TVaProtocolThread* worker = nullptr; // the running worker; written on the main thread only
    std::shared_ptr<TVaReadLease> lease; // the device of the attached port, lent to the worker

    void TakeCommData(PVaData data, int32_t count) override;
    void LendReader(std::shared_ptr<TVaReadLease> lent) override;
    // Main thread: the worker that takes the received bytes (and reads through the lease).
    void Bind(TVaProtocolThread* running);
    std::shared_ptr<TVaReadLease> Lease();
};

class TVaProtocol : public TVaCommComponent {
public:
    using TNotifyEvent = std::function<void(TVaProtocol* sender)>;
    using TVaTransferEndEvent = std::function<void(TVaProtocol* sender, int32_t exitCode)>;
    using TVaTransferErrorEvent =
        std::function<void(TVaProtocol* sender, int32_t errorCode, int32_t errorCount)>;

    explicit TVaProtocol(TVaComponent* owner = nullptr);
    ~TVaProtocol() override;

    // ---- Properties (set them while idle; a running transfer keeps the values it started with)
    TVaTransferMode Mode() const { return mode_; }
    void SetMode(TVaTransferMode mode) { mode_ = mode; }
    // Milliseconds one wait for a received byte may last before it counts as an error.
    int32_t Timeout() const { return timeout_; }
    void SetTimeout(int32_t ms) { timeout_ = ms; }
    // Number of recorded errors that ends a transfer; 0 or below: no limit.
    int32_t MaxErrors() const { return maxErrors_; }
    void SetMaxErrors(int32_t n) { maxErrors_ = n; }
    // Capacity of the worker's receive queue; values below 4096 are raised to 4096.
    int32_t BufferSize() const { return bufferSize_; }
    void SetBufferSize(int32_t n) { bufferSize_ = n; }

    TNotifyEvent OnTransferStart;
    TVaTransferEndEvent OnTransferEnd;
    TVaTransferErrorEvent OnError;

    // Starts a transfer and returns at once; raises EVaCommError "Transfer already in progress..."
    // while one runs.
    virtual void StartTransfer();
    // Asks a running transfer to stop (it ends with -3); does nothing while idle.
    virtual void AbortTransfer();
    bool Busy() const { return worker_ != nullptr; }
    int32_t ExitCode() const { return link_->exitCode.load(); }
    // The running transfer's last error code and error count; 0 while idle.
    int32_t ErrorCode() const;
    int32_t ErrorCount() const;

    // Any thread: the bytes go to the running worker, or nowhere while idle.
    void HandleCommData(PVaData data, int32_t count) override;
    void HandleCommEvents(uint32_t) final {}

    // Runs an event handler; an exception it raises goes to the application's exception handler.
    static void RunHandler(const std::function<void()>& handler);

protected:
    // Returns the worker for one transfer, not yet started, bound to this component.
    virtual std::unique_ptr<TVaProtocolThread> CreateWorker() = 0;
    virtual void DoTransferStart();
    virtual void DoTransferEnd();
    virtual void PrepareTransfer();
    void CheckIdle() const;

private:
    friend class TVaProtocolThread;
    void TransferFinished();
    void DoError(int32_t code, int32_t count);

    TVaTransferMode mode_ = tmUpload;
    int32_t timeout_ = 60000;
    int32_t maxErrors_ = 10;
    int32_t bufferSize_ = 4096;
    TVaProtocolThread* worker_ = nullptr; // freed after it has ended, see StartTransfer
    std::shared_ptr<TVaProtocolLink> link_;
};

// The worker: runs one transfer from start to end. It is freed on the main thread after its end has
// been reported (also when its component has gone meanwhile).
class TVaProtocolThread : public TVaThread {
public:
    // Received bytes beyond this many waiting end the transfer with -14.
    static constexpr int32_t kRxLimit = 4096;

    explicit TVaProtocolThread(TVaProtocol& owner);
    ~TVaProtocolThread() override;

    // Any thread (the port's event thread): queue received bytes for the worker.
    void DataIn(PVaData data, int32_t count);
    // Main thread: ask the transfer to stop at its next read or block boundary.
    void Cancel();
    // Ends the thread without telling the peer (the component is going away).
    void Stop();

    int32_t LastError() const { return lastError_.load(); }
    int32_t ErrorCount() const { return errorCount_.load(); }

    // Number of protocol workers alive in the process (for waiting until detached workers are gone).
    static int LiveWorkers();

protected:
    void Execute() override;

    // ---- For the protocol code (worker thread)
    // The next received byte; 0 when the transfer has been cancelled. Waits, counting error -1
    // every Timeout ms without a byte; ends the transfer with -14 after an overflow.
    virtual int ReadByte();
    // The next count received bytes, as count calls of ReadByte would give them.
    void ReadBytes(uint8_t* dest, int32_t count);
    // The first waiting byte without taking it, or -1 when none waits.
    int PeekByte();
    // Whether a byte of this value is among the waiting bytes.
    bool Waiting(uint8_t value);
    // Waits at most ms for a byte to arrive; true when none came (nothing is taken).
    bool QuietFor(int ms);
    void SendBuf(const void* data, int32_t count);
    void SendByte(uint8_t value);
    virtual void DoSend() = 0;
    virtual void DoReceive() = 0;
    virtual void ResetState();
    virtual void SendCancel() {}
    // Runs once the protocol code has ended, however it ended, before the file is closed and the
    // end is reported; it must not end the transfer (Finish) itself.
    virtual void Ended(int32_t exitCode) { (void)exitCode; }

    // Counts an error; at the MaxErrors-th one ends the transfer with -9 (telling the peer first
    // when cancelPeer), otherwise raises OnError.
    void RecordError(int32_t code, bool cancelPeer);
    // Sets the exit code and unwinds the worker's call chain. Every end of a transfer comes here.
    [[noreturn]] void Finish(int32_t code);

    // The file of the transfer.
    void OpenForSend(const std::string& fileName);
    // Creates a new file; returns the name actually used (never an existing file).
    std::string CreateForReceive(const std::string& fileName);
    void CloseFile();
    bool AtEndOfFile();
    int64_t FileSize() const;
    int64_t FilePosition() const { return position_; }
    // Reads up to count bytes; the number read, or -1 on failure. The file is read in large
    // pieces, so most calls take no system call.
    int32_t ReadFile(uint8_t* data, int32_t count);
    // Writes count bytes; false on failure. The bytes are gathered and go to the file in large
    // pieces, so a failure may also concern bytes given earlier; FlushFile writes what is gathered
    // (CloseFile does too, so a transfer that fails keeps all it was given).
    bool WriteFile(const uint8_t* data, int32_t count);
    bool FlushFile();
    int FileDescriptor() const { return fd_; }

    bool Cancelled() const { return cancelled_.load(); }
    // Runs fn on the main thread with the owner, unless the thread is terminated or the owner gone.
    void SyncWithOwner(const std::function<void(TVaProtocol&)>& fn);
    // Has fn run on the main thread with the owner, without waiting for it. The calls are gathered
    // and handed over together: at once when nothing was handed over for kNotifyPeriod, otherwise
    // when that period is over and the worker has to wait for the line, and always before any
    // other event. So a fast transfer wakes the main thread a hundred times a second rather than
    // once a block, every call still runs, in order, and the main thread never lags more than
    // about two periods behind.
    void NotifyOwner(std::function<void(TVaProtocol&)> fn);
    static constexpr std::chrono::milliseconds kNotifyPeriod{10};

    const TVaTransferMode mode_;
    const int32_t timeout_;
    const int32_t maxErrors_;

private:
    bool TakeFromQueue();
    // Waits for rxEvent_ at most ms (negative: no limit); hands gathered calls over when their
    // period ends first. True when the event came (or may have).
    bool WaitForData(int ms);
    // One wait: through the port's lease, reading the device meanwhile, when there is one.
    bool WaitOnce(int ms);
    // Takes what the lent device holds into the queue, without waiting.
    void TakeWaiting();
    void TellOwner();

    std::vector<std::function<void(TVaProtocol&)>> untold_; // gathered, not yet handed over
    TVaPendingCall lastTold_; // what was handed over last
    std::chrono::steady_clock::time_point toldAt_{};

    TVaCommBuffer rxQueue_;
    // Bytes taken from rxQueue_ in one go and not yet read, so that reading one byte does not move
    // the whole queue each time. They still count against kRxLimit.
    uint8_t local_[kRxLimit];
    int32_t localPos_ = 0;
    int32_t localEnd_ = 0;
    std::atomic<int32_t> localHeld_{0};

    int fd_ = -1;
    // A piece of the file: read ahead when sending, gathered for writing when receiving (a worker
    // does one of the two).
    static constexpr int32_t kFileBuffer = 64 * 1024;
    std::unique_ptr<uint8_t[]> fileBuffer_;
    int32_t buffered_ = 0;            // receiving: bytes in fileBuffer_ not yet written
    int32_t readPos_ = 0, readEnd_ = 0; // sending: the part of fileBuffer_ not yet taken
    int64_t position_ = 0;
    int64_t knownSize_ = 0; // the file's size when last asked
    std::atomic<int32_t> lastError_{0};
    std::atomic<int32_t> errorCount_{0};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> overflow_{false};
    TVaCriticalSection rxLock_;
    TVaWaitEvent rxEvent_;
    std::shared_ptr<TVaProtocolLink> link_;
};

// ---- XMODEM family ---------------------------------------------------------------------------------

class TVaXYModem : public TVaProtocol {
public:
    using TVaFileInfoEvent =
        std::function<void(TVaProtocol* sender, const std::string& name, int64_t size)>;
    using TVaPacketEvent = std::function<void(TVaProtocol* sender, int32_t packet, int64_t byteCount)>;
    using TVaFileEndEvent =
        std::function<void(TVaProtocol* sender, const std::string& name, int64_t bytes, int32_t code)>;

    using TVaProtocol::TVaProtocol;

    // A file of the transfer begins: the path used and its size (receiving: the size the sender
    // announced, 0 when it announced none). A batch raises it once per file.
    TVaFileInfoEvent OnFileInfo;
    // One block has been transferred: the file's running block count from 1 and the file position
    // after it.
    TVaPacketEvent OnPacketEvent;
    // A file of the transfer has ended: where it is now (a received file that did not complete
    // keeps its partial name), the bytes sent or kept, and 0 when it completed, else the exit code
    // that ended the transfer.
    TVaFileEndEvent OnFileEnd;
};

enum class TVaXProtocol { XModem, XModem1K, XModemG };

class TVaXModem : public TVaXYModem {
public:
    using TVaXYModem::TVaXYModem;

    // The file to send, or the file to receive into.
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& name) { fileName_ = name; }
    // Receiving only: the start character asked for (NAK, 'C' or 'G').
    TVaXProtocol Protocol() const { return protocol_; }
    void SetProtocol(TVaXProtocol protocol) { protocol_ = protocol; }

protected:
    std::unique_ptr<TVaProtocolThread> CreateWorker() override;

private:
    std::string fileName_;
    TVaXProtocol protocol_ = TVaXProtocol::XModem;
};

// YMODEM: a batch of files, each announced by block 0 (name, size, time), 1024-byte blocks with
// 128-byte blocks for a short tail, CRC-16; YModemG streams its blocks without acknowledgements.
enum class TVaYProtocol { YModem, YModemG };

class TVaYModem : public TVaXYModem {
public:
    using TVaXYModem::TVaXYModem;

    // The files to send, in order.
    const std::vector<std::string>& FileNames() const { return fileNames_; }
    void SetFileNames(std::vector<std::string> names) { fileNames_ = std::move(names); }
    // The folder that received files go into, each under its own name.
    const std::string& Folder() const { return folder_; }
    void SetFolder(const std::string& folder) { folder_ = folder; }
    // Receiving only: asks with 'C' (YModem) or 'G' (YModemG).
    TVaYProtocol Protocol() const { return protocol_; }
    void SetProtocol(TVaYProtocol protocol) { protocol_ = protocol; }

protected:
    std::unique_ptr<TVaProtocolThread> CreateWorker() override;

private:
    std::vector<std::string> fileNames_;
    std::string folder_;
    TVaYProtocol protocol_ = TVaYProtocol::YModem;
};

namespace VaXModem {
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_START = 'C';
constexpr uint8_t G_START = 'G';
// The receiver's start character for a protocol.
uint8_t StartChar(TVaXProtocol protocol);
uint8_t StartChar(TVaYProtocol protocol);
} // namespace VaXModem

namespace VaYModem {
// What block 0 says about a file. An empty name ends the batch.
struct THeader {
    std::string name;
    int64_t size = -1;  // -1: not given
    int64_t mtime = 0;  // seconds since 1970; 0: not given
    uint32_t mode = 0;  // 0: not given
};
// Reads block 0 (size bytes). False when it is not a well-formed header: no NUL after the name, or
// a size that is not a decimal number.
bool ParseHeader(const uint8_t* block, int32_t size, THeader& header);
// Writes the header of a file into block (1024 bytes, zero-filled) as lrzsz does: name, NUL, then
// size, time in octal, mode in octal, serial 0, files and bytes left in the batch (this one
// included). Returns the block size needed, 128 or 1024; 0 when the name does not fit.
int32_t BuildHeader(const std::string& name, int64_t size, int64_t mtime, uint32_t mode, int filesLeft,
                    int64_t bytesLeft, uint8_t* block);
// The name a received file is stored under: the last part of the transmitted path. Empty when it
// must be refused: empty, "." or "..", control characters, or too long for a file name beside its
// partial-file suffix.
std::string StoredName(const std::string& transmitted);
// The suffix of a file being received, kept when the transfer fails.
constexpr const char* kPartialSuffix = ".part";
} // namespace VaYModem

class TVaXYModemThread : public TVaProtocolThread {
public:
    using TVaProtocolThread::TVaProtocolThread;

protected:
    void SendCancel() override;
    // Reports the file in progress, if any, as ended with the transfer's exit code.
    void Ended(int32_t exitCode) override;

    void SendFile(const std::string& fileName);
    // Sends the open file's blocks from its current position, then EOT. YMODEM (batch) sends no
    // block for an empty file, uses 128-byte blocks for a tail of 896 bytes or less, and takes a
    // NAK to its EOT as a request to send it again.
    void SendData(int startChar, bool batch);
    // The receiver's start character. batch: the receiver has answered before, so CAN ends the
    // transfer and an ACK before the start character is no error.
    int WaitForStart(bool batch = false);
    // A block as it goes on the line (header, number, complement, data, check), with the file
    // position after it and whether it is the file's last.
    struct TFrame {
        uint8_t bytes[3 + 1024 + 2];
        int32_t length = 0;
        int64_t position = 0;
        bool last = false;
    };
    // Frames the block held in block_.
    void BuildFrame(uint32_t number, int32_t size, int startChar, TFrame& frame) const;
    // Sends the frame until it is accepted; whileOnLine runs once, after the first transmission.
    // header (block 0): the start character is taken for an acknowledgement that was lost on its
    // way, and false is returned, as the receiver has asked for the data already.
    bool SendBlock(const TFrame& frame, int startChar, const std::function<void()>& whileOnLine,
                   bool header = false);
    void SendEOT(bool batch);
    void ReceiveFile(const std::string& fileName, int startChar);
    // Receives a file's blocks from block 1, writing at most expectedSize bytes (all when it is
    // negative), until the sender's EOT, which is left unanswered. afterHeader: the file was
    // announced by block 0, which the sender may repeat when our answer was lost.
    void ReceiveData(int64_t expectedSize, int startChar, bool afterHeader);
    // Receives block number into block_; false when the sender ended the file (EOT) instead.
    bool ReceiveBlock(uint32_t number, int32_t& size, int startChar, bool afterHeader);
    void ClearBlock();
    void NotifyFileInfo(const std::string& name, int64_t size);
    // Queues a block's progress for the main thread (NotifyOwner).
    void NotifyPacket(int32_t packet, int64_t byteCount);
    // The file in progress, for its end report.
    void BeginFile(const std::string& name);
    void EndFile(const std::string& name, int64_t bytes, int32_t code);
    // Two CAN and the end of the transfer with code.
    [[noreturn]] void CancelAndFinish(int32_t code);

    uint8_t block_[1024];

private:
    std::string currentFile_;
    bool inFile_ = false;
};

class TVaXModemThread : public TVaXYModemThread {
public:
    explicit TVaXModemThread(TVaXModem& owner);

protected:
    void DoSend() override;
    void DoReceive() override;

private:
    const std::string fileName_;
    const TVaXProtocol protocol_;
};

class TVaYModemThread : public TVaXYModemThread {
public:
    explicit TVaYModemThread(TVaYModem& owner);

protected:
    void DoSend() override;
    void DoReceive() override;

private:
    // Announces the file; returns the receiver's start character for its data when it came in
    // place of the acknowledgement, else 0.
    int SendHeader(const std::string& path, size_t index);
    void SendEndOfBatch();
    // Receives one announced file into the folder; returns when it is stored and acknowledged.
    void ReceiveOne(const VaYModem::THeader& header, int startChar);
    // Gives the completed file at partial its final name in the folder; returns that name.
    std::string StoreReceived(const std::string& partial, const std::string& name);

    const std::vector<std::string> fileNames_;
    const std::string folder_;
    const TVaYProtocol protocol_;
};
