// The local tty transport on its own, the way every kind of port is tested: open, read, write, the
// wait handle, line settings read back at the far end, modem lines, exclusive use, the device going
// away, close. Also the choice of transport by name and the input queue that the port fills from it.
#include "CommTestUtil.h"
#include "TestSupport.h"
#include "VaInputQueue.h"
#include "VaLinux.h"
#include "VaNetTransport.h"
#include "VaTtyTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

// Whether the wait handle becomes readable within ms.
bool Readable(const TVaTransport& device, int ms)
{
    pollfd p{device.WaitHandle(), POLLIN, 0};
    return ::poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

std::string ReadAll(TVaTransport& device)
{
    std::string got;
    char buf[64];
    for (TVaIoResult r; (r = device.Read(buf, sizeof buf)).state == ioData;)
        got.append(buf, r.count);
    return got;
}

} // namespace

TEST(TtyTransport, MovesBytesTakesSettingsAndReportsTheDeviceGone)
{
    auto peer = std::make_unique<PtyPeer>();
    TVaTtyTransport tty;
    ASSERT_TRUE(tty.Open(peer->SlavePath()).ok);
    // A pseudo-terminal is a three-wire cable: no modem lines, no break, no counters to watch.
    const TVaPortCaps caps = tty.Capabilities();
    EXPECT_TRUE(caps.lineSettings);
    EXPECT_FALSE(caps.modemLines);
    EXPECT_FALSE(caps.breakSignal);
    EXPECT_FALSE(caps.lineCounters);
    EXPECT_EQ(tty.ChangeNotice(), cnNone);
    uint32_t bits = 0;
    EXPECT_EQ(tty.ModemStatus(bits), 0);
    EXPECT_EQ(bits, MS_CTS_ON | MS_DSR_ON);
    EXPECT_EQ(tty.SetModemLine(true, true), 0);
    EXPECT_EQ(tty.SetBreak(true), 0);
    EXPECT_EQ(tty.SetBreak(false), 0);

    // Reading: nothing now, then the wait handle wakes for what the far end sends.
    char buf[16];
    EXPECT_EQ(tty.Read(buf, sizeof buf).state, ioNothing);
    EXPECT_FALSE(Readable(tty, 50));
    peer->Write("hello");
    ASSERT_TRUE(Readable(tty, 5000));
    size_t waiting = 0;
    EXPECT_EQ(tty.InputCount(waiting), 0);
    EXPECT_EQ(waiting, 5u);
    EXPECT_EQ(ReadAll(tty), "hello");
    peer->Write("dropped");
    ASSERT_TRUE(Readable(tty, 5000));
    EXPECT_EQ(tty.Purge(true, false), 0);
    EXPECT_EQ(tty.InputCount(waiting), 0);
    EXPECT_EQ(waiting, 0u);

    // Writing.
    const TVaIoResult w = tty.Write("world", 5);
    EXPECT_EQ(w.state, ioData);
    EXPECT_EQ(w.count, 5u);
    EXPECT_EQ(peer->Read(5), "world");
    EXPECT_EQ(tty.OutputCount(waiting), 0);

    // Line settings: what the transport reports as taken is what the far end reads back; a
    // pseudo-terminal keeps 8 data bits without parity whatever it is asked for.
    VaLineSettings wanted, taken, far;
    wanted.baudrate = 476190;
    wanted.dataBits = 7;
    wanted.parity = 2;
    wanted.stopBits = 2;
    wanted.ctsFlow = true;
    wanted.xonXoffIn = true;
    wanted.xoffChar = 0x13 + 1;
    ASSERT_EQ(tty.ApplyLineSettings(wanted, taken), 0);
    ASSERT_EQ(VaReadLineSettings(peer->Master(), far), 0);
    for (const VaLineSettings* s : {&taken, &far}) {
        EXPECT_EQ(s->baudrate, 476190);
        EXPECT_EQ(s->stopBits, 2);
        EXPECT_TRUE(s->ctsFlow);
        EXPECT_TRUE(s->xonXoffIn);
        EXPECT_EQ(s->xoffChar, 0x14);
        EXPECT_EQ(s->dataBits, 8);
        EXPECT_EQ(s->parity, 0);
    }
    wanted.dataBits = 4;
    EXPECT_EQ(tty.ApplyLineSettings(wanted, taken), EINVAL);

    // One opener at a time.
    TVaTtyTransport second;
    const TVaOpenResult refused = second.Open(peer->SlavePath());
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.kind, ekBusy);
    EXPECT_EQ(refused.error, EWOULDBLOCK);

    // The far end goes away: the wait handle stays readable, reads and writes say gone.
    peer->CloseMaster();
    EXPECT_TRUE(Readable(tty, 5000));
    EXPECT_EQ(tty.Read(buf, sizeof buf).state, ioGone);
    const TVaIoResult lost = tty.Write("x", 1);
    EXPECT_EQ(lost.state, ioGone);
    EXPECT_EQ(VaErrorKindOf(lost.error), ekGone);
    tty.Close();
    tty.Close(); // closed already: nothing

    // Closed, the device is free again.
    peer = std::make_unique<PtyPeer>();
    ASSERT_TRUE(tty.Open(peer->SlavePath()).ok);
    tty.Close();
    EXPECT_TRUE(second.Open(peer->SlavePath()).ok);
}

TEST(TtyTransport, OpenFailuresHaveTheirKind)
{
    TVaTtyTransport tty;
    const TVaOpenResult missing = tty.Open("/dev/qx-no-such-tty");
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.kind, ekNotFound);
    EXPECT_EQ(missing.error, ENOENT);
    // A path that is no device at all opens, but takes no line settings.
    TTempDir dir;
    const std::string plain = dir / "plain";
    ::close(::open(plain.c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_TRUE(tty.Open(plain).ok);
    VaLineSettings taken;
    EXPECT_EQ(tty.ApplyLineSettings(VaLineSettings{}, taken), ENOTTY);
    tty.Close();
}

TEST(TtyTransport, ModemLinesOverrideDecidesLinesAndNotice)
{
    PtyPeer peer;
    auto lines = std::make_shared<TFakeModemLines>();
    lines->cts = false;
    TVaTtyTransport tty(lines);
    ASSERT_TRUE(tty.Open(peer.SlavePath()).ok);
    EXPECT_TRUE(tty.Capabilities().modemLines);
    EXPECT_EQ(tty.ChangeNotice(), cnPolled); // the fake asks to be polled
    uint32_t bits = 0;
    EXPECT_EQ(tty.ModemStatus(bits), 0);
    EXPECT_EQ(bits & MS_CTS_ON, 0u);
    EXPECT_EQ(tty.SetModemLine(true, true), 0);
    EXPECT_TRUE(lines->dtr.load());
}

TEST(TransportChoice, ByName)
{
    EXPECT_NE(dynamic_cast<TVaTtyTransport*>(VaMakeTransport("/dev/ttyUSB0", nullptr).get()), nullptr);
    EXPECT_NE(dynamic_cast<TVaTtyTransport*>(VaMakeTransport("/tmp/odd://name", nullptr).get()), nullptr);
    EXPECT_NE(dynamic_cast<TVaNetTransport*>(VaMakeTransport("rfc2217://localhost:2217", nullptr).get()), nullptr);
    EXPECT_NE(dynamic_cast<TVaNetTransport*>(VaMakeTransport("SOCKET://localhost:7000", nullptr).get()), nullptr);
    // A scheme that no transport knows says so instead of trying a file of that name.
    EXPECT_EQ(VaMakeTransport("telnet://localhost:23", nullptr), nullptr);
    TVaComm port;
    port.SetDeviceName("telnet://localhost:23");
    EXPECT_EQ(ErrorOf([&] { port.Open(); }),
              "Can't open specified device telnet://localhost:23 (Error 93, Protocol not supported)");
    EXPECT_FALSE(port.Active());
}

TEST(InputQueue, HoldsUpToItsLimitInArrivalOrder)
{
    PtyPeer peer;
    TVaTtyTransport tty;
    ASSERT_TRUE(tty.Open(peer.SlavePath()).ok);
    TVaInputQueue queue;
    queue.Lock().SetLimit(8);
    peer.Write(std::string("ab\0cdefghijklmnop", 17));
    ASSERT_TRUE(Readable(tty, 5000));
    {
        auto q = queue.Lock();
        EXPECT_TRUE(q.Fill(tty, true)); // the zero byte is left out
        EXPECT_EQ(q.Held(), 8u);
        EXPECT_TRUE(q.Full());
        EXPECT_TRUE(q.Holds('h', 6));
        EXPECT_FALSE(q.Holds('a', 1));
        uint8_t out[5];
        ASSERT_EQ(q.Take(out, 5), 5u);
        EXPECT_EQ(std::string(out, out + 5), "abcde");
        EXPECT_FALSE(q.Full());
        EXPECT_TRUE(q.Fill(tty, false)); // up to the limit again, the rest stays in the device
        EXPECT_EQ(q.Held(), 8u);
        std::vector<uint8_t> all;
        q.TakeAll(all);
        EXPECT_EQ(std::string(all.begin(), all.end()), "fghijklm");
        EXPECT_EQ(q.Held(), 0u);
    }
    EXPECT_EQ(ReadAll(tty), "nop");
    peer.CloseMaster();
    ASSERT_TRUE(Readable(tty, 5000));
    EXPECT_FALSE(queue.Lock().Fill(tty, false));
}
