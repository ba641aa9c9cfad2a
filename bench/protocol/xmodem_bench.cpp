// XMODEM and YMODEM throughput and line efficiency, ours against lrzsz, printed as figures.
//
//   xmodem_bench [--size-mib N] [--paced-kib N] [--runs N] [--only X|K|Y]
//
// 1. Throughput on a pseudo-terminal without a rate: a file of N MiB (default 4), each pairing
//    through the same path (one pty, a relay, a socket pair: lrzsz's receivers need the socket pair;
//    ours to ours goes pty, relay, pty). Each pairing runs --runs times (default 5), interleaved, so
//    that a busy moment of the machine falls on all pairings alike. Printed per pairing: the median
//    time with the range (fastest-slowest), the CPU time both ends used per MB of file (the relay's
//    own thread left out), and the ratio lrzsz's time / ours (above 1: we are faster) as the median
//    of the runs' ratios with their range. Modes: checksum with 128-byte blocks (sx -X / rx -X),
//    CRC with 1K blocks (sx -Xk / rx -Xc) and YMODEM (sb -k / rb).
// 2. Efficiency through a relay that paces bytes at 115200 baud (11520 bytes/s): the file bytes
//    divided by the time from the sender's first to its last byte on the line, against 11520.
#include "XferTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr double kLineRate = 11520.0;

enum class Side { Ours, Lrzsz };

// 'X' checksum/128, 'K' CRC/1K, 'G' streaming (ours to ours only), 'Y' YMODEM batch of one file.
using Mode = char;

struct Result {
    bool ok = false;
    double seconds = 0;    // whole transfer, start to both ends finished
    double cpu = 0;        // CPU seconds of both ends: this process without the relay, and lrzsz
    double efficiency = 0; // file bytes per second on the line against kLineRate
};

double CpuOf(int who)
{
    rusage u{};
    ::getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Our end of a transfer in the mode: an XMODEM component, or a YMODEM one for 'Y'.
class OurEnd {
public:
    OurEnd(const std::string& device, Mode mode) : mode_(mode)
    {
        if (mode == 'Y')
            y_.emplace(device);
        else
            x_.emplace(device);
    }
    void Send(const std::string& file)
    {
        if (y_)
            y_->Send({file}, 10000, 10);
        else
            x_->Start(tmUpload, file, TVaXProtocol::XModem, 10000, 10);
    }
    // Into the file out.bin of dir, or (YMODEM) into dir's folder out/.
    void Receive(const TempDir& dir)
    {
        if (y_) {
            y_->Receive(dir.File("out"), TVaYProtocol::YModem, 10000, 10);
            return;
        }
        const TVaXProtocol protocol = mode_ == 'X' ? TVaXProtocol::XModem
                                      : mode_ == 'K' ? TVaXProtocol::XModem1K
                                                     : TVaXProtocol::XModemG;
        x_->Start(tmDownload, dir.File("out.bin"), protocol, 10000, 10);
    }
    const Watched& Events() const { return y_ ? static_cast<const Watched&>(*y_) : *x_; }

private:
    Mode mode_;
    std::optional<XEnd> x_;
    std::optional<YEnd> y_;
};

std::vector<std::string> SenderArgs(Mode mode)
{
    if (mode == 'Y')
        return {"sb", "-k", "src.bin"};
    return {"sx", mode == 'X' ? "-X" : "-Xk", "src.bin"};
}

std::vector<std::string> ReceiverArgs(Mode mode)
{
    if (mode == 'Y')
        return {"rb"};
    return {"rx", mode == 'X' ? "-X" : "-Xc", "out.bin"};
}

// One transfer.
Result Run(Side sender, Side receiver, Mode mode, const Bytes& data, double pace)
{
    TempDir dir;
    WriteFileBytes(dir.File("src.bin"), data);
    std::filesystem::create_directory(dir.File("out"));
    // lrzsz's YMODEM receiver works in the folder it runs in.
    const std::string receiverDir = mode == 'Y' ? dir.File("out") : dir.Path();
    Faults line;
    line.bytesPerSecond = pace;
    Result r;
    const double selfCpu = CpuOf(RUSAGE_SELF);
    const double childCpu = CpuOf(RUSAGE_CHILDREN);
    double relayCpu = 0;
    const auto start = std::chrono::steady_clock::now();
    Relay::Traffic traffic;

    if (sender == Side::Ours && receiver == Side::Ours) {
        Pty a, b;
        OurEnd s(a.SlavePath(), mode), rcv(b.SlavePath(), mode);
        Relay relay(a.Master(), b.Master(), line, line);
        s.Send(dir.File("src.bin"));
        rcv.Receive(dir);
        ServeUntil([&] { return s.Events().Done() && rcv.Events().Done(); }, 600000);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        relay.Stop();
        traffic = relay.TrafficOf(0);
        relayCpu = relay.CpuSeconds();
        r.ok = s.Events().exitCode == 0 && rcv.Events().exitCode == 0;
    } else {
        Pty pty;
        SocketPair sp;
        std::optional<OurEnd> ours;
        std::optional<Relay> relay;
        std::optional<Child> peer, peer2;
        int slave = -1;
        if (sender == Side::Ours) {
            ours.emplace(pty.SlavePath(), mode);
            relay.emplace(pty.Master(), sp.fd[0], line, line);
            ours->Send(dir.File("src.bin"));
            peer.emplace(ReceiverArgs(mode), sp.fd[1], receiverDir);
        } else if (receiver == Side::Ours) {
            ours.emplace(pty.SlavePath(), mode);
            relay.emplace(sp.fd[0], pty.Master(), line, line);
            peer.emplace(SenderArgs(mode), sp.fd[1], dir.Path());
            ours->Receive(dir);
        } else {
            slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            relay.emplace(pty.Master(), sp.fd[0], line, line);
            peer2.emplace(ReceiverArgs(mode), sp.fd[1], receiverDir);
            peer.emplace(SenderArgs(mode), slave, dir.Path());
        }
        ServeUntil([&] { return (!ours || ours->Events().Done()) && peer->Exited() && (!peer2 || peer2->Exited()); },
                   600000);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        relay->Stop();
        // The sender's direction: a to b, except when the relay was built the other way round.
        traffic = relay->TrafficOf(0);
        relayCpu = relay->CpuSeconds();
        r.ok = peer->Status() == 0 && (!peer2 || peer2->Status() == 0) && (!ours || ours->Events().exitCode == 0);
        if (slave >= 0)
            ::close(slave);
    }
    r.cpu = CpuOf(RUSAGE_SELF) - selfCpu - relayCpu + CpuOf(RUSAGE_CHILDREN) - childCpu;
    const Bytes out = ReadFileBytes(mode == 'Y' ? dir.File("out/src.bin") : dir.File("out.bin"));
    r.ok = r.ok && out.size() >= data.size() && std::equal(data.begin(), data.end(), out.begin()) &&
           (mode != 'Y' || out.size() == data.size());
    const double onLine = std::chrono::duration<double>(traffic.last - traffic.first).count();
    if (onLine > 0)
        r.efficiency = static_cast<double>(data.size()) / onLine / kLineRate;
    return r;
}

const char* Name(Side s)
{
    return s == Side::Ours ? "ours" : "lrzsz";
}

const char* ModeLabel(Mode mode)
{
    switch (mode) {
    case 'K': return "1K/CRC  ";
    case 'X': return "checksum";
    case 'Y': return "YMODEM  ";
    }
    return "G       ";
}

} // namespace

int main(int argc, char** argv)
{
    double sizeMiB = 4;
    double pacedKiB = 64;
    int runs = 5;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0)
            sizeMiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--paced-kib") == 0)
            pacedKiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    }
    VaSetMainThread();
    std::vector<Mode> modes;
    for (const Mode mode : {'K', 'X', 'Y'})
        if (only.empty() || only.find(mode) != std::string::npos)
            modes.push_back(mode);

    std::printf("Throughput on a pty, %.1f MiB file, %d runs of each pairing, interleaved: median time\n"
                "[fastest-slowest], median CPU seconds of both ends per MB of file, and the ratio\n"
                "lrzsz->lrzsz time / this pairing's time in the same run (median [lowest-highest]; above 1:\n"
                "faster than lrzsz)\n",
                sizeMiB, runs);
    const Bytes big = RandomBytes(static_cast<size_t>(sizeMiB * 1024 * 1024), 42);
    const double megabytes = static_cast<double>(big.size()) / 1e6;
    const std::pair<Side, Side> pairings[] = {{Side::Lrzsz, Side::Lrzsz},
                                              {Side::Ours, Side::Lrzsz},
                                              {Side::Lrzsz, Side::Ours},
                                              {Side::Ours, Side::Ours}};
    for (const Mode mode : modes) {
        std::vector<Result> results[4];
        for (int run = 0; run < runs; ++run)
            for (int p = 0; p < 4; ++p)
                results[p].push_back(Run(pairings[p].first, pairings[p].second, mode, big, 0));
        for (int p = 0; p < 4; ++p) {
            std::vector<double> seconds, cpu, ratios;
            bool ok = true;
            for (int run = 0; run < runs; ++run) {
                seconds.push_back(results[p][run].seconds);
                cpu.push_back(results[p][run].cpu / megabytes);
                ratios.push_back(results[0][run].seconds / results[p][run].seconds);
                ok = ok && results[p][run].ok;
            }
            const TSpread t = spreadOf(seconds), c = spreadOf(cpu), q = spreadOf(ratios);
            std::printf("  %s %5s -> %-5s %6.2f s [%5.2f-%5.2f]  %6.3f CPU s/MB", p == 0 ? ModeLabel(mode) : "        ",
                        Name(pairings[p].first), Name(pairings[p].second), t.median, t.low, t.high, c.median);
            if (p > 0)
                std::printf("  ratio %.2f [%.2f-%.2f]", q.median, q.low, q.high);
            std::printf("%s\n", ok ? "" : " (FAILED)");
        }
    }

    std::printf("\nEfficiency at 115200 baud (11520 bytes/s), %.0f KiB file "
                "(file bytes / time on the line / line rate)\n",
                pacedKiB);
    const Bytes small = RandomBytes(static_cast<size_t>(pacedKiB * 1024), 43);
    for (const Mode mode : modes) {
        for (const auto& [s, rcv] : pairings) {
            const Result r = Run(s, rcv, mode, small, kLineRate);
            std::printf("  %s %5s -> %-5s %6.2f %%%s\n", ModeLabel(mode), Name(s), Name(rcv), r.efficiency * 100,
                        r.ok ? "" : " (FAILED)");
        }
    }
    if (only.empty() || only.find('G') != std::string::npos) {
        const Result g = Run(Side::Ours, Side::Ours, 'G', small, kLineRate);
        std::printf("  G        ours -> ours  %6.2f %%%s (ceiling 1024/1029 = 99.51 %%)\n", g.efficiency * 100,
                    g.ok ? "" : " (FAILED)");
    }
    return 0;
}
