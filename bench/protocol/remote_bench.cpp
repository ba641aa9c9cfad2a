// XMODEM-1K through a remote port: qx-xmodem sends to lrzsz's rx through Debian's ser2net on
// loopback (rfc2217://127.0.0.1:PORT), beside the same through a local pseudo-terminal.
//
//   remote_bench [--size-mib N] [--paced-kib N] [--runs N]
//
// 1. Throughput: a file of N MiB (default 4), --runs runs (default 5) of each path, interleaved.
//    Printed: each path's median time [fastest-slowest] and the ratio local time / remote time of
//    each run (median [lowest-highest]; 1 means the remote port costs nothing).
// 2. Efficiency at 115200 baud: a relay between the pty and rx paces the bytes at 11520 bytes/s;
//    the file bytes divided by the time from the first to the last byte on the line, against 11520.
#include "Ser2net.h"
#include "XferTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr double kLineRate = 11520.0;

struct Result {
    bool ok = false;
    double seconds = 0;
    double efficiency = 0;
};

Result Run(bool remote, const Bytes& data, double pace)
{
    TempDir dir;
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    std::optional<Ser2net> server;
    if (remote)
        server.emplace(pty.SlavePath());
    const std::string port = remote ? server->url() : pty.SlavePath();
    SocketPair sp;
    Faults line;
    line.bytesPerSecond = pace;
    Relay relay(pty.Master(), sp.fd[0], line, line);
    const int quiet = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const auto start = std::chrono::steady_clock::now();
    Child rx({"rx", "-X", "-c", "out.bin"}, sp.fd[1], dir.Path());
    Child tool({QX_XMODEM_EXE, "send", "--protocol", "1k", port, dir.File("src.bin")}, quiet, dir.Path());
    ::close(quiet);
    while (!(rx.Exited() && tool.Exited()))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    Result r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    relay.Stop();
    const Bytes out = ReadFileBytes(dir.File("out.bin"));
    r.ok = rx.Status() == 0 && tool.Status() == 0 && out.size() >= data.size() &&
           std::equal(data.begin(), data.end(), out.begin());
    const Relay::Traffic& t = relay.TrafficOf(0);
    const double onLine = std::chrono::duration<double>(t.last - t.first).count();
    if (onLine > 0)
        r.efficiency = static_cast<double>(data.size()) / onLine / kLineRate;
    return r;
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread SpreadOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

} // namespace

int main(int argc, char** argv)
{
    double sizeMiB = 4, pacedKiB = 64;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--size-mib") == 0)
            sizeMiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--paced-kib") == 0)
            pacedKiB = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
    }
    const Bytes big = RandomBytes(static_cast<size_t>(sizeMiB * 1024 * 1024), 42);
    std::vector<double> local, remote, ratio;
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        const Result l = Run(false, big, 0), r = Run(true, big, 0);
        ok = ok && l.ok && r.ok;
        local.push_back(l.seconds);
        remote.push_back(r.seconds);
        ratio.push_back(l.seconds / r.seconds);
    }
    const Spread l = SpreadOf(local), r = SpreadOf(remote), q = SpreadOf(ratio);
    std::printf("XMODEM-1K, %.1f MiB, qx-xmodem -> lrzsz rx, %d runs each, interleaved%s\n", sizeMiB, runs,
                ok ? "" : " (A RUN FAILED)");
    std::printf("  local pty          %6.2f s [%5.2f-%5.2f]\n", l.median, l.low, l.high);
    std::printf("  ser2net rfc2217    %6.2f s [%5.2f-%5.2f]\n", r.median, r.low, r.high);
    std::printf("  ratio local/remote %6.2f   [%4.2f-%4.2f] (target >= 0.8)\n", q.median, q.low, q.high);

    const Bytes small = RandomBytes(static_cast<size_t>(pacedKiB * 1024), 43);
    std::printf("\nEfficiency at 115200 baud (11520 bytes/s), %.0f KiB file, %d runs: median [lowest-highest]\n",
                pacedKiB, std::min(runs, 3));
    for (const bool viaServer : {false, true}) {
        std::vector<double> e;
        bool fine = true;
        for (int run = 0; run < std::min(runs, 3); ++run) {
            const Result p = Run(viaServer, small, kLineRate);
            fine = fine && p.ok;
            e.push_back(p.efficiency * 100);
        }
        const Spread s = SpreadOf(e);
        std::printf("  %-17s %6.2f %% [%.2f-%.2f]%s\n", viaServer ? "ser2net rfc2217" : "local pty", s.median, s.low,
                    s.high, fine ? "" : " (FAILED)");
    }
    return 0;
}
