// Remote serial ports: names, the Telnet/RFC 2217 codec, and the port over a real ser2net serving
// a pseudo-terminal, beside a small server of our own for what ser2net on a pty cannot show.
#include "CommTestUtil.h"
#include "Rfc2217Peer.h"
#include "Ser2net.h"
#include "VaNetTransport.h"
#include "VaTelnet.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace telnet;
using Bytes = std::vector<uint8_t>;

namespace {

std::string AllBytes(int rounds)
{
    std::string s;
    for (int r = 0; r < rounds; ++r)
        for (int b = 0; b < 256; ++b)
            s.push_back(static_cast<char>(b));
    return s;
}

// Serves the main thread in short turns until pred holds: for conditions that no hand-over
// announces (a queue count, a far side's state).
bool Eventually(const std::function<bool()>& pred, int ms = 10000)
{
    for (int waited = 0; waited < ms; waited += 10) {
        if (pred())
            return true;
        ServeFor(10);
    }
    return pred();
}

// A port on url that collects what it receives and what it is told.
struct RemotePort {
    TVaComm port;
    std::string received;
    std::vector<std::string> notices;
    int disconnects = 0;
    explicit RemotePort(const std::string& url, TVaCommEvents events = {ceError, ceRxChar, ceTxEmpty})
    {
        port.SetDeviceName(url);
        port.SetMonitorEvents(events);
        port.OnRxChar = [this](TVaCustomComm* c, int32_t) { received += c->ReadText(); };
        port.OnNotice = [this](TVaCustomComm*, const std::string& text) { notices.push_back(text); };
        port.OnDisconnect = [this](TVaCustomComm*) { ++disconnects; };
    }
    bool Receive(size_t count, int ms = 10000)
    {
        return ServeUntil([&] { return received.size() >= count; }, ms);
    }
    int NoticesWith(const std::string& words) const
    {
        return static_cast<int>(std::count_if(notices.begin(), notices.end(), [&](const std::string& n) {
            return n.find(words) != std::string::npos;
        }));
    }
};

// The far end's settings: the slave of the pty as ser2net set it up.
termios FarSettings(const PtyPeer& pty)
{
    const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd, &t);
    ::close(fd);
    return t;
}

} // namespace

// ---- Names ------------------------------------------------------------------------------------------

TEST(RemoteName, AcceptsTheUrlFormsAndOptions)
{
    std::string error;
    auto r = VaParseRemoteName("rfc2217://lab-pi.local:2217", error);
    ASSERT_TRUE(r) << error;
    EXPECT_TRUE(r->rfc2217);
    EXPECT_EQ(r->host, "lab-pi.local");
    EXPECT_EQ(r->port, 2217);
    EXPECT_DOUBLE_EQ(r->timeout, 3.0);
    EXPECT_FALSE(r->ignSetControl || r->pollModem);

    r = VaParseRemoteName("RFC2217://[fe80::1%eth0]:4000/?timeout=0.5&ign_set_control&poll_modem", error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->host, "fe80::1%eth0");
    EXPECT_EQ(r->port, 4000);
    EXPECT_DOUBLE_EQ(r->timeout, 0.5);
    EXPECT_TRUE(r->ignSetControl && r->pollModem);

    r = VaParseRemoteName("socket://10.0.0.7:7000", error);
    ASSERT_TRUE(r) << error;
    EXPECT_FALSE(r->rfc2217);

    EXPECT_TRUE(VaIsPortUrl("socket://x:1"));
    EXPECT_FALSE(VaIsPortUrl("/dev/ttyUSB0"));
    EXPECT_FALSE(VaIsPortUrl("/tmp/odd://name"));
}

TEST(RemoteName, RefusesMalformedNamesWithTheReason)
{
    const std::pair<const char*, const char*> cases[] = {
        {"rfc2217://host", "port number is missing"},
        {"rfc2217://host:0", "no TCP port number"},
        {"rfc2217://host:65536", "no TCP port number"},
        {"rfc2217://host:22x", "no TCP port number"},
        {"rfc2217://:2217", "host name is missing"},
        {"rfc2217://::1:2217", "needs brackets"},
        {"rfc2217://[::1:2217", "[ADDRESS]:PORT"},
        {"rfc2217://host:1?timeout=0", "timeout wants"},
        {"rfc2217://host:1?timeout=abc", "timeout wants"},
        {"rfc2217://host:1?baud=9600", "unknown option \"baud=9600\""},
        {"socket://host:1?poll_modem", "takes no options"},
        {"ftp://host:1", "unknown kind of remote port"},
    };
    for (const auto& [name, words] : cases) {
        std::string error;
        EXPECT_FALSE(VaParseRemoteName(name, error)) << name;
        EXPECT_NE(error.find(words), std::string::npos) << name << ": " << error;
    }
    // Opening such a name says what is wrong with it.
    TVaComm port;
    port.SetDeviceName("rfc2217://host");
    const auto e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Kind(), ekBadSetting);
    EXPECT_EQ(std::string(e->what()),
              "Can't open specified device rfc2217://host (the port number is missing (HOST:PORT))");
}

// ---- The codec --------------------------------------------------------------------------------------

TEST(TelnetCodec, NegotiatesOurOptionsAndRefusesTheRest)
{
    TVaTelnetCodec codec;
    Bytes offers;
    codec.Start(offers);
    EXPECT_EQ(offers, (Bytes{IAC, WILL, BINARY, IAC, WILL, SGA, IAC, WILL, COM_PORT, IAC, DO, BINARY, IAC, DO, SGA}));

    Bytes data, answers;
    std::vector<TVaComPortReply> replies;
    // Agreement to what we offered needs no answer; an offer of ECHO or an unknown option is
    // refused, a request for one we do not do is refused.
    const Bytes in = {IAC, DO, BINARY, IAC, WILL, BINARY, IAC, WILL, SGA, IAC, DO, COM_PORT, IAC, WILL, 1, IAC, DO, 99, IAC, DONT, 77};
    codec.Receive(in.data(), in.size(), data, replies, answers);
    EXPECT_TRUE(codec.ComPortAccepted());
    EXPECT_EQ(answers, (Bytes{IAC, DONT, 1, IAC, WONT, 99}));
    EXPECT_TRUE(data.empty());

    // A change of mind is acknowledged once, and a repeat of it is not answered again (no loop).
    answers.clear();
    const Bytes off = {IAC, DONT, BINARY, IAC, DONT, BINARY, IAC, WONT, SGA, IAC, WONT, SGA};
    codec.Receive(off.data(), off.size(), data, replies, answers);
    EXPECT_EQ(answers, (Bytes{IAC, WONT, BINARY, IAC, DONT, SGA}));

    TVaTelnetCodec refused;
    refused.Start(offers);
    const Bytes no = {IAC, DONT, COM_PORT};
    refused.Receive(no.data(), no.size(), data, replies, answers);
    EXPECT_TRUE(refused.ComPortRefused());
}

TEST(TelnetCodec, DataAndReportsSurviveAnySplitting)
{
    // Data with doubled 0xFF, a report whose value holds a doubled 0xFF, a NOP and a baud rate.
    Bytes stream = {'a', IAC, IAC, 'b'};
    TVaTelnetCodec::EncodeCommand(107, Bytes{0xFF}.data(), 1, stream);
    stream.insert(stream.end(), {IAC, NOP, 'c', IAC, IAC});
    const Bytes baud = {0, 1, 0xC2, 0};
    TVaTelnetCodec::EncodeCommand(101, baud.data(), baud.size(), stream);
    for (size_t split = 0; split <= stream.size(); ++split) {
        TVaTelnetCodec codec;
        Bytes data, answers;
        std::vector<TVaComPortReply> replies;
        codec.Receive(stream.data(), split, data, replies, answers);
        codec.Receive(stream.data() + split, stream.size() - split, data, replies, answers);
        EXPECT_EQ(data, (Bytes{'a', 0xFF, 'b', 'c', 0xFF})) << split;
        ASSERT_EQ(replies.size(), 2u) << split;
        EXPECT_EQ(replies[0].code, 107);
        EXPECT_EQ(replies[0].value, Bytes{0xFF});
        EXPECT_EQ(replies[1].Number(), 115200u);
        EXPECT_EQ(codec.Malformed(), 0u);
    }
}

TEST(TelnetCodec, CommandsWithAnyCodeAndValueRoundTrip)
{
    // A code or value byte of 0xFF is doubled like data, or it would end the subnegotiation.
    Bytes stream;
    TVaTelnetCodec::EncodeCommand(0xFF, Bytes{0xFF, 0x00}.data(), 2, stream);
    stream.push_back('z');
    TVaTelnetCodec codec;
    Bytes data, answers;
    std::vector<TVaComPortReply> replies;
    codec.Receive(stream.data(), stream.size(), data, replies, answers);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].code, 0xFF);
    EXPECT_EQ(replies[0].value, (Bytes{0xFF, 0x00}));
    EXPECT_EQ(data, Bytes{'z'});
    EXPECT_EQ(codec.Malformed(), 0u);
}

TEST(TelnetCodec, HostileSubnegotiationsAreBoundedAndDropped)
{
    TVaTelnetCodec codec;
    Bytes data, answers;
    std::vector<TVaComPortReply> replies;
    // A huge subnegotiation is dropped whole, the data after it stays.
    Bytes huge = {IAC, SB, COM_PORT, 107};
    huge.insert(huge.end(), 100000, 0x11);
    huge.insert(huge.end(), {IAC, SE, 'o', 'k'});
    codec.Receive(huge.data(), huge.size(), data, replies, answers);
    EXPECT_EQ(data, (Bytes{'o', 'k'}));
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(codec.Malformed(), 1u);
    // A command inside a subnegotiation ends it unfinished; the command itself counts.
    const Bytes broken = {IAC, SB, COM_PORT, 107, 0x10, IAC, DO, 99, 'x'};
    codec.Receive(broken.data(), broken.size(), data, replies, answers);
    EXPECT_EQ(data, (Bytes{'o', 'k', 'x'}));
    EXPECT_EQ(answers, (Bytes{IAC, WONT, 99}));
    EXPECT_TRUE(replies.empty());
    // An unterminated one swallows what follows, but holds no more than its limit.
    const Bytes open = {IAC, SB, COM_PORT, 107};
    codec.Receive(open.data(), open.size(), data, replies, answers);
    codec.Receive(huge.data() + 4, 100000, data, replies, answers);
    EXPECT_EQ(data, (Bytes{'o', 'k', 'x'}));
}

// ---- Against ser2net --------------------------------------------------------------------------------

TEST(Ser2net, LineSettingsReachTheFarTtyAndDataPassesWithEveryByteValue)
{
    PtyPeer pty;
    Ser2net server(pty.SlavePath());
    RemotePort remote(server.url("?timeout=1"));
    remote.port.SetBaudrate(br57600);
    remote.port.SetStopbits(sb2);
    remote.port.Open();
    ASSERT_TRUE(remote.port.Active());
    EXPECT_TRUE(remote.port.Capabilities().lineSettings);
    termios far = FarSettings(pty);
    EXPECT_EQ(cfgetospeed(&far), static_cast<speed_t>(B57600));
    EXPECT_TRUE(far.c_cflag & CSTOPB);

    // A change while open is sent at once.
    remote.port.SetBaudrate(br115200);
    remote.port.SetStopbits(sb1);
    far = FarSettings(pty);
    EXPECT_EQ(cfgetospeed(&far), static_cast<speed_t>(B115200));
    EXPECT_FALSE(far.c_cflag & CSTOPB);
    // Data size and parity are echoed as asked (a pty keeps 8N): no complaint about them.
    remote.port.SetParity(paEven);
    remote.port.SetDatabits(db7);
    EXPECT_EQ(remote.NoticesWith("instead of"), 0);

    // ser2net never confirms DTR and RTS: the port carries on and says so once.
    remote.port.SetDTR(false);
    remote.port.SetDTR(true);
    ServeUntil([&] { return remote.NoticesWith("did not confirm the line change") > 0; });
    EXPECT_EQ(remote.NoticesWith("did not confirm the line change"), 1);
    // It reports its lines once, all off: CTS counts as on, and the port says why.
    EXPECT_TRUE(remote.port.CTS());
    EXPECT_EQ(remote.NoticesWith("CTS and DSR count as on"), 1);

    remote.port.SetParity(paNone);
    remote.port.SetDatabits(db8);
    const std::string all = AllBytes(4);
    ASSERT_TRUE(remote.port.WriteText(all));
    EXPECT_EQ(pty.Read(all.size()), all);
    pty.Write(all);
    ASSERT_TRUE(remote.Receive(all.size()));
    EXPECT_EQ(remote.received, all);

    uint32_t errors;
    TVaComStat status;
    ASSERT_TRUE(Eventually([&] {
        remote.port.GetStatistics(errors, status);
        return status.cbOutQue == 0;
    }));
    EXPECT_EQ(errors, 0u);
}

TEST(Ser2net, SecondClientIsToldThePortIsInUse)
{
    PtyPeer pty;
    Ser2net server(pty.SlavePath());
    RemotePort first(server.url());
    first.port.Open();
    TVaComm second;
    second.SetDeviceName(server.url());
    const auto e = CommErrorOf([&] { second.Open(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Kind(), ekBusy);
    EXPECT_EQ(std::string(e->what()), "Can't open specified device " + server.url() + " (Port already in use)");
    EXPECT_FALSE(second.Active());
    // The first client is not disturbed.
    pty.Write(std::string("still here"));
    EXPECT_TRUE(first.Receive(10));
}

TEST(Ser2net, ServerStoppedMidTransferIsAVanishedDeviceAndComesBack)
{
    PtyPeer pty;
    Ser2net server(pty.SlavePath());
    RemotePort remote(server.url());
    remote.port.Open();
    const std::string block(4096, 'x');
    for (int i = 0; i < 16; ++i)
        remote.port.WriteText(block);
    server.stop();
    ASSERT_TRUE(ServeUntil([&] { return remote.disconnects > 0; }));
    EXPECT_EQ(remote.disconnects, 1);
    remote.port.Close();

    // Opening while the server is away names the situation.
    const auto e = CommErrorOf([&] { remote.port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Kind(), ekNotFound);
    EXPECT_NE(std::string(e->what()).find("connection refused"), std::string::npos) << e->what();

    server.start();
    remote.port.Open();
    pty.ReadFor(std::chrono::milliseconds(50)); // what the first session left at the tty
    ASSERT_TRUE(remote.port.WriteText("again"));
    EXPECT_EQ(pty.Read(5), "again");
}

TEST(Ser2net, RawSocketCarriesBytesAndSaysWhatItCannotDo)
{
    PtyPeer pty;
    Ser2net server(pty.SlavePath(), Ser2net::kRaw);
    RemotePort remote(server.url());
    remote.port.Open();
    EXPECT_FALSE(remote.port.Capabilities().modemLines);
    const std::string all = AllBytes(2);
    ASSERT_TRUE(remote.port.WriteText(all));
    EXPECT_EQ(pty.Read(all.size()), all);
    pty.Write(all);
    ASSERT_TRUE(remote.Receive(all.size()));
    EXPECT_EQ(remote.received, all);
    // Opening set the resting levels quietly; a reset pulse and a CTS wait are told once each.
    EXPECT_TRUE(remote.notices.empty()) << remote.notices.front();
    remote.port.SetDTR(false);
    remote.port.SetDTR(true);
    EXPECT_TRUE(remote.port.CTS());
    EXPECT_TRUE(remote.port.CTS());
    remote.port.SetBaudrate(br115200);
    EXPECT_EQ(remote.NoticesWith("no modem lines"), 2);
    EXPECT_EQ(remote.NoticesWith("line settings stay"), 1);
}

TEST(RemoteFaults, NamesThatGoNowhereAreReportedByKind)
{
    TVaComm port;
    port.SetDeviceName("rfc2217://127.0.0.1:" + std::to_string(freeTcpPort()));
    auto e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Kind(), ekNotFound);
    EXPECT_NE(std::string(e->what()).find("connection refused: no server listens at 127.0.0.1:"), std::string::npos);

    port.SetDeviceName("socket://no-such-host.invalid:2217");
    e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    // Without a resolver the look-up fails for now rather than for good.
    EXPECT_TRUE(e->Kind() == ekNotFound || e->Kind() == ekTimedOut) << e->what();
    EXPECT_NE(std::string(e->what()).find("no-such-host.invalid"), std::string::npos) << e->what();
    EXPECT_FALSE(port.Active());
}

// ---- Against our own server -------------------------------------------------------------------------

TEST(Rfc2217Server, SilentOrRefusingServersFailTheOpening)
{
    Rfc2217Peer silent(Rfc2217Peer::Options{.negotiate = false});
    TVaComm port;
    port.SetDeviceName(silent.url("?timeout=0.3"));
    auto e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Kind(), ekTimedOut);
    EXPECT_NE(std::string(e->what()).find("did not answer the RFC 2217 negotiation"), std::string::npos);

    Rfc2217Peer refusing(Rfc2217Peer::Options{.refuseComPort = true});
    port.SetDeviceName(refusing.url());
    e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string(e->what()).find("does not speak RFC 2217"), std::string::npos);
    EXPECT_FALSE(port.Active());
}

TEST(Rfc2217Server, LinesAndSettingsGoOnTheWireAndTheServersChoiceCounts)
{
    Rfc2217Peer peer(Rfc2217Peer::Options{.baudReply = 57600});
    RemotePort remote(peer.url());
    remote.port.SetUserBaudrate(56000);
    remote.port.Open();
    EXPECT_EQ(remote.NoticesWith("the server set 57600 baud instead of 56000"), 1);
    remote.port.SetDTR(false);
    remote.port.SetRTS(true);
    remote.port.PurgeReadWrite();
    auto controls = [&] {
        std::vector<uint32_t> v;
        for (const auto& c : peer.commands())
            if (c.code == rfc2217::SET_CONTROL)
                v.push_back(c.Number());
        return v;
    };
    ASSERT_TRUE(peer.waitForCommands(13)); // with the masks, the settings and the purge
    // Opening: flow control out and in, DTR and RTS resting levels (both off by default); then the
    // two changes.
    const std::vector<uint32_t> expected = {rfc2217::FLOW_NONE, rfc2217::INFLOW_NONE, rfc2217::DTR_OFF,
                                            rfc2217::RTS_OFF,   rfc2217::DTR_OFF,     rfc2217::RTS_ON};
    EXPECT_EQ(controls(), expected);
    bool purged = false;
    for (const auto& c : peer.commands())
        purged = purged || (c.code == rfc2217::PURGE_DATA && c.Number() == 3);
    EXPECT_TRUE(purged);
    EXPECT_EQ(remote.NoticesWith("did not confirm"), 0);
}

TEST(Rfc2217Server, BreakAndDoubledDataOnTheWire)
{
    Rfc2217Peer peer;
    TVaNetTransport net;
    ASSERT_TRUE(net.Open(peer.url()).ok);
    const Bytes data = {'a', 0xFF, 'b'};
    ASSERT_EQ(net.Write(data.data(), data.size()).count, 3u);
    EXPECT_EQ(net.SetBreak(true), 0);
    EXPECT_EQ(net.SetBreak(false), 0);
    ASSERT_TRUE(peer.waitForCommands(4));
    const Bytes raw = peer.raw();
    const Bytes doubled = {'a', 0xFF, 0xFF, 'b'};
    EXPECT_NE(std::search(raw.begin(), raw.end(), doubled.begin(), doubled.end()), raw.end());
    EXPECT_EQ(peer.data(), std::string("a\xff" "b"));
    Bytes breaks;
    for (const auto& c : peer.commands())
        if (c.code == rfc2217::SET_CONTROL)
            breaks.push_back(static_cast<uint8_t>(c.Number()));
    EXPECT_EQ(breaks, (Bytes{rfc2217::BREAK_ON, rfc2217::BREAK_OFF}));
}

TEST(Rfc2217Server, ModemReportsDriveCtsAndRingEvents)
{
    Rfc2217Peer peer;
    RemotePort remote(peer.url(), {ceCts, ceRing, ceRxChar, ceError});
    int cts = 0, rings = 0;
    remote.port.OnCts = [&](TVaCustomComm*) { ++cts; };
    remote.port.OnRing = [&](TVaCustomComm*) { ++rings; };
    remote.port.Open();
    // The report at opening had every line off: no knowledge yet, CTS counts as on.
    EXPECT_TRUE(remote.port.CTS());
    using namespace rfc2217;
    peer.sendReport(NOTIFY_MODEMSTATE + SERVER_OFFSET, {MODEM_DELTA_CTS | MODEM_DSR});
    ASSERT_TRUE(ServeUntil([&] { return cts > 0; }));
    EXPECT_FALSE(remote.port.CTS());
    EXPECT_TRUE(remote.port.DSR());
    EXPECT_EQ(remote.NoticesWith("reports its modem lines"), 1);
    peer.sendReport(NOTIFY_MODEMSTATE + SERVER_OFFSET, {MODEM_DELTA_CTS | MODEM_CTS | MODEM_DSR | MODEM_RING});
    ASSERT_TRUE(ServeUntil([&] { return rings > 0 && cts > 1; }));
    EXPECT_TRUE(remote.port.CTS());
    EXPECT_TRUE(remote.port.Ring());

    // A line error report reaches the error handler.
    int32_t errors = 0;
    remote.port.OnError = [&](TVaCustomComm*, int32_t e) { errors |= e; };
    peer.sendReport(NOTIFY_LINESTATE + SERVER_OFFSET, {LINE_FRAMING});
    ASSERT_TRUE(ServeUntil([&] { return errors != 0; }));
    EXPECT_EQ(errors, static_cast<int32_t>(CE_FRAME));
}

TEST(Rfc2217Server, SuspendHoldsOutputUntilResume)
{
    Rfc2217Peer peer;
    RemotePort remote(peer.url());
    remote.port.Open();
    using namespace rfc2217;
    peer.sendReport(FLOWCONTROL_SUSPEND + SERVER_OFFSET, {});
    ServeFor(200);
    ASSERT_TRUE(remote.port.WriteText("held"));
    ServeFor(300);
    EXPECT_EQ(peer.data(), "");
    peer.sendReport(FLOWCONTROL_RESUME + SERVER_OFFSET, {});
    EXPECT_TRUE(peer.waitForData("held"));
}

TEST(Rfc2217Server, HostileStreamIsAnsweredAndDataSurvives)
{
    Rfc2217Peer peer;
    RemotePort remote(peer.url());
    remote.port.Open();
    Bytes hostile = {IAC, WILL, 99, IAC, DO, 77, IAC, SB, COM_PORT, 107};
    hostile.insert(hostile.end(), 50000, 0x30);
    hostile.insert(hostile.end(), {IAC, SE, 'o', 'k', IAC, IAC});
    peer.sendRaw(hostile);
    ASSERT_TRUE(remote.Receive(3));
    EXPECT_EQ(remote.received, "ok\xff");
    const Bytes dont99 = {IAC, DONT, 99}, wont77 = {IAC, WONT, 77};
    ASSERT_TRUE(Eventually([&] {
        const Bytes raw = peer.raw();
        return std::search(raw.begin(), raw.end(), dont99.begin(), dont99.end()) != raw.end() &&
               std::search(raw.begin(), raw.end(), wont77.begin(), wont77.end()) != raw.end();
    }));
    // A server that closes in the middle of a subnegotiation is a vanished device.
    peer.sendRaw({IAC, SB, COM_PORT, 107, 0x10});
    peer.disconnect();
    ASSERT_TRUE(ServeUntil([&] { return remote.disconnects > 0; }));
}
