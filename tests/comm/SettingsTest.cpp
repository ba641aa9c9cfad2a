#include "CommTestUtil.h"

#include <filesystem>
#include <fstream>

TEST(Settings, AssignNotifiesOnceAndRefusesOtherClasses)
{
    TVaFlowControl a, b;
    int changes = 0;
    a.OnChange = [&] { ++changes; };
    b.SetOutCtsFlow(true);
    b.SetControlDtr(dtrEnabled);
    b.SetXonXoffIn(true);
    a.Assign(b);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(a.OutCtsFlow());
    EXPECT_EQ(a.ControlDtr(), dtrEnabled);
    a.SetOutCtsFlow(true); // unchanged: no notification
    EXPECT_EQ(changes, 1);

    TVaEventChars chars;
    int charChanges = 0;
    chars.OnChange = [&] { ++charChanges; };
    chars.SetXonChar(17); // same value still notifies
    EXPECT_EQ(charChanges, 1);
    EXPECT_EQ(chars.XonChar(), 17);
    EXPECT_EQ(chars.XoffChar(), 19);

    TVaBuffers buffers;
    EXPECT_EQ(ErrorOf([&] { buffers.Assign(a); }), "Cannot assign a TVaFlowControl to a TVaBuffers");
    int bufferChanges = 0;
    buffers.OnChange = [&] { ++bufferChanges; };
    buffers.SetReadTimeout(5); // time-outs are plain stores
    EXPECT_EQ(bufferChanges, 0);
    buffers.SetWriteSize(10);
    EXPECT_EQ(bufferChanges, 1);
}

TEST(Settings, BaudrateAndUserBaudrate)
{
    TVaComm port;
    EXPECT_EQ(port.Baudrate(), br1200);
    EXPECT_EQ(port.EffectiveBaudrate(), 1200);
    port.SetUserBaudrate(232558);
    EXPECT_EQ(port.Baudrate(), brUser);
    EXPECT_EQ(port.EffectiveBaudrate(), 232558);
    port.SetBaudrate(brUser); // keeps the user rate
    EXPECT_EQ(port.UserBaudrate(), 232558);
    port.SetBaudrate(br9600);
    EXPECT_EQ(port.UserBaudrate(), 0);
    port.SetBaudrate(br9600);
    port.SetUserBaudrate(0); // same value: nothing changes, not even the rate kind
    EXPECT_EQ(port.Baudrate(), br9600);
    EXPECT_EQ(port.Version(), "1.3.5.0");
}

TEST(Settings, DevicePathAndFormatting)
{
    TVaComm port;
    port.SetDeviceName("COM%d");
    port.SetPortNum(3);
    EXPECT_EQ(port.DevicePath(), "/dev/COM3");
    port.SetDeviceName("/dev/serial/by-id/usb-x%%y");
    EXPECT_EQ(port.DevicePath(), "/dev/serial/by-id/usb-x%y");
    port.SetDeviceName("ttyUSB0");
    EXPECT_EQ(port.DevicePath(), "/dev/ttyUSB0");
    EXPECT_EQ(VaFormat("Error writing dcb (%d), %s", {"22", "Invalid argument"}),
              "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(VaFormat("no placeholders", {"1"}), "no placeholders");
}

TEST(PortNames, SysfsListAndPatterns)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("qx-sysfs-" + std::to_string(::getpid()));
    fs::remove_all(root);
    auto make = [&](const std::string& name, bool device, const char* type) {
        fs::create_directories(root / name);
        if (device)
            fs::create_directories(root / name / "device");
        if (type)
            std::ofstream(root / name / "type") << type << "\n";
    };
    make("ttyS0", true, "4");
    make("ttyS1", true, "0"); // no UART behind it
    make("ttyUSB0", true, nullptr);
    make("ttyACM0", true, nullptr);
    make("tty1", false, nullptr); // a virtual console
    std::vector<std::string> names{"stale"};
    TVaComm::GetComPortNames(names, root.string());
    EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0"}));

    std::vector<std::string> none{"x"};
    TVaComm::GetComPortNames(none, (root / "missing").string());
    EXPECT_TRUE(none.empty());

    fs::create_directories(root / "links");
    std::ofstream(root / "links" / "a");
    std::ofstream(root / "links" / "b");
    std::vector<std::string> list{"ttyS0", (root / "links" / "b").string()};
    TVaComm::AppendPortPatterns(list, " " + (root / "links" / "*").string() + " ,, /nonexistent/x*");
    EXPECT_EQ(list, (std::vector<std::string>{"ttyS0", (root / "links" / "b").string(),
                                              (root / "links" / "a").string()}));
    fs::remove_all(root);
}
