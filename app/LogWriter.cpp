#include "LogWriter.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

TLogWriter::~TLogWriter()
{
    stop();
}

std::string TLogWriter::open(const std::string& path, const std::string& sentPath)
{
    stop();
    const std::string paths[2] = {path, sentPath};
    for (int i = 0; i < 2; ++i) {
        path_[i].clear();
        if (paths[i].empty())
            continue;
        fd_[i] = ::open(paths[i].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd_[i] < 0) {
            const std::string why = std::strerror(errno);
            closeFiles();
            return paths[i] + ": " + why;
        }
        path_[i] = paths[i];
    }
    {
        std::lock_guard lock(mutex_);
        queue_.clear();
        queued_ = 0;
        stopping_ = false;
        checkFiles_ = false;
        failure_.clear();
        failedPath_.clear();
    }
    written_ = 0;
    thread_ = std::thread([this] { run(); });
    return {};
}

bool TLogWriter::write(Stream stream, std::string_view bytes)
{
    // Nothing to write, or for a stream that has no file in this log. The path, not the file
    // descriptor: the writing thread closes the files when it ends, the paths stay until the next open.
    if (bytes.empty() || path_[static_cast<int>(stream)].empty())
        return running();
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !thread_.joinable())
            return false;
        if (queued_ + bytes.size() > kQueueLimit) {
            // The disk does not keep up with the port: what is queued is still written, then the
            // log ends, so that the file has no holes and the window never waits for the disk.
            char why[96];
            std::snprintf(why, sizeof why, "it fell behind the port by %.1f MiB",
                          static_cast<double>(queued_ + bytes.size()) / (1 << 20));
            failure_ = why;
            failedPath_ = path_[0];
            stopping_ = true;
        } else {
            if (!queue_.empty() && queue_.back().first == stream)
                queue_.back().second.append(bytes);
            else
                queue_.emplace_back(stream, std::string(bytes));
            queued_ += bytes.size();
        }
    }
    wake_.notify_one();
    return running();
}

void TLogWriter::check()
{
    {
        std::lock_guard lock(mutex_);
        checkFiles_ = true;
    }
    wake_.notify_one();
}

void TLogWriter::stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool TLogWriter::running() const
{
    std::lock_guard lock(mutex_);
    return thread_.joinable() && !stopping_;
}

std::string TLogWriter::failure() const
{
    std::lock_guard lock(mutex_);
    return failure_;
}

std::string TLogWriter::failedPath() const
{
    std::lock_guard lock(mutex_);
    return failedPath_;
}

void TLogWriter::run()
{
    std::vector<std::pair<Stream, std::string>> batch;
    for (;;) {
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || checkFiles_ || !queue_.empty(); });
            batch.swap(queue_);
            queued_ = 0;
            last = stopping_;
            checkFiles_ = false;
        }
        bool ok = true;
        for (const auto& [stream, bytes] : batch) {
            ok = put(static_cast<int>(stream), bytes);
            if (!ok)
                break;
        }
        batch.clear();
        // A file whose folder was removed still takes writes, into a file nobody can open: the
        // log ends instead. Looked at after each batch and when asked (the window asks while the
        // port is quiet).
        if (ok)
            ok = !gone(0) && !gone(1);
        if (!ok || last)
            break;
    }
    closeFiles();
}

bool TLogWriter::put(int index, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_[index], bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(index, n < 0 ? std::strerror(errno) : "nothing could be written");
            return false;
        }
        written_ += static_cast<uint64_t>(n);
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool TLogWriter::gone(int index)
{
    struct stat info{};
    if (fd_[index] < 0 || ::fstat(fd_[index], &info) != 0 || info.st_nlink > 0)
        return false;
    struct stat folder{};
    fail(index, ::stat(folderOf(path_[index]).c_str(), &folder) == 0 ? "the file was removed"
                                                                     : "its folder was removed");
    return true;
}

void TLogWriter::fail(int index, std::string why)
{
    std::lock_guard lock(mutex_);
    failure_ = std::move(why);
    failedPath_ = path_[index];
    stopping_ = true;
    queue_.clear();
    queued_ = 0;
}

void TLogWriter::closeFiles()
{
    for (int i = 0; i < 2; ++i) {
        if (fd_[i] >= 0)
            ::close(fd_[i]);
        fd_[i] = -1;
    }
}

std::string TLogText::received(const TTermOptions& options, const std::string& bytes, const std::string& stamp,
                               bool afterPause)
{
    // Each piece as the pane takes it at the end of a long text; a clear-screen escape only
    // divides the pieces, as the log keeps what came before it.
    // A CR LF split over two reads is one line end.
    const bool splitLineEnd = lastCr_ && !bytes.empty() && bytes.front() == '\n';
    lastCr_ = !bytes.empty() && bytes.back() == '\r';
    TPaneEdit edit;
    for (TTermPiece& piece : termTextPieces(splitLineEnd ? bytes.substr(1) : bytes)) {
        if (piece.clear)
            continue;
        TPaneEdit shown;
        shown.show(INT_MAX / 2, options, std::move(piece.text));
        edit.insert += shown.insert;
    }
    if (edit.insert.empty())
        return {};
    std::string out;
    if (sentOpen_) {
        out = "\n";
        sentOpen_ = false;
        atLineStart_ = true;
    }
    edit.stampLines(atLineStart_, afterPause, stamp);
    atLineStart_ = edit.insert.back() == '\n';
    return out + edit.insert;
}

std::string TLogText::sent(std::string_view bytes, const std::string& stamp)
{
    std::string out;
    for (const char c : bytes) {
        if (sentOpen_ && sentCr_ && c != '\n') {
            out += '\n';
            sentOpen_ = false;
            atLineStart_ = true;
        }
        if (!sentOpen_) {
            if (!atLineStart_)
                out += '\n';
            out += stamp + "> ";
            sentOpen_ = true;
            atLineStart_ = false;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (byte < 0x20 || byte == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            out += hex;
        } else
            out += c;
        sentCr_ = c == '\r';
        if (c == '\n') {
            out += '\n';
            sentOpen_ = false;
            atLineStart_ = true;
        }
    }
    return out;
}
