// XMODEM throughput and line efficiency, ours against lrzsz, printed as figures.
//
//   xmodem_bench [--size-mib N] [--paced-kib N] [--runs N]
//
// 1. Throughput on a pseudo-terminal without a rate: a file of N MiB (default 4), each pairing
//    through the same path (one pty, a relay, a socket pair: rx needs the socket pair; ours to ours
//    goes pty, relay, pty). Each pairing runs --runs times (default 3), interleaved, and the median
//    is printed with the CPU time both ends used per MB of file (the relay's own thread left out)
//    and the ratio lrzsz's time / ours (above 1: we are faster).
// 2. Efficiency through a relay that paces bytes at 115200 baud (11520 bytes/s): the file bytes
//    divided by the time from the sender's first to its last byte on the line, against 11520.
#include "XferTestUtil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr double kLineRate = 11520.0;

enum class Side { Ours, Lrzsz };

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

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0)
            std::abort();
    }
    ~SocketPair()
    {
        ::close(fd[0]);
        ::close(fd[1]);
    }
};

// One transfer. mode: 'X' checksum/128, 'K' CRC/1K, 'G' streaming (ours to ours only).
Result Run(Side sender, Side receiver, char mode, const Bytes& data, double pace)
{
    TempDir dir;
    WriteFileBytes(dir.File("src.bin"), data);
    Faults line;
    line.bytesPerSecond = pace;
    Result r;
    const double selfCpu = CpuOf(RUSAGE_SELF);
    const double childCpu = CpuOf(RUSAGE_CHILDREN);
    double relayCpu = 0;
    const auto start = std::chrono::steady_clock::now();
    const TVaXProtocol protocol = mode == 'X' ? TVaXProtocol::XModem
                                  : mode == 'K' ? TVaXProtocol::XModem1K
                                                : TVaXProtocol::XModemG;
    Relay::Traffic traffic;

    if (sender == Side::Ours && receiver == Side::Ours) {
        Pty a, b;
        XEnd s(a.SlavePath()), rcv(b.SlavePath());
        Relay relay(a.Master(), b.Master(), line, line);
        s.Start(tmUpload, dir.File("src.bin"), TVaXProtocol::XModem, 10000, 10);
        rcv.Start(tmDownload, dir.File("out.bin"), protocol, 10000, 10);
        ServeUntil([&] { return s.Done() && rcv.Done(); }, 600000);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        relay.Stop();
        traffic = relay.TrafficOf(0);
        relayCpu = relay.CpuSeconds();
        r.ok = s.exitCode == 0 && rcv.exitCode == 0;
    } else {
        Pty pty;
        SocketPair sp;
        std::optional<XEnd> ours;
        std::optional<Relay> relay;
        std::optional<Child> peer, peer2;
        int slave = -1;
        const std::string rxFlags = mode == 'X' ? "-X" : "-Xc";
        if (sender == Side::Ours) {
            ours.emplace(pty.SlavePath());
            relay.emplace(pty.Master(), sp.fd[0], line, line);
            ours->Start(tmUpload, dir.File("src.bin"), TVaXProtocol::XModem, 10000, 10);
            peer.emplace(std::vector<std::string>{"rx", rxFlags, "out.bin"}, sp.fd[1], dir.Path());
        } else if (receiver == Side::Ours) {
            ours.emplace(pty.SlavePath());
            relay.emplace(sp.fd[0], pty.Master(), line, line);
            peer.emplace(std::vector<std::string>{"sx", mode == 'X' ? "-X" : "-Xk", "src.bin"}, sp.fd[1],
                         dir.Path());
            ours->Start(tmDownload, dir.File("out.bin"), protocol, 10000, 10);
        } else {
            slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            relay.emplace(pty.Master(), sp.fd[0], line, line);
            peer2.emplace(std::vector<std::string>{"rx", rxFlags, "out.bin"}, sp.fd[1], dir.Path());
            peer.emplace(std::vector<std::string>{"sx", mode == 'X' ? "-X" : "-Xk", "src.bin"}, slave,
                         dir.Path());
        }
        ServeUntil([&] { return (!ours || ours->Done()) && peer->Exited() && (!peer2 || peer2->Exited()); },
                   600000);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        relay->Stop();
        // The sender's direction: a to b, except when the relay was built the other way round.
        traffic = relay->TrafficOf(0);
        relayCpu = relay->CpuSeconds();
        r.ok = peer->Status() == 0 && (!peer2 || peer2->Status() == 0) && (!ours || ours->exitCode == 0);
        if (slave >= 0)
            ::close(slave);
    }
    r.cpu = CpuOf(RUSAGE_SELF) - selfCpu - relayCpu + CpuOf(RUSAGE_CHILDREN) - childCpu;
    const Bytes out = ReadFileBytes(dir.File("out.bin"));
    r.ok = r.ok && out.size() >= data.size() && std::equal(data.begin(), data.end(), out.begin());
    const double onLine = std::chrono::duration<double>(traffic.last - traffic.first).count();
    if (onLine > 0)
        r.efficiency = static_cast<double>(data.size()) / onLine / kLineRate;
    return r;
}

const char* Name(Side s)
{
    return s == Side::Ours ? "ours" : "lrzsz";
}

// The run of median time among several; failed if any failed.
Result Median(std::vector<Result> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) { return a.seconds < b.seconds; });
    Result m = runs[runs.size() / 2];
    m.ok = std::all_of(runs.begin(), runs.end(), [](const Result& r) { return r.ok; });
    return m;
}

} // namespace

int main(int argc, char** argv)
{
    double sizeMiB = 4;
    double pacedKiB = 64;
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0)
            sizeMiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--paced-kib") == 0)
            pacedKiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    VaSetMainThread();

    std::printf("Throughput on a pty, %.1f MiB file, median of %d runs (seconds, start to both ends finished;\n"
                "CPU seconds of both ends per MB of file; ratio = sx->rx time / this pairing's time)\n",
                sizeMiB, runs);
    const Bytes big = RandomBytes(static_cast<size_t>(sizeMiB * 1024 * 1024), 42);
    const double megabytes = static_cast<double>(big.size()) / 1e6;
    const std::pair<Side, Side> pairings[] = {{Side::Lrzsz, Side::Lrzsz},
                                              {Side::Ours, Side::Lrzsz},
                                              {Side::Lrzsz, Side::Ours},
                                              {Side::Ours, Side::Ours}};
    for (const char mode : {'K', 'X'}) {
        std::vector<Result> results[4];
        for (int run = 0; run < runs; ++run)
            for (int p = 0; p < 4; ++p)
                results[p].push_back(Run(pairings[p].first, pairings[p].second, mode, big, 0));
        const Result base = Median(results[0]);
        for (int p = 0; p < 4; ++p) {
            const Result m = p == 0 ? base : Median(results[p]);
            std::printf("  %s %5s -> %-5s %7.2f s  %6.3f CPU s/MB", p == 0 ? (mode == 'K' ? "1K/CRC  " : "checksum") : "        ",
                        Name(pairings[p].first), Name(pairings[p].second), m.seconds, m.cpu / megabytes);
            if (p > 0)
                std::printf("  ratio %.2f", base.seconds / m.seconds);
            std::printf("%s\n", m.ok ? "" : " (FAILED)");
        }
    }

    std::printf("\nEfficiency at 115200 baud (11520 bytes/s), %.0f KiB file "
                "(file bytes / time on the line / line rate)\n",
                pacedKiB);
    const Bytes small = RandomBytes(static_cast<size_t>(pacedKiB * 1024), 43);
    for (const char mode : {'K', 'X'}) {
        const char* label = mode == 'K' ? "1K/CRC  " : "checksum";
        for (const auto& [s, rcv] : pairings) {
            const Result r = Run(s, rcv, mode, small, kLineRate);
            std::printf("  %s %5s -> %-5s %6.2f %%%s\n", label, Name(s), Name(rcv), r.efficiency * 100,
                        r.ok ? "" : " (FAILED)");
        }
    }
    const Result g = Run(Side::Ours, Side::Ours, 'G', small, kLineRate);
    std::printf("  G        ours -> ours  %6.2f %%%s (ceiling 1024/1029 = 99.51 %%)\n", g.efficiency * 100,
                g.ok ? "" : " (FAILED)");
    return 0;
}
