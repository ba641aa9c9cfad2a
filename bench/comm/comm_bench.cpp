// Figures of the port component over a pseudo-terminal: receive throughput, the cost of an idle
// open port, and byte-by-byte writing as the terminal does it.
#include "PtyPeer.h"
#include "VaComm.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void ReceiveThroughput()
{
    PtyPeer peer;
    TVaComm port;
    port.SetDeviceName(peer.SlavePath());
    size_t received = 0;
    port.OnRxChar = [&](TVaCustomComm* sender, int32_t) { received += sender->ReadText().size(); };
    port.Open();
    const size_t total = 64u << 20;
    const std::string chunk(65536, 'r');
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    std::thread writer([&] {
        for (size_t sent = 0; sent < total; sent += chunk.size())
            peer.Write(chunk);
    });
    VaWaitServing([&] { return received >= total; }, Clock::now() + std::chrono::seconds(120));
    const double secs = Seconds(t0);
    const double cpu = CpuSeconds() - cpu0;
    writer.join();
    port.Close();
    const double mb = static_cast<double>(received) / 1e6;
    std::printf("receive: %.1f MB in %.2f s = %.1f MB/s (target >= 20), %.4f CPU s/MB (both ends)\n", mb, secs,
                mb / secs, cpu / mb);
}

void IdleCost()
{
    PtyPeer peer;
    TVaComm port;
    port.SetDeviceName(peer.SlavePath());
    port.OnRxChar = [](TVaCustomComm* sender, int32_t) { sender->ReadText(); };
    port.Open();
    const double cpu0 = CpuSeconds();
    VaWaitServing([] { return false; }, Clock::now() + std::chrono::seconds(10));
    const double cpu = CpuSeconds() - cpu0;
    port.Close();
    std::printf("idle: open port, 10 s without traffic: %.4f CPU s (target < 0.05)\n", cpu);
}

void WriteCharThroughput()
{
    PtyPeer peer;
    TVaComm port;
    port.SetDeviceName(peer.SlavePath());
    port.Open();
    const size_t total = 1u << 20;
    std::atomic<size_t> got{0};
    std::thread reader([&] { got = peer.Read(total, std::chrono::seconds(60)).size(); });
    const auto t0 = Clock::now();
    for (size_t i = 0; i < total; ++i)
        port.WriteChar(static_cast<char>(i));
    // Every byte is queued; wait until the peer has them all.
    VaWaitServing([&] { return got.load() == total; }, Clock::now() + std::chrono::milliseconds(1));
    reader.join();
    const double secs = Seconds(t0);
    port.Close();
    std::printf("WriteChar: 1 MiB one byte at a time reached the peer in %.3f s = %.1f MB/s (target >= 5), %zu bytes arrived\n",
                secs, static_cast<double>(total) / 1e6 / secs, got.load());
}

} // namespace

int main()
{
    ReceiveThroughput();
    WriteCharThroughput();
    IdleCost();
    return 0;
}
