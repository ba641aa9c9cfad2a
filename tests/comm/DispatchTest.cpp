#include "CommTestUtil.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

class Recorder : public TVaCommComponent {
public:
    std::string data;
    std::vector<uint32_t> events;
    void HandleCommData(PVaData d, int32_t count) override { data.append(reinterpret_cast<const char*>(d), count); }
    void HandleCommEvents(uint32_t mask) override { events.push_back(mask); }
};

// A device whose modem lines the test sets: CTS can be held low and RING raised.
class FakeLines : public TVaModemLines {
public:
    FakeLines() : efd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~FakeLines() override { ::close(efd_); }
    std::atomic<uint32_t> bits{MS_DSR_ON};
    std::atomic<int> dtrChanges{0};
    void Set(uint32_t b)
    {
        bits = b;
        const uint64_t one = 1;
        (void)::write(efd_, &one, sizeof one);
    }
    bool Status(int, uint32_t& b) override
    {
        b = bits;
        return true;
    }
    bool Drive(int, bool dtr, bool) override
    {
        if (dtr)
            ++dtrChanges;
        return true;
    }
    bool NeedsPolling(int) override { return false; }
    int ChangeDescriptor() override { return efd_; }
    void AcknowledgeChange() override
    {
        uint64_t v;
        (void)::read(efd_, &v, sizeof v);
    }

private:
    int efd_;
};

} // namespace

TEST(Dispatch, AttachedComponentsGetTheDataInsteadOfRxChar)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    std::string viaRxChar, viaRxBuf;
    port.OnRxChar = [&](TVaCustomComm* s, int32_t) { viaRxChar += s->ReadText(); };
    port.OnRxBuf = [&](TVaCustomComm*, PVaData d, int32_t n) { viaRxBuf.append(reinterpret_cast<const char*>(d), n); };
    port.Open();

    Recorder first, second;
    first.SetComm(&port);
    second.SetComm(&port);
    EXPECT_EQ(port.DispatcherCount(), 2u);
    peer.Write("one");
    ASSERT_TRUE(ServeUntil([&] { return viaRxBuf == "one"; }));
    EXPECT_EQ(first.data, "one");
    EXPECT_EQ(second.data, "one");

    // Inactive components drop what comes; OnRxBuf still sees it, OnRxChar does not.
    first.SetDispatcherActive(false);
    second.SetDispatcherActive(false);
    peer.Write("two");
    ASSERT_TRUE(ServeUntil([&] { return viaRxBuf == "onetwo"; }));
    EXPECT_EQ(first.data, "one");
    EXPECT_EQ(viaRxChar, "");

    // Events of the write thread reach active components before the port's own handler.
    std::vector<std::string> order;
    second.SetDispatcherActive(true);
    port.OnTxEmpty = [&](TVaCustomComm*) { order.push_back("port"); };
    port.WriteText("x");
    ASSERT_TRUE(ServeUntil([&] { return !order.empty(); }));
    ASSERT_FALSE(second.events.empty());
    EXPECT_EQ(second.events.back(), EV_TXEMPTY);
    EXPECT_TRUE(first.events.empty());

    // Detaching the last component gives the data back to OnRxChar.
    first.SetComm(nullptr);
    second.SetComm(nullptr);
    peer.Write("three");
    ASSERT_TRUE(ServeUntil([&] { return viaRxChar == "three"; }));
    port.Close();
}

TEST(Dispatch, EitherDestructionOrderLeavesNoDanglingLink)
{
    Recorder component;
    {
        TVaComm port;
        component.SetComm(&port);
        EXPECT_EQ(component.Comm(), &port);
    }
    EXPECT_EQ(component.Comm(), nullptr);
    EXPECT_EQ(component.Dispatcher().Comm(), nullptr);
    EXPECT_EQ(component.Dispatcher().WriteBuf("x", 1), 0);

    TVaComm port;
    {
        Recorder shortLived;
        shortLived.SetComm(&port);
        component.SetComm(&port);
        EXPECT_EQ(port.DispatcherCount(), 2u);
    }
    EXPECT_EQ(port.DispatcherCount(), 1u);
    // Setting the same port again moves the component to the end of the list, once.
    component.SetComm(&port);
    EXPECT_EQ(port.DispatcherCount(), 1u);
}

TEST(Dispatch, FakeDeviceHoldsCtsLowAndRings)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    auto lines = std::make_shared<FakeLines>();
    port.SetModemLines(lines);
    port.SetMonitorEvents({ceRxChar, ceCts, ceRing});
    int ctsEvents = 0, rings = 0;
    port.OnCts = [&](TVaCustomComm*) { ++ctsEvents; };
    port.OnRing = [&](TVaCustomComm* sender) {
        ++rings;
        sender->OnRing = nullptr; // runs once
    };
    port.Open();
    EXPECT_FALSE(port.CTS());
    lines->Set(MS_DSR_ON | MS_CTS_ON);
    ASSERT_TRUE(ServeUntil([&] { return ctsEvents == 1; }));
    EXPECT_TRUE(port.CTS());
    lines->Set(MS_DSR_ON | MS_CTS_ON | MS_RING_ON);
    ASSERT_TRUE(ServeUntil([&] { return rings == 1; }));
    lines->Set(MS_DSR_ON | MS_CTS_ON);
    lines->Set(MS_DSR_ON | MS_CTS_ON | MS_RING_ON);
    ServeFor(100);
    EXPECT_EQ(rings, 1);
    const int before = lines->dtrChanges;
    port.SetDTR(true);
    EXPECT_EQ(lines->dtrChanges, before + 1);
    port.Close();
}
