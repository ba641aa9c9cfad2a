// The XMODEM family: sender and receiver state machines for checksum/128, CRC-16/1024 and
// streaming XMODEM-G.
#include "VaProtocol.h"

#include "VaCrc16.h"

#include <algorithm>
#include <cstring>

using namespace VaXModem;

namespace {

// After an EOT the sender is silent until it hears our answer. A byte that follows an EOT at once
// shows that it was a damaged block header, not the end of the file.
constexpr int kEotQuietMs = 100;

} // namespace

uint8_t VaXModem::StartChar(TVaYProtocol protocol)
{
    return protocol == TVaYProtocol::YModemG ? G_START : CRC_START;
}

uint8_t VaXModem::StartChar(TVaXProtocol protocol)
{
    switch (protocol) {
    case TVaXProtocol::XModem1K: return CRC_START;
    case TVaXProtocol::XModemG: return G_START;
    case TVaXProtocol::XModem: break;
    }
    return NAK;
}

// ---- TVaXModem ---------------------------------------------------------------------------------------

std::unique_ptr<TVaProtocolThread> TVaXModem::CreateWorker()
{
    return std::make_unique<TVaXModemThread>(*this);
}

TVaXModemThread::TVaXModemThread(TVaXModem& owner)
    : TVaXYModemThread(owner), fileName_(owner.FileName()), protocol_(owner.Protocol())
{
}

void TVaXModemThread::DoSend()
{
    SendFile(fileName_);
}

void TVaXModemThread::DoReceive()
{
    ReceiveFile(fileName_, StartChar(protocol_));
}

// ---- TVaXYModemThread: shared parts ----------------------------------------------------------------

void TVaXYModemThread::SendCancel()
{
    const uint8_t cancel[2] = {CAN, CAN};
    SendBuf(cancel, 2);
}

void TVaXYModemThread::CancelAndFinish(int32_t code)
{
    SendCancel();
    Finish(code);
}

void TVaXYModemThread::BeginFile(const std::string& name)
{
    currentFile_ = name;
    inFile_ = true;
}

void TVaXYModemThread::EndFile(const std::string& name, int64_t bytes, int32_t code)
{
    inFile_ = false;
    NotifyOwner([name, bytes, code](TVaProtocol& owner) {
        auto& xy = static_cast<TVaXYModem&>(owner);
        if (xy.OnFileEnd)
            TVaProtocol::RunHandler([&] { xy.OnFileEnd(&xy, name, bytes, code); });
    });
}

void TVaXYModemThread::Ended(int32_t exitCode)
{
    if (!inFile_)
        return;
    // What was received so far is on disk before its size is told.
    FlushFile();
    EndFile(currentFile_, FilePosition(), exitCode != VaCode::Completed ? exitCode : VaCode::ProtocolFailure);
}

void TVaXYModemThread::ClearBlock()
{
    std::memset(block_, 0, sizeof block_);
}

void TVaXYModemThread::NotifyFileInfo(const std::string& name, int64_t size)
{
    SyncWithOwner([name, size](TVaProtocol& owner) {
        auto& xy = static_cast<TVaXYModem&>(owner);
        if (xy.OnFileInfo)
            TVaProtocol::RunHandler([&] { xy.OnFileInfo(&xy, name, size); });
    });
}

void TVaXYModemThread::NotifyPacket(int32_t packet, int64_t byteCount)
{
    NotifyOwner([packet, byteCount](TVaProtocol& owner) {
        auto& xy = static_cast<TVaXYModem&>(owner);
        if (xy.OnPacketEvent)
            TVaProtocol::RunHandler([&] { xy.OnPacketEvent(&xy, packet, byteCount); });
    });
}

// ---- Sender ------------------------------------------------------------------------------------------

void TVaXYModemThread::SendFile(const std::string& fileName)
{
    OpenForSend(fileName);
    BeginFile(fileName);
    NotifyFileInfo(fileName, FileSize());
    SendData(WaitForStart(), false);
    EndFile(fileName, FilePosition(), VaCode::Completed);
    Finish(VaCode::Completed);
}

void TVaXYModemThread::SendData(int startChar, bool batch)
{
    const int64_t total = FileSize();
    if (batch && total == 0) {
        SendEOT(batch);
        return;
    }
    // lrzsz's rule: a tail that seven 128-byte blocks carry costs fewer bytes on the line than a
    // 1024-byte block.
    auto blockSize = [&]() -> int32_t {
        if (startChar == NAK)
            return 128;
        return !batch || total - FilePosition() > 7 * 128 ? 1024 : 128;
    };
    TFrame frames[2];
    auto prepare = [&](uint32_t number, TFrame& frame) {
        const int32_t size = blockSize();
        ClearBlock();
        if (ReadFile(block_, size) < 0)
            CancelAndFinish(VaCode::FileReadFailed);
        BuildFrame(number, size, startChar, frame);
        frame.position = FilePosition();
        frame.last = AtEndOfFile();
    };
    prepare(1, frames[0]);
    for (uint32_t number = 1;; ++number) {
        const TFrame& frame = frames[(number - 1) % 2];
        // The next block is read and framed while this one is on the line, so that the answer
        // is followed by the next block at once.
        SendBlock(frame, startChar, [&] {
            if (!frame.last)
                prepare(number + 1, frames[number % 2]);
        });
        NotifyPacket(static_cast<int32_t>(number), frame.position);
        if (frame.last) {
            SendEOT(batch);
            return;
        }
    }
}

int TVaXYModemThread::WaitForStart(bool batch)
{
    for (int i = 0; i < 10; ++i) {
        const int b = ReadByte();
        // ReadByte's answer to a cancel; a real zero byte on the line is a stray byte.
        if (b == 0 && Cancelled())
            CancelAndFinish(VaCode::Cancelled);
        if (b == NAK || b == CRC_START || b == G_START)
            return b;
        if (batch) {
            // Between the files of a batch the receiver has spoken already: CAN is its cancel, and
            // an ACK of block 0 may come or not (streaming).
            if (b == CAN)
                Finish(VaCode::PeerCancelled);
            if (b == ACK)
                continue;
        }
        RecordError(VaCode::Unexpected, false);
    }
    Finish(VaCode::ProtocolFailure);
}

void TVaXYModemThread::BuildFrame(uint32_t number, int32_t size, int startChar, TFrame& frame) const
{
    uint8_t* f = frame.bytes;
    f[0] = size == 128 ? SOH : STX;
    f[1] = static_cast<uint8_t>(number & 0xFF);
    f[2] = static_cast<uint8_t>(255 - f[1]);
    std::memcpy(f + 3, block_, static_cast<size_t>(size));
    int32_t length = 3 + size;
    if (startChar == NAK) {
        uint8_t sum = 0;
        for (int32_t i = 0; i < size; ++i)
            sum = static_cast<uint8_t>(sum + block_[i]);
        f[length++] = sum;
    } else {
        const uint16_t crc = VaCrc16(block_, static_cast<size_t>(size));
        f[length++] = static_cast<uint8_t>(crc >> 8);
        f[length++] = static_cast<uint8_t>(crc & 0xFF);
    }
    frame.length = length;
}

bool TVaXYModemThread::SendBlock(const TFrame& frame, int startChar, const std::function<void()>& whileOnLine,
                                 bool header)
{
    bool first = true;
    for (;;) {
        if (Cancelled()) {
            SendCancel();
            Finish(VaCode::Cancelled);
        }
        // Header, number, complement, data and check go out in one write.
        SendBuf(frame.bytes, frame.length);
        if (first) {
            first = false;
            whileOnLine();
        }
        if (startChar == G_START) {
            // Streaming: no answer is awaited. A receiver that gives up sends CAN, possibly behind a
            // NAK for the block it refused, so the whole of what waits is looked at; nothing is taken.
            if (Waiting(CAN))
                Finish(VaCode::PeerCancelled);
            return true;
        }
        const int answer = ReadByte();
        // The receiver asks for the data: its ACK of block 0, sent just before, was lost.
        if (header && answer == startChar)
            return false;
        switch (answer) {
        case ACK:
            return true;
        case NAK:
            RecordError(VaCode::BadBlock, true);
            break;
        case CAN:
            Finish(VaCode::PeerCancelled);
        case 0:
            // A cancel (ended above) or a zero byte on the line: send the block again.
            break;
        default:
            Finish(VaCode::ProtocolFailure);
        }
    }
}

void TVaXYModemThread::SendEOT(bool batch)
{
    for (int i = 0; i < 10; ++i) {
        SendByte(EOT);
        const int b = ReadByte();
        if (b == 0 && Cancelled())
            CancelAndFinish(VaCode::Cancelled);
        if (b == ACK)
            return;
        // A YMODEM receiver may refuse the first EOT to have it confirmed.
        if (batch && b == NAK)
            continue;
        RecordError(VaCode::Unexpected, false);
    }
    Finish(VaCode::ProtocolFailure);
}

// ---- Receiver ----------------------------------------------------------------------------------------

void TVaXYModemThread::ReceiveFile(const std::string& fileName, int startChar)
{
    const std::string name = CreateForReceive(fileName);
    BeginFile(name);
    NotifyFileInfo(name, 0);
    // Sent once: a silent sender is only waited for, counting time-outs.
    SendByte(static_cast<uint8_t>(startChar));
    ReceiveData(-1, startChar, false);
    // The file is whole on disk before the sender hears that it arrived.
    if (!FlushFile())
        CancelAndFinish(VaCode::FileWriteFailed);
    EndFile(name, FilePosition(), VaCode::Completed);
    SendByte(ACK);
    Finish(VaCode::Completed);
}

void TVaXYModemThread::ReceiveData(int64_t expectedSize, int startChar, bool afterHeader)
{
    for (uint32_t number = 1;; ++number) {
        int32_t size = 0;
        if (!ReceiveBlock(number, size, startChar, afterHeader))
            return;
        int32_t count = size;
        if (expectedSize >= 0)
            count = static_cast<int32_t>(std::clamp<int64_t>(expectedSize - FilePosition(), 0, size));
        // Acknowledged first, so that the sender goes on while the block is stored and its
        // progress handed over; a block that cannot be stored still ends the transfer (-8).
        if (startChar != G_START)
            SendByte(ACK);
        if (!WriteFile(block_, count))
            CancelAndFinish(VaCode::FileWriteFailed);
        NotifyPacket(static_cast<int32_t>(number), FilePosition());
    }
}

bool TVaXYModemThread::ReceiveBlock(uint32_t number, int32_t& size, int startChar, bool afterHeader)
{
    const bool crc = startChar != NAK;
    const uint8_t expected = static_cast<uint8_t>(number & 0xFF);
    const uint8_t previous = static_cast<uint8_t>((number - 1) & 0xFF);
    // Set once this block has been refused: the sender owes us its repetition, so an EOT now
    // would end the file without it.
    bool refused = false;
    ClearBlock();
    size = 0;
    for (;;) {
        switch (ReadByte()) {
        case SOH:
            size = 128;
            break;
        case STX:
            size = 1024;
            break;
        case EOT:
            if (!QuietFor(timeout_ > 0 ? std::min(kEotQuietMs, timeout_) : kEotQuietMs) || refused) {
                // Not the end of the file: a damaged header, or an EOT where a repeated block is
                // due. Accepting it would report a short file as complete.
                if (Cancelled())
                    break;
                SendCancel();
                Finish(VaCode::ProtocolFailure);
            }
            if (Cancelled())
                break;
            return false;
        case CAN:
            Finish(VaCode::PeerCancelled);
        case 0:
            // ReadByte's answer to a cancel; a real zero byte is no block header.
            if (Cancelled())
                break;
            Finish(VaCode::ProtocolFailure);
        default:
            Finish(VaCode::ProtocolFailure);
        }
        if (Cancelled()) {
            SendCancel();
            Finish(VaCode::Cancelled);
        }

        const int blockNumber = ReadByte();
        const int complement = ReadByte();
        ReadBytes(block_, size);
        bool checkOk;
        if (crc) {
            const int high = ReadByte();
            const int low = ReadByte();
            checkOk = ((high << 8) | low) == VaCrc16(block_, static_cast<size_t>(size));
        } else {
            uint8_t sum = 0;
            for (int32_t i = 0; i < size; ++i)
                sum = static_cast<uint8_t>(sum + block_[i]);
            checkOk = ReadByte() == sum;
        }
        if (Cancelled()) {
            SendCancel();
            Finish(VaCode::Cancelled);
        }

        // A block whose number and complement disagree is damaged like one with a bad check: its
        // number cannot be trusted, so it is refused rather than taken as out of sequence.
        const bool whole = checkOk && blockNumber + complement == 255;
        if (whole && blockNumber == expected)
            return true;
        if (whole && (number > 1 || (number == 1 && afterHeader)) && blockNumber == previous) {
            // The sender repeats the block before because our ACK did not reach it. It is in the
            // file already: acknowledge it again and wait for the one due. A repeated block 0
            // also waits for our request for the data again.
            const uint8_t answer[2] = {ACK, static_cast<uint8_t>(startChar)};
            SendBuf(answer, number == 1 ? 2 : 1);
            ClearBlock();
            continue;
        }
        if (whole) {
            SendCancel();
            Finish(VaCode::ProtocolFailure);
        }
        RecordError(VaCode::BadBlock, true);
        SendByte(NAK);
        refused = true;
    }
}
