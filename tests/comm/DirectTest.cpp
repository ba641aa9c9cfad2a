// Received bytes that reach a component off the main thread: data sinks fed by the event thread,
// read leases through which a component's own thread reads the device, and the bounded rounds of
// hand-overs on the main thread.
#include "CommTestUtil.h"

#include <condition_variable>
#include <stdexcept>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

// Records what it is given, and on which thread.
struct Sink : IVaCommDataSink {
    std::mutex mutex;
    std::condition_variable changed;
    std::string data;
    std::thread::id lastThread;
    std::shared_ptr<TVaReadLease> lease;

    void TakeCommData(PVaData d, int32_t count) override
    {
        {
            std::lock_guard lock(mutex);
            data.append(reinterpret_cast<const char*>(d), static_cast<size_t>(count));
            lastThread = std::this_thread::get_id();
        }
        changed.notify_all();
    }
    void LendReader(std::shared_ptr<TVaReadLease> lent) override
    {
        std::lock_guard lock(mutex);
        lease = std::move(lent);
    }
    // Waits without serving the main thread's hand-overs.
    bool WaitForData(const std::string& want)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return data == want; });
    }
    std::string Data()
    {
        std::lock_guard lock(mutex);
        return data;
    }
    std::thread::id LastThread()
    {
        std::lock_guard lock(mutex);
        return lastThread;
    }
    std::shared_ptr<TVaReadLease> Lease()
    {
        std::lock_guard lock(mutex);
        return lease;
    }
};

// A component that takes its data through a sink; what the port hands it on the main thread goes
// to the same sink.
class SinkComponent : public TVaCommComponent {
public:
    std::shared_ptr<Sink> sink = std::make_shared<Sink>();
    SinkComponent() { Dispatcher().SetDataSink(sink); }
    void HandleCommData(PVaData d, int32_t count) override { sink->TakeCommData(d, count); }
};

class Recorder : public TVaCommComponent {
public:
    std::string data;
    void HandleCommData(PVaData d, int32_t count) override { data.append(reinterpret_cast<const char*>(d), count); }
};

} // namespace

TEST(Direct, SinksGetTheBytesWhileTheMainThreadServesNothing)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    // Events derived from every byte keep the device with the event thread: no lease is lent.
    port.SetMonitorEvents({ceRxChar, ceRxFlag});
    std::string viaRxChar, viaRxBuf;
    port.OnRxChar = [&](TVaCustomComm* s, int32_t) { viaRxChar += s->ReadText(); };
    port.OnRxBuf = [&](TVaCustomComm*, PVaData d, int32_t n) { viaRxBuf.append(reinterpret_cast<const char*>(d), n); };
    port.Open();
    SinkComponent component;
    component.SetComm(&port);
    EXPECT_THROW(component.Dispatcher().SetDataSink(nullptr), std::logic_error);
    EXPECT_EQ(component.sink->Lease(), nullptr);

    peer.Write("direct");
    ASSERT_TRUE(component.sink->WaitForData("direct"));
    EXPECT_NE(component.sink->LastThread(), std::this_thread::get_id());
    // OnRxBuf still sees the bytes, on the main thread and after the component; OnRxChar does not.
    ASSERT_TRUE(ServeUntil([&] { return viaRxBuf == "direct"; }));

    // With a component without a sink beside it, every attached component gets the bytes on the
    // main thread, in attachment order.
    Recorder recorder;
    recorder.SetComm(&port);
    peer.Write("mixed");
    ASSERT_TRUE(ServeUntil([&] { return recorder.data == "mixed"; }));
    EXPECT_EQ(component.sink->Data(), "directmixed");
    EXPECT_EQ(component.sink->LastThread(), std::this_thread::get_id());

    // An inactive component with a sink gets nothing, but OnRxBuf does.
    recorder.SetComm(nullptr);
    component.SetDispatcherActive(false);
    peer.Write("dropped");
    ASSERT_TRUE(ServeUntil([&] { return viaRxBuf == "directmixeddropped"; }));
    EXPECT_EQ(component.sink->Data(), "directmixed");

    component.SetComm(nullptr);
    peer.Write("back");
    ASSERT_TRUE(ServeUntil([&] { return viaRxChar == "back"; }));
    port.Close();
}

TEST(Direct, LeaseIsReadByTheWaitingThreadAndEndsWithThePort)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    SinkComponent component;
    component.SetComm(&port);
    EXPECT_EQ(component.sink->Lease(), nullptr); // lent only while the port is open
    port.Open();
    const std::shared_ptr<TVaReadLease> lease = component.sink->Lease();
    ASSERT_NE(lease, nullptr);
    lease->Claim(true);

    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::atomic<bool> unusable{false};
    std::thread::id readerId;
    std::thread reader([&] {
        // A worker's receive loop: it waits through the lease until the lease stops serving.
        while (lease->Wait(wake, 10000) != TVaReadLease::TWaitResult::Unusable) {
        }
        unusable = true;
    });
    readerId = reader.get_id();
    peer.Write("abc");
    ASSERT_TRUE(component.sink->WaitForData("abc"));
    EXPECT_EQ(component.sink->LastThread(), readerId);

    // Attaching a component without a sink takes the lease back: the bytes go to the main thread.
    Recorder recorder;
    recorder.SetComm(&port);
    EXPECT_EQ(component.sink->Lease(), nullptr);
    peer.Write("def");
    ASSERT_TRUE(ServeUntil([&] { return recorder.data == "def"; }));
    EXPECT_EQ(component.sink->Data(), "abcdef");
    reader.join();
    EXPECT_TRUE(unusable.load());

    // Lent again once the components all have sinks; closing the port ends a wait at once.
    recorder.SetComm(nullptr);
    const std::shared_ptr<TVaReadLease> second = component.sink->Lease();
    ASSERT_NE(second, nullptr);
    second->Claim(true);
    unusable = false;
    std::thread waiter([&] {
        while (second->Wait(wake, 60000) != TVaReadLease::TWaitResult::Unusable) {
        }
        unusable = true;
    });
    port.Close();
    waiter.join();
    EXPECT_TRUE(unusable.load());
    EXPECT_EQ(component.sink->Lease(), nullptr);
    ::close(wake);
}

TEST(Direct, HandOverRoundsAreBounded)
{
    // A thread that hands calls over as fast as the main thread runs them cannot keep one round
    // going for ever.
    std::atomic<bool> stop{false};
    std::atomic<bool> ended{false};
    std::atomic<int> calls{0};
    std::thread flood([&] {
        while (!stop)
            Synchronize([&] { ++calls; });
        ended = true;
        VaNotifyWaiters();
    });
    // Each round ends, so the wait sees its condition (an endless round would never return).
    EXPECT_TRUE(ServeUntil([&] { return calls.load() >= 1000; }));
    stop = true;
    ASSERT_TRUE(ServeUntil([&] { return ended.load(); }));
    flood.join();

    // What the main thread queues during a round runs in that round.
    bool inner = false;
    VaQueue([&] { VaQueue([&] { inner = true; }); });
    EXPECT_TRUE(CheckSynchronize());
    EXPECT_TRUE(inner);

    // A call handed over without waiting: its end is awaited later, and its exception with it.
    std::string error;
    std::thread worker([&] {
        TVaPendingCall call = SynchronizeLater([] { throw EVaCommError("late"); });
        try {
            call.Await();
        } catch (const EVaCommError& e) {
            error = e.what();
        }
        EXPECT_FALSE(call.Pending());
        ended = false;
        VaNotifyWaiters();
    });
    ASSERT_TRUE(ServeUntil([&] { return !ended.load(); }));
    worker.join();
    EXPECT_EQ(error, "late");
}
