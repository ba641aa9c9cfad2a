// XMODEM throughput and line efficiency, ours against lrzsz, printed as figures.
//
//   xmodem_bench [--size-mib N] [--paced-kib N]
//
// 1. Throughput on a pseudo-terminal without a rate: a file of N MiB (default 4), each pairing
//    through the same path (one pty, a relay, a socket pair: rx needs the socket pair).
// 2. Efficiency through a relay that paces bytes at 115200 baud (11520 bytes/s): the file bytes
//    divided by the time from the sender's first to its last byte on the line, against 11520.
#include "XferTestUtil.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr double kLineRate = 11520.0;

enum class Side { Ours, Lrzsz };

struct Result {
    bool ok = false;
    double seconds = 0;    // whole transfer, start to both ends finished
    double efficiency = 0; // file bytes per second on the line against kLineRate
};

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
        r.ok = peer->Status() == 0 && (!peer2 || peer2->Status() == 0) && (!ours || ours->exitCode == 0);
        if (slave >= 0)
            ::close(slave);
    }
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

} // namespace

int main(int argc, char** argv)
{
    double sizeMiB = 4;
    double pacedKiB = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0)
            sizeMiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--paced-kib") == 0)
            pacedKiB = std::atof(argv[i + 1]);
    }
    VaSetMainThread();

    std::printf("Throughput on a pty, %.1f MiB file (seconds, start to both ends finished)\n", sizeMiB);
    const Bytes big = RandomBytes(static_cast<size_t>(sizeMiB * 1024 * 1024), 42);
    for (const char mode : {'K', 'X'}) {
        const char* label = mode == 'K' ? "1K/CRC  " : "checksum";
        const Result lz = Run(Side::Lrzsz, Side::Lrzsz, mode, big, 0);
        const Result os = Run(Side::Ours, Side::Lrzsz, mode, big, 0);
        const Result or_ = Run(Side::Lrzsz, Side::Ours, mode, big, 0);
        std::printf("  %s sx->rx %7.2f s%s | ours->rx %7.2f s%s ratio %.2f | sx->ours %7.2f s%s ratio %.2f\n",
                    label, lz.seconds, lz.ok ? "" : " (FAILED)", os.seconds, os.ok ? "" : " (FAILED)",
                    lz.seconds / os.seconds, or_.seconds, or_.ok ? "" : " (FAILED)",
                    lz.seconds / or_.seconds);
    }

    std::printf("\nEfficiency at 115200 baud (11520 bytes/s), %.0f KiB file "
                "(file bytes / time on the line / line rate)\n",
                pacedKiB);
    const Bytes small = RandomBytes(static_cast<size_t>(pacedKiB * 1024), 43);
    for (const char mode : {'K', 'X'}) {
        const char* label = mode == 'K' ? "1K/CRC  " : "checksum";
        for (const auto& [s, rcv] : {std::pair{Side::Lrzsz, Side::Lrzsz}, std::pair{Side::Ours, Side::Lrzsz},
                                     std::pair{Side::Lrzsz, Side::Ours}, std::pair{Side::Ours, Side::Ours}}) {
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
