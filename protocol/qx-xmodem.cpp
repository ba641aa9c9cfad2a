// qx-xmodem: sends or receives one file with XMODEM, XMODEM-1K or XMODEM-G, or a batch of files
// with YMODEM or YMODEM-G, over a serial port.
//
//   qx-xmodem send|receive [--protocol xmodem|1k|g|ymodem|ymodem-g] [--baud N] [--timeout MS]
//             [--max-errors N] [--flow none|rtscts|xonxoff] [--wait SECONDS] PORT FILE...|FOLDER
//
// Exit status: 0 when the transfer completed, 1 when it failed, 2 for a usage or port error.
#include "QxBuildInfo.h"
#include "VaDeviceWatch.h"
#include "VaNetTransport.h"
#include "VaProtocol.h"

#include <chrono>
#include <csignal>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    TVaTransferMode mode = tmUpload;
    TVaXProtocol protocol = TVaXProtocol::XModem;
    // YMODEM: the files to send, or the folder to receive into (in file).
    std::optional<TVaYProtocol> batch;
    std::vector<std::string> files;
    int32_t baud = 115200;
    int32_t timeout = 10000;
    int32_t maxErrors = 10;
    int32_t waitSeconds = 0;
    std::string flow = "none";
    std::string port;
    std::string file;
};

void Usage(FILE* out)
{
    std::fputs("usage: qx-xmodem send|receive [--protocol xmodem|1k|g|ymodem|ymodem-g] [--baud N]\n"
               "                 [--timeout MS] [--max-errors N] [--flow none|rtscts|xonxoff]\n"
               "                 [--wait SECONDS]\n"
               "                 PORT FILE...|FOLDER\n"
               "\n"
               "  send        send FILE; the receiver chooses checksum, 1K/CRC or G mode\n"
               "              (YMODEM: send one FILE or several)\n"
               "  receive     receive into FILE (an existing file is kept: FILE-1, FILE-2, ... is used)\n"
               "              (YMODEM: receive into FOLDER, each file under its own name)\n"
               "  --protocol  xmodem (checksum, asks with NAK), 1k (CRC-16, asks with C),\n"
               "              g (streaming, asks with G), ymodem (batch, asks with C),\n"
               "              ymodem-g (streaming batch, asks with G); default xmodem. An XMODEM\n"
               "              sender follows the receiver's request whatever is chosen here.\n"
               "  --baud      line rate, default 115200 (8 data bits, no parity, 1 stop bit)\n"
               "  --timeout   milliseconds one wait for a byte may last, default 10000\n"
               "  --max-errors  errors that end the transfer, default 10 (0: no limit)\n"
               "  --flow      flow control, default none\n"
               "  --wait      wait up to SECONDS for PORT to appear and become free before starting\n"
               "              (a board plugged in after the command was given)\n"
               "  PORT        a device path (/dev/ttyUSB0), a name under /dev (ttyUSB0), or a remote port:\n"
               "              rfc2217://HOST:PORT[?OPTIONS] or socket://HOST:PORT\n"
               "\n"
               "exit status: 0 completed, 1 transfer failed, 2 usage or port error\n",
               out);
}

bool ParseInt(const char* text, int32_t& value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

bool ParseArgs(int argc, char** argv, Options& o)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qx-xmodem: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::printf("qx-xmodem %s\n", kQxVersion);
            std::exit(0);
        } else if (arg == "--protocol") {
            const char* v = value("--protocol");
            if (v == nullptr)
                return false;
            const std::string p = v;
            o.batch.reset();
            if (p == "ymodem")
                o.batch = TVaYProtocol::YModem;
            else if (p == "ymodem-g")
                o.batch = TVaYProtocol::YModemG;
            else if (p == "xmodem")
                o.protocol = TVaXProtocol::XModem;
            else if (p == "1k")
                o.protocol = TVaXProtocol::XModem1K;
            else if (p == "g")
                o.protocol = TVaXProtocol::XModemG;
            else {
                std::fprintf(stderr, "qx-xmodem: unknown protocol '%s'\n", v);
                return false;
            }
        } else if (arg == "--baud" || arg == "--timeout" || arg == "--max-errors" || arg == "--wait") {
            const char* v = value(arg.c_str());
            if (v == nullptr)
                return false;
            int32_t n = 0;
            if (!ParseInt(v, n) || (arg == "--baud" && n <= 0) || (arg == "--timeout" && n <= 0)
                || (arg == "--wait" && (n < 0 || n > INT32_MAX / 1000))) {
                std::fprintf(stderr, "qx-xmodem: bad value for %s: '%s'\n", arg.c_str(), v);
                return false;
            }
            (arg == "--baud" ? o.baud : arg == "--timeout" ? o.timeout : arg == "--wait" ? o.waitSeconds : o.maxErrors) = n;
        } else if (arg == "--flow") {
            const char* v = value("--flow");
            if (v == nullptr)
                return false;
            o.flow = v;
            if (o.flow != "none" && o.flow != "rtscts" && o.flow != "xonxoff") {
                std::fprintf(stderr, "qx-xmodem: unknown flow control '%s'\n", v);
                return false;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "qx-xmodem: unknown option '%s'\n", arg.c_str());
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    // One file, except that a YMODEM sender takes several.
    if (positional.size() < 3 || (positional.size() > 3 && !(o.batch && positional[0] == "send"))) {
        Usage(stderr);
        return false;
    }
    if (positional[0] == "send")
        o.mode = tmUpload;
    else if (positional[0] == "receive")
        o.mode = tmDownload;
    else {
        std::fprintf(stderr, "qx-xmodem: the command is send or receive, not '%s'\n",
                     positional[0].c_str());
        return false;
    }
    o.port = positional[1];
    o.file = positional[2];
    o.files.assign(positional.begin() + 2, positional.end());
    return true;
}

// The component for the chosen protocol, set up for the transfer.
std::unique_ptr<TVaXYModem> MakeTransfer(const Options& o)
{
    if (!o.batch) {
        auto xmodem = std::make_unique<TVaXModem>();
        xmodem->SetProtocol(o.protocol);
        xmodem->SetFileName(o.file);
        return xmodem;
    }
    auto ymodem = std::make_unique<TVaYModem>();
    ymodem->SetProtocol(*o.batch);
    if (o.mode == tmUpload)
        ymodem->SetFileNames(o.files);
    else
        ymodem->SetFolder(o.file);
    return ymodem;
}

// A YMODEM receiver needs a folder, and a sender files it can read: refused here rather than after
// a time-out or half-way through the batch.
bool CheckBatch(const Options& o)
{
    if (!o.batch)
        return true;
    struct stat st {};
    if (o.mode == tmDownload) {
        if (::stat(o.file.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        std::fprintf(stderr, "qx-xmodem: %s is not a folder\n", o.file.c_str());
        return false;
    }
    for (const std::string& file : o.files) {
        if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(file.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "qx-xmodem: cannot read %s\n", file.c_str());
            return false;
        }
    }
    return true;
}

// One line for each file that has ended.
void PrintFileEnd(const Options& o, const std::string& name, int64_t bytes, int32_t code)
{
    if (code == VaCode::Completed)
        std::fprintf(stderr, "%s %s (%lld bytes)\n", o.mode == tmUpload ? "sent" : "received", name.c_str(),
                     static_cast<long long>(bytes));
    else
        std::fprintf(stderr, "not completed: %s (%lld bytes %s), exit code %d: %s\n", name.c_str(),
                     static_cast<long long>(bytes), o.mode == tmUpload ? "sent" : "kept", code,
                     VaTransferCodeMeaning(code));
}

// The device path as the port's name pattern: a plain name is looked up under /dev, and a "%" is
// doubled because the pattern is formatted with the port number.
std::string PortPath(const std::string& port)
{
    return port.find('/') == std::string::npos ? "/dev/" + port : port;
}

std::string DevicePattern(const std::string& port)
{
    std::string pattern;
    for (char c : PortPath(port)) {
        pattern += c;
        if (c == '%')
            pattern += '%';
    }
    return pattern;
}

// Shows the progress of the transfer: a bar that rewrites one line on a terminal, plain lines
// (at most one a second) otherwise.
class Progress {
public:
    explicit Progress(bool terminal) : terminal_(terminal) {}

    // A new file begins.
    void Restart(int64_t total)
    {
        total_ = total;
        lastPacket_ = 0;
        lastBytes_ = 0;
        start_ = std::chrono::steady_clock::now();
        last_ = {};
    }

    void Update(int32_t packet, int64_t bytes, bool force = false)
    {
        lastPacket_ = packet;
        lastBytes_ = bytes;
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
        if (terminal_) {
            if (!force && now - last_ < std::chrono::milliseconds(100))
                return;
            char bar[31] = {};
            int filled = 0;
            if (total_ > 0)
                filled = static_cast<int>(std::min<int64_t>(30, bytes * 30 / total_));
            for (int i = 0; i < 30; ++i)
                bar[i] = i < filled ? '#' : (total_ > 0 ? '.' : ' ');
            std::fprintf(stderr, "\r[%s] block %d  %lld bytes  %.1f KiB/s ", bar, packet,
                         static_cast<long long>(bytes), rate / 1024.0);
            shown_ = true;
        } else {
            if (!force && now - last_ < std::chrono::seconds(1))
                return;
            std::fprintf(stderr, "block %d: %lld bytes, %.1f KiB/s\n", packet,
                         static_cast<long long>(bytes), rate / 1024.0);
        }
        last_ = now;
    }

    void Finish()
    {
        if (lastPacket_ > 0)
            Update(lastPacket_, lastBytes_, true);
        lastPacket_ = 0;
        EndLine();
    }

    // Ends the bar's line before other output.
    void EndLine()
    {
        if (terminal_ && shown_) {
            std::fputc('\n', stderr);
            shown_ = false;
        }
    }

private:
    bool terminal_;
    bool shown_ = false;
    int64_t total_ = 0;
    int32_t lastPacket_ = 0;
    int64_t lastBytes_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, o) || !CheckBatch(o))
        return 2;

    // A port that is not there yet (or not free yet) is waited for, asleep until the kernel says
    // something changed. Before the signals are taken over, so an interrupt simply ends the wait.
    // A remote port has no device node to watch: its server is simply tried at the start.
    if (o.waitSeconds > 0 && !VaIsPortUrl(o.port)) {
        const std::string path = PortPath(o.port);
        const TVaOpenResult ready = VaWaitForPort(path, 0);
        if (!ready.ok) {
            std::fprintf(stderr, "qx-xmodem: waiting up to %d s for %s\n", static_cast<int>(o.waitSeconds), path.c_str());
            (void)VaWaitForPort(path, o.waitSeconds * 1000);
        }
    }

    // Signals are taken by a thread of their own (blocked here before any other thread exists):
    // an interrupt cancels the transfer, which then tells the peer.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A file-size limit makes a write fail (exit code -8) instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    VaSetMainThread();

    TVaComm port;
    port.SetDeviceName(DevicePattern(o.port));
    port.SetUserBaudrate(o.baud);
    port.SetDatabits(db8);
    port.SetParity(paNone);
    port.SetStopbits(sb1);
    if (o.flow == "rtscts") {
        port.FlowControl().SetOutCtsFlow(true);
        port.FlowControl().SetControlRts(rtsHandshake);
    } else if (o.flow == "xonxoff") {
        port.FlowControl().SetXonXoffOut(true);
        port.FlowControl().SetXonXoffIn(true);
    }
    try {
        port.Open();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qx-xmodem: %s\n", e.what());
        return 2;
    }

    Progress progress(isatty(STDERR_FILENO) != 0);
    const std::unique_ptr<TVaXYModem> transfer = MakeTransfer(o);
    TVaXYModem& xmodem = *transfer;
    xmodem.SetComm(&port);
    xmodem.SetMode(o.mode);
    xmodem.SetTimeout(o.timeout);
    xmodem.SetMaxErrors(o.maxErrors);
    xmodem.OnFileInfo = [&](TVaProtocol*, const std::string& name, int64_t size) {
        progress.EndLine();
        if (o.mode == tmUpload)
            std::fprintf(stderr, "sending %s (%lld bytes)\n", name.c_str(), static_cast<long long>(size));
        else if (o.batch)
            std::fprintf(stderr, "receiving %s (%lld bytes)\n", name.c_str(), static_cast<long long>(size));
        else
            std::fprintf(stderr, "receiving into %s\n", name.c_str());
        progress.Restart(size);
    };
    xmodem.OnFileEnd = [&](TVaProtocol*, const std::string& name, int64_t bytes, int32_t code) {
        progress.Finish();
        if (o.batch)
            PrintFileEnd(o, name, bytes, code);
    };
    xmodem.OnPacketEvent = [&](TVaProtocol*, int32_t packet, int64_t bytes) {
        progress.Update(packet, bytes);
    };
    xmodem.OnError = [&](TVaProtocol*, int32_t code, int32_t count) {
        progress.EndLine();
        std::fprintf(stderr, "error %d (%s), %d so far\n", code, VaTransferCodeMeaning(code), count);
    };
    port.OnNotice = [&](TVaCustomComm*, const std::string& text) {
        progress.EndLine();
        std::fprintf(stderr, "%s\n", text.c_str());
    };
    bool disconnected = false;
    port.OnDisconnect = [&](TVaCustomComm*) {
        if (!disconnected) {
            disconnected = true;
            progress.EndLine();
            std::fprintf(stderr, "the port has gone away\n");
            xmodem.AbortTransfer();
        }
    };

    std::thread([signals, &xmodem] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0)
                return;
            VaQueue([&xmodem] { xmodem.AbortTransfer(); });
        }
    }).detach();

    try {
        xmodem.StartTransfer();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qx-xmodem: %s\n", e.what());
        return 2;
    }
    VaWaitServing([&] { return !xmodem.Busy(); });
    progress.EndLine();

    const int32_t code = xmodem.ExitCode();
    std::fprintf(stderr, "exit code %d: %s\n", code, VaTransferCodeMeaning(code));
    xmodem.SetComm(nullptr);
    port.Close();
    return code == VaCode::Completed ? 0 : 1;
}
