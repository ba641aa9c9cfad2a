// YMODEM and YMODEM-G: batches of files over the XMODEM family's framing. Each file is announced by
// block 0 (name, size, time, mode); an empty block 0 ends the batch. A received file is written
// under a partial name in the chosen folder and gets its own name only once it is complete.
#include "VaProtocol.h"

#include "VaFileName.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace VaXModem;

namespace {

// Decimal (base 10) or octal (base 8) digits only, with no more than fit a 64-bit value.
bool ParseNumber(const std::string& text, int base, int64_t& value)
{
    if (text.empty() || text.size() > (base == 10 ? 18u : 21u))
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c >= '0' + base)
            return false;
        value = value * base + (c - '0');
    }
    return true;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

// ---- Block 0 -----------------------------------------------------------------------------------------

bool VaYModem::ParseHeader(const uint8_t* block, int32_t size, THeader& header)
{
    header = THeader{};
    const auto* end = block + size;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(block, 0, static_cast<size_t>(size)));
    if (nul == nullptr)
        return false;
    header.name.assign(block, nul);
    if (header.name.empty())
        return true;
    const auto* infoEnd = static_cast<const uint8_t*>(std::memchr(nul + 1, 0, static_cast<size_t>(end - nul - 1)));
    const std::string info(nul + 1, infoEnd != nullptr ? infoEnd : end);
    std::vector<std::string> fields;
    for (size_t at = 0; at < info.size();) {
        const size_t next = std::min(info.find(' ', at), info.size());
        if (next > at)
            fields.push_back(info.substr(at, next - at));
        at = next + 1;
    }
    // Everything after the name is optional, but a size that is given must be one.
    if (fields.empty())
        return true;
    if (!ParseNumber(fields[0], 10, header.size))
        return false;
    int64_t value = 0;
    if (fields.size() > 1 && ParseNumber(fields[1], 8, value))
        header.mtime = value;
    if (fields.size() > 2 && ParseNumber(fields[2], 8, value))
        header.mode = static_cast<uint32_t>(value & 0xFFFFFFFF);
    return true;
}

int32_t VaYModem::BuildHeader(const std::string& name, int64_t size, int64_t mtime, uint32_t mode,
                              int filesLeft, int64_t bytesLeft, uint8_t* block)
{
    char info[128];
    const int n = std::snprintf(info, sizeof info, "%lld %llo %o 0 %d %lld", static_cast<long long>(size),
                                static_cast<unsigned long long>(std::max<int64_t>(mtime, 0)), mode, filesLeft,
                                static_cast<long long>(bytesLeft));
    const size_t length = name.size() + 1 + static_cast<size_t>(n);
    if (name.empty() || length > 1024)
        return 0;
    std::memcpy(block, name.data(), name.size());
    block[name.size()] = 0;
    std::memcpy(block + name.size() + 1, info, static_cast<size_t>(n));
    return length <= 128 ? 128 : 1024;
}

std::string VaYModem::StoredName(const std::string& transmitted)
{
    for (const char c : transmitted) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            return {};
    }
    const size_t cut = transmitted.find_last_of("/\\");
    std::string name = cut == std::string::npos ? transmitted : transmitted.substr(cut + 1);
    // Room for the partial suffix and a number that keeps an existing file ("-12").
    const size_t room = NAME_MAX - std::strlen(kPartialSuffix) - 8;
    if (name.empty() || name == "." || name == ".." || name.size() > room)
        return {};
    return name;
}

// ---- TVaYModem ---------------------------------------------------------------------------------------

std::unique_ptr<TVaProtocolThread> TVaYModem::CreateWorker()
{
    return std::make_unique<TVaYModemThread>(*this);
}

TVaYModemThread::TVaYModemThread(TVaYModem& owner)
    : TVaXYModemThread(owner), fileNames_(owner.FileNames()), folder_(owner.Folder()), protocol_(owner.Protocol())
{
}

// ---- Sender ------------------------------------------------------------------------------------------

void TVaYModemThread::DoSend()
{
    for (size_t i = 0; i < fileNames_.size(); ++i) {
        const std::string& path = fileNames_[i];
        OpenForSend(path);
        BeginFile(path);
        NotifyFileInfo(path, FileSize());
        const int asked = SendHeader(path, i);
        // The receiver asks for the data as it asked for block 0.
        SendData(asked != 0 ? asked : WaitForStart(true), true);
        EndFile(path, FilePosition(), VaCode::Completed);
        CloseFile();
    }
    SendEndOfBatch();
    Finish(VaCode::Completed);
}

int TVaYModemThread::SendHeader(const std::string& path, size_t index)
{
    const int startChar = WaitForStart(index > 0);
    struct stat st {};
    ::fstat(FileDescriptor(), &st);
    int64_t bytesLeft = FileSize();
    for (size_t j = index + 1; j < fileNames_.size(); ++j) {
        struct stat other {};
        if (::stat(fileNames_[j].c_str(), &other) == 0)
            bytesLeft += other.st_size;
    }
    ClearBlock();
    const int32_t size = VaYModem::BuildHeader(BaseName(path), FileSize(), st.st_mtime, st.st_mode,
                                               static_cast<int>(fileNames_.size() - index), bytesLeft, block_);
    if (size == 0)
        CancelAndFinish(VaCode::OpenFailed);
    TFrame frame;
    BuildFrame(0, size, startChar, frame);
    return SendBlock(frame, startChar, [] {}, true) ? 0 : startChar;
}

void TVaYModemThread::SendEndOfBatch()
{
    const int startChar = WaitForStart(!fileNames_.empty());
    ClearBlock();
    TFrame frame;
    BuildFrame(0, 128, startChar, frame);
    SendBlock(frame, startChar, [] {});
    // A streaming receiver need not answer; ours does. Waiting a moment for it lets the block
    // leave the port before the transfer ends and the port may be closed.
    if (startChar == G_START && !QuietFor(std::min(timeout_ > 0 ? timeout_ : 1000, 1000)))
        ReadByte();
}

// ---- Receiver ----------------------------------------------------------------------------------------

void TVaYModemThread::DoReceive()
{
    const int startChar = StartChar(protocol_);
    bool stored = false; // a file of this batch is complete
    // Sent once: a silent sender is only waited for, counting time-outs.
    SendByte(static_cast<uint8_t>(startChar));
    for (;;) {
        int32_t size = 0;
        if (!ReceiveBlock(0, size, startChar, false)) {
            // An EOT again: the sender did not hear that its last file arrived.
            if (!stored)
                CancelAndFinish(VaCode::ProtocolFailure);
            const uint8_t answer[2] = {ACK, static_cast<uint8_t>(startChar)};
            SendBuf(answer, 2);
            continue;
        }
        VaYModem::THeader header;
        if (!VaYModem::ParseHeader(block_, size, header))
            CancelAndFinish(VaCode::ProtocolFailure);
        if (header.name.empty()) {
            SendByte(ACK);
            Finish(VaCode::Completed);
        }
        ReceiveOne(header, startChar);
        stored = true;
        SendByte(static_cast<uint8_t>(startChar));
    }
}

void TVaYModemThread::ReceiveOne(const VaYModem::THeader& header, int startChar)
{
    const std::string name = VaYModem::StoredName(header.name);
    if (name.empty())
        CancelAndFinish(VaCode::ProtocolFailure);
    const std::string target = folder_ + (folder_.empty() || folder_.back() == '/' ? "" : "/") + name;
    const std::string partial = CreateForReceive(target + VaYModem::kPartialSuffix);
    BeginFile(partial);
    NotifyFileInfo(target, std::max<int64_t>(header.size, 0));
    // Block 0 taken; now the data, please.
    const uint8_t answer[2] = {ACK, static_cast<uint8_t>(startChar)};
    if (startChar == G_START)
        SendByte(answer[1]);
    else
        SendBuf(answer, 2);
    ReceiveData(header.size, startChar, true);
    // The sender has ended the file: it must hold what block 0 announced.
    if (FilePosition() < header.size)
        CancelAndFinish(VaCode::ProtocolFailure);
    if (!FlushFile())
        CancelAndFinish(VaCode::FileWriteFailed);
    if (header.mtime > 0) {
        const timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(header.mtime), 0}};
        ::futimens(FileDescriptor(), times);
    }
    CloseFile();
    const std::string stored = StoreReceived(partial, target);
    EndFile(stored, FilePosition(), VaCode::Completed);
    SendByte(ACK);
}

std::string TVaYModemThread::StoreReceived(const std::string& partial, const std::string& name)
{
    // Never over an existing file, even one that appeared during the transfer.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string target = MakeUniqueFileName(name);
        if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system that cannot rename without replacing: a hard link cannot replace either.
            if (::link(partial.c_str(), target.c_str()) == 0) {
                ::unlink(partial.c_str());
                return target;
            }
        }
        if (errno != EEXIST)
            break;
    }
    CancelAndFinish(VaCode::FileWriteFailed);
}
