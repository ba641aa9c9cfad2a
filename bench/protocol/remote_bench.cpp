// XMODEM-1K through a remote port: qx-xmodem sends to lrzsz's rx through Debian's ser2net on
// loopback (rfc2217://127.0.0.1:PORT), beside the same through a local pseudo-terminal.
//
//   remote_bench [--size-mib N] [--paced-kib N] [--runs N]
//
// Two servers: ser2net as Debian configures a connection, and with "chardelay: false" (by default
// ser2net holds what the device sends for up to a few character times, collecting more, before it
// passes it on: each XMODEM acknowledgement waits that long).
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

enum Path { kLocal, kSer2net, kSer2netNoDelay };
const char* const kPathNames[] = {"local pty", "ser2net default", "ser2net chardelay off"};

Result Run(Path path, const Bytes& data, double pace)
{
    TempDir dir;
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    std::optional<Ser2net> server;
    const bool remote = path != kLocal;
    if (remote)
        server.emplace(pty.SlavePath(), Ser2net::kRfc2217, "9600n81",
                       path == kSer2netNoDelay ? std::vector<std::string>{"chardelay: false"}
                                               : std::vector<std::string>{});
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
    std::vector<double> seconds[3], ratio[3];
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        Result r[3];
        for (int p = 0; p < 3; ++p) {
            r[p] = Run(static_cast<Path>(p), big, 0);
            ok = ok && r[p].ok;
            seconds[p].push_back(r[p].seconds);
        }
        for (int p = 1; p < 3; ++p)
            ratio[p].push_back(r[0].seconds / r[p].seconds);
    }
    std::printf("XMODEM-1K, %.1f MiB, qx-xmodem -> lrzsz rx, %d runs each, interleaved%s\n", sizeMiB, runs,
                ok ? "" : " (A RUN FAILED)");
    for (int p = 0; p < 3; ++p) {
        const TSpread t = spreadOf(seconds[p]);
        std::printf("  %-22s %6.2f s [%5.2f-%5.2f]", kPathNames[p], t.median, t.low, t.high);
        if (p > 0) {
            const TSpread q = spreadOf(ratio[p]);
            std::printf("  ratio local/this %.2f [%.2f-%.2f] (target >= 0.8)", q.median, q.low, q.high);
        }
        std::printf("\n");
    }

    const Bytes small = RandomBytes(static_cast<size_t>(pacedKiB * 1024), 43);
    const int pacedRuns = std::min(runs, 3);
    std::printf("\nEfficiency at 115200 baud (11520 bytes/s), %.0f KiB file, %d runs: median [lowest-highest]\n",
                pacedKiB, pacedRuns);
    for (int p = 0; p < 3; ++p) {
        std::vector<double> e;
        bool fine = true;
        for (int run = 0; run < pacedRuns; ++run) {
            const Result r = Run(static_cast<Path>(p), small, kLineRate);
            fine = fine && r.ok;
            e.push_back(r.efficiency * 100);
        }
        const TSpread s = spreadOf(e);
        std::printf("  %-22s %6.2f %% [%.2f-%.2f]%s\n", kPathNames[p], s.median, s.low, s.high, fine ? "" : " (FAILED)");
    }
    return 0;
}
