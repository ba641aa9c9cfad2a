// The log to a file: what the port receives (and optionally what is sent) appended to a file by
// a thread of its own, so that a slow disk never holds up the window; and the text format's lines.
// Plain C++, checked without a window.
#pragma once

#include "TermText.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

enum class TLogFormat { raw = 0, text = 1 };

// In the raw format what is sent goes to a file of its own beside the log, so that the log holds
// exactly the bytes received: the log's name with this added.
constexpr const char* kSentLogSuffix = ".sent";

// Appends to one file (and, when asked, a second one for what is sent) from a thread of its own.
// Writes are queued in memory up to kQueueLimit (beside the batch being written); a log that falls that far behind the port stops
// (what is queued is still written) rather than blocking the window or leaving holes in the file.
// A write error (a full disk) or the file vanishing (its folder removed) stops it too; what was
// written stays.
class TLogWriter {
public:
    enum class Stream { main = 0, sent = 1 };
    static constexpr size_t kQueueLimit = size_t{8} << 20;

    TLogWriter() = default;
    TLogWriter(const TLogWriter&) = delete;
    TLogWriter& operator=(const TLogWriter&) = delete;
    // Stops as stop does.
    ~TLogWriter();

    // Opens path (created when missing, appended to when present) and sentPath when not empty,
    // and starts the writing thread. On failure returns the reason ("No such file or directory")
    // and nothing is open.
    std::string open(const std::string& path, const std::string& sentPath = {});
    // Queues bytes for a stream; false (and nothing queued) once the log has stopped.
    bool write(Stream stream, std::string_view bytes);
    // Has the writing thread look whether the files are still there.
    void check();
    // Writes what is queued, closes the files and ends the thread.
    void stop();

    bool running() const;
    // Why the log stopped by itself ("No space left on device"); empty while it runs or after stop.
    std::string failure() const;
    // The file the failure concerns.
    std::string failedPath() const;
    // Bytes in the files from this log (both streams).
    uint64_t written() const { return written_.load(); }

private:
    void run();
    // Appends all of bytes (or what fits) to a stream's file; false with the failure set.
    bool put(int index, std::string_view bytes);
    // Sets the failure for a stream's file when it was removed (or its folder).
    bool gone(int index);
    void fail(int index, std::string why);
    void closeFiles();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::pair<Stream, std::string>> queue_; // guarded by mutex_
    size_t queued_ = 0;                                 // guarded by mutex_
    bool stopping_ = false;                             // guarded by mutex_
    bool checkFiles_ = false;                           // guarded by mutex_
    std::string failure_, failedPath_;                  // guarded by mutex_
    std::atomic<uint64_t> written_{0};
    int fd_[2] = {-1, -1}; // the writing thread's while it runs
    std::string path_[2];  // set by open before the thread starts, unchanged while it runs
    std::thread thread_;
};

// The text format: the text view's lines as the terminal pane shows them (its display rules,
// CR LF as one line end, also when split over two reads), with the time stamp before each line when stamps are on. What the pane
// later erases or clears (backspace, the clear-screen escape) stays in the log. Sent bytes go on
// lines of their own: the stamp, "> " and the bytes with CR, LF, tab, backslash and other control
// bytes written as \r \n \t \\ \xHH; a sent line ends after a line end (CR, LF or CR LF) or
// when received text comes, so that keys typed one by one make one line.
class TLogText {
public:
    std::string received(const TTermOptions& options, const std::string& bytes, const std::string& stamp,
                         bool afterPause);
    std::string sent(std::string_view bytes, const std::string& stamp);

private:
    bool atLineStart_ = true;
    bool lastCr_ = false;   // the last received byte was CR
    bool sentOpen_ = false; // the last line is a sent line, not ended yet
    bool sentCr_ = false;   // ... and its last byte was CR
};
