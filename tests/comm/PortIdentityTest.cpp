// Ports known by identity, read from a fake sysfs and /dev tree: USB devices with and without a
// serial number, a platform UART, entries without the usual files, links pointing nowhere, paths;
// the chosen device found again under a new name. And the kernel's notices of ports coming and
// going, with real pseudo-terminals behind links.
#include "PtyPeer.h"
#include "TestSupport.h"
#include "VaDeviceWatch.h"
#include "VaPortIdentity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<TVaPortIdentity> identities(const std::vector<std::string>& names, const TVaDeviceRoots& roots)
{
    std::vector<TVaPortIdentity> ports;
    for (const auto& name : names)
        ports.push_back(VaPortIdentity(name, roots));
    return ports;
}

bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

} // namespace

TEST(PortIdentity, UsbDevicesWithAndWithoutSerialNumber)
{
    TFakeDeviceTree tree;
    tree.board("1-1.2", "ttyACM0", "0042");
    tree.link("serial/by-id/usb-QX_QX_Board2_0042-if00", "../../ttyACM0");
    tree.link("serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0", "../../ttyACM0");
    tree.link("serial/by-id/usb-gone-if00", "../../ttyACM9"); // leads nowhere

    const TVaPortIdentity acm = VaPortIdentity("ttyACM0", tree.roots());
    EXPECT_EQ(acm.devicePath, tree.roots().dev + "/ttyACM0");
    EXPECT_EQ(acm.vendorId + ":" + acm.productId, "1a86:55d4");
    EXPECT_EQ(acm.manufacturer, "QX");
    EXPECT_EQ(acm.serial, "0042");
    EXPECT_EQ(acm.usbPath, "1-1.2:1.0");
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.byId, tree.roots().dev + "/serial/by-id/usb-QX_QX_Board2_0042-if00");
    EXPECT_EQ(acm.byPath, tree.roots().dev + "/serial/by-path/pci-0000:00:14.0-usb-0:1.2:1.0");
    EXPECT_EQ(acm.key(), "usb:1a86:55d4:0042:00");
    EXPECT_EQ(acm.description(), "QX Board2 (1a86:55d4 SN 0042)");
    EXPECT_NE(acm.details().find("Serial number: 0042"), std::string::npos);

    // A USB serial converter: its tty sits below the interface, with a driver of its own; no serial
    // number, so the place on the bus is what identifies it.
    const std::string base = "devices/pci0000:00/usb1/1-1.3";
    tree.device(base, {{"idVendor", "1a86"}, {"idProduct", "7523"}, {"product", "USB Serial"}});
    tree.driver(tree.device(base + "/1-1.3:1.0", {{"bInterfaceNumber", "00"}}), "ch341");
    const std::string port = tree.device(base + "/1-1.3:1.0/ttyUSB0");
    tree.driver(port, "ch341-uart");
    tree.tty("ttyUSB0", port);
    const TVaPortIdentity usb = VaPortIdentity("ttyUSB0", tree.roots());
    EXPECT_EQ(usb.driver, "ch341-uart");
    EXPECT_EQ(usb.serial, "");
    EXPECT_EQ(usb.key(), "usb-path:1a86:7523:1-1.3:1.0");
    EXPECT_EQ(usb.description(), "USB Serial (1a86:7523)");
    EXPECT_TRUE(usb.byId.empty());
}

TEST(PortIdentity, PlatformUartBareEntriesAndPaths)
{
    TFakeDeviceTree tree;
    const std::string uart = tree.device("devices/platform/serial8250");
    tree.driver(uart, "serial8250");
    tree.tty("ttyS0", uart);
    const TVaPortIdentity s0 = VaPortIdentity("ttyS0", tree.roots());
    EXPECT_FALSE(s0.usb());
    EXPECT_EQ(s0.description(), "serial8250");
    EXPECT_EQ(s0.key(), "path:" + tree.roots().dev + "/ttyS0");

    // A sysfs entry without the usual files, and a name sysfs does not know: the device path.
    tree.tty("ttyACM1", tree.device("devices/virtual/odd"));
    for (const char* name : {"ttyACM1", "ttyXYZ"}) {
        const TVaPortIdentity bare = VaPortIdentity(name, tree.roots());
        EXPECT_EQ(bare.key(), "path:" + tree.roots().dev + "/" + name);
        EXPECT_EQ(bare.description(), "");
    }

    // A path is its own identity; one that leads to a known tty is described by it.
    tree.board("1-4", "ttyACM2", "77");
    const std::string link = tree.root() + "my-board";
    fs::create_symlink(tree.roots().dev + "/ttyACM2", link);
    const TVaPortIdentity linked = VaPortIdentity(link, tree.roots());
    EXPECT_EQ(linked.key(), "path:" + link);
    EXPECT_EQ(linked.description(), "QX Board2 (1a86:55d4 SN 77)");
    const TVaPortIdentity direct = VaPortIdentity(tree.roots().dev + "/ttyACM2", tree.roots());
    EXPECT_EQ(direct.key(), "path:" + tree.roots().dev + "/ttyACM2");
    EXPECT_EQ(direct.serial, "77");

    PtyPeer pty;
    const TVaPortIdentity pts = VaPortIdentity(pty.SlavePath(), tree.roots());
    EXPECT_EQ(pts.key(), "path:" + pty.SlavePath());
    const std::string toPty = tree.root() + "sim";
    fs::create_symlink(pty.SlavePath(), toPty);
    EXPECT_EQ(VaPortIdentity(toPty, tree.roots()).description(), "link to " + pty.SlavePath());

    fs::remove(toPty);
    fs::create_symlink(tree.root() + "nowhere", toPty);
    EXPECT_EQ(VaPortIdentity(toPty, tree.roots()).description(), "");
}

TEST(PortIdentity, ChosenDeviceFoundAgainUnderNewName)
{
    std::string key;
    {
        TFakeDeviceTree before;
        before.board("1-1.2", "ttyACM0", "0042");
        key = VaPortIdentity("ttyACM0", before.roots()).key();
    }
    // After its firmware update the board comes back as ttyACM1, on another USB port, while
    // another board of the same kind took ttyACM0.
    TFakeDeviceTree after;
    after.board("1-1.1", "ttyACM0", "0043");
    after.board("1-1.4", "ttyACM1", "0042");
    const auto ports = identities({"ttyACM0", "ttyACM1"}, after.roots());
    EXPECT_EQ(VaFindPortByKey(ports, key), 1);
    EXPECT_NE(ports[0].key(), key);

    // Without a serial number the place on the bus decides: the same socket is the same device.
    TFakeDeviceTree plain;
    plain.board("1-2", "ttyACM3", nullptr);
    const std::string socket = VaPortIdentity("ttyACM3", plain.roots()).key();
    TFakeDeviceTree moved;
    moved.board("1-2", "ttyACM5", nullptr);
    moved.board("1-3", "ttyACM3", nullptr);
    EXPECT_EQ(VaFindPortByKey(identities({"ttyACM3", "ttyACM5"}, moved.roots()), socket), 1);
    EXPECT_EQ(VaFindPortByKey(identities({"ttyACM3"}, moved.roots()), "usb:none"), -1);
}

TEST(DeviceWatch, FoldersOnTheWayOfLinks)
{
    TTempDir dir;
    fs::create_directories(dir.path() + "a");
    fs::create_symlink(dir.path() + "a/b", dir.path() + "link");
    fs::create_symlink("../c/d", dir.path() + "a/b");
    const auto folders = VaWatchFolders({dir.path() + "link", "ttyS0"}, dir.path() + "dev");
    const std::string base = fs::path(dir.path()).lexically_normal().parent_path().string();
    for (const std::string& wanted : {dir.path() + "dev", dir.path() + "dev/serial/by-id", dir.path() + "dev/pts",
                                      base, dir.path() + "a", dir.path() + "c"})
        EXPECT_NE(std::find(folders.begin(), folders.end(), fs::path(wanted).lexically_normal().string()), folders.end())
            << wanted;
}

TEST(DeviceWatch, NoticesPseudoTerminalsBehindALinkGoingAndComing)
{
    TTempDir dir;
    const std::string link = dir.path() + "device";
    auto pty = std::make_unique<PtyPeer>();
    fs::create_symlink(pty->SlavePath(), link);
    TVaDeviceWatch watch;
    ASSERT_GE(watch.Handle(), 0);
    watch.Watch(VaWatchFolders({link}));
    watch.Drain();
    EXPECT_FALSE(readable(watch.Handle(), 0));

    // The device goes: its node leaves /dev/pts.
    pty->CloseMaster();
    EXPECT_TRUE(readable(watch.Handle(), 10000));
    EXPECT_TRUE(watch.Drain());
    EXPECT_FALSE(watch.Drain());

    // It comes back on a new pseudo-terminal behind the same link.
    pty = std::make_unique<PtyPeer>();
    fs::remove(link);
    fs::create_symlink(pty->SlavePath(), link);
    EXPECT_TRUE(readable(watch.Handle(), 10000));
    EXPECT_TRUE(watch.Drain());

    // A folder that appears later is watched through the one above it.
    const std::string later = dir.path() + "later";
    watch.Watch({later});
    watch.Drain();
    fs::create_directories(later);
    EXPECT_TRUE(readable(watch.Handle(), 10000));
}

TEST(DeviceWatch, WaitForPortUntilItAppearsAndIsFree)
{
    TTempDir dir;
    const std::string link = dir.path() + "board";
    EXPECT_EQ(VaWaitForPort(link, 50).kind, ekNotFound);

    // Plugged in while the wait runs.
    std::unique_ptr<PtyPeer> pty;
    std::thread plug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pty = std::make_unique<PtyPeer>();
        fs::create_symlink(pty->SlavePath(), link);
    });
    const TVaOpenResult appeared = VaWaitForPort(link, 20000);
    plug.join();
    EXPECT_TRUE(appeared.ok) << appeared.error;

    // Held by another program: refused as busy until it lets go.
    const int holder = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(VaWaitForPort(link, 100).kind, ekBusy);
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(holder);
    });
    EXPECT_TRUE(VaWaitForPort(link, 20000).ok);
    release.join();
}
