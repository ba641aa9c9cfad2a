// Pieces of qx-devsim that are checked without a pty.
#include <gtest/gtest.h>

#include "device.h"
#include "profile.h"
#include "xmodem_receiver.h"

TEST(DevsimUnits, CrcAndProfileValues)
{
    EXPECT_EQ(devsim::crc16Xmodem("123456789"), 0x31C3);
    EXPECT_EQ(devsim::decodeEscapes("#27[2J#13#1"), std::string("\x1b[2J\r#1"));

    devsim::IniFile ini;
    ini.parse("[device]\nTYPE = asi\nInit=#27c,#27[2J,\n[Flash]\nBlocks=20\nTypes=0:b, 3-5:m ,19-30:f,x:1\n");
    devsim::Profile p;
    devsim::applyIni(ini, p);
    EXPECT_EQ(p.type, devsim::DeviceType::Asi);
    EXPECT_EQ(p.terminator, ">") << "an ASI device answers with > unless told otherwise";
    ASSERT_EQ(p.init.size(), 2u);
    EXPECT_EQ(p.init[1], "\x1b[2J");
    EXPECT_EQ(p.blockTypes.size(), 5u);
    EXPECT_EQ(p.blockTypes.at(4), 'm');
    EXPECT_EQ(p.blockTypes.at(19), 'f');
}

TEST(DevsimUnits, XmodemReceiverAsksAgainForDamagedBlocksAndTakesRepeats)
{
    using namespace std::chrono_literals;
    devsim::XmodemReceiver rx({});
    auto t = devsim::Clock::time_point{};
    rx.start(t);
    EXPECT_EQ(rx.takeOutput(), "C");
    auto block = [](int n, char fill, bool damage) {
        std::string payload(128, fill);
        const auto crc = devsim::crc16Xmodem(payload);
        std::string b = {'\x01', static_cast<char>(n), static_cast<char>(255 - n)};
        b += payload;
        b += static_cast<char>(crc >> 8);
        b += static_cast<char>((crc & 0xFF) ^ (damage ? 1 : 0));
        return b;
    };
    rx.receive(block(1, 'a', true), t);
    EXPECT_EQ(rx.takeOutput(), "");
    rx.tick(t += 200ms);  // quiet line after the damaged block: ask again
    EXPECT_EQ(rx.takeOutput(), "C");
    rx.receive(block(1, 'a', false), t);
    rx.receive(block(1, 'a', false), t);  // a repeat after a lost ACK
    rx.receive(block(2, 'b', false), t);
    rx.receive("\x04", t);
    EXPECT_EQ(rx.takeOutput(), "\x06\x06\x06\x06");
    EXPECT_EQ(rx.state(), devsim::XmodemReceiver::State::Done);
    EXPECT_EQ(rx.data(), std::string(128, 'a') + std::string(128, 'b'));
}

// The sample catalogue and the devsim profiles describe the same devices: a
// program that follows the catalogue must find the simulated device.
TEST(DevsimUnits, SampleCatalogueMatchesTheProfiles)
{
    devsim::IniFile catalogue;
    ASSERT_TRUE(catalogue.load(std::string(QX_TOOLS_DIR) + "/devices.ini", nullptr));
    const std::pair<const char*, const char*> devices[] = {
        {"QX-Display", "display.ini"}, {"QX-ASI", "asi.ini"}, {"QX-Board1", "loader1.ini"}, {"QX-Board2", "loader2.ini"}};
    const std::string list = catalogue.get("TOOLS", "Devices", "");
    for (const auto& [name, file] : devices) {
        SCOPED_TRACE(name);
        devsim::Profile p;
        ASSERT_TRUE(devsim::loadProfile(std::string(QX_TOOLS_DIR) + "/devsim/" + file, p, nullptr));
        EXPECT_EQ(p.name, name);
        EXPECT_NE(list.find(std::string(name) + ","), std::string::npos);
        EXPECT_EQ(catalogue.get(name, "Type", "") == "ASI", p.type == devsim::DeviceType::Asi);
        EXPECT_EQ(devsim::decodeEscapes(catalogue.get(name, "IDstring", "")), p.idString);
        const auto init = devsim::splitFields(catalogue.get(name, "Init", ""));
        ASSERT_FALSE(p.init.empty());
        EXPECT_EQ(devsim::decodeEscapes(init.at(0)), p.init.back());
        const auto update = devsim::splitFields(catalogue.get(name, "Update", ""));
        if (p.loader == 0) {
            EXPECT_TRUE(update.at(0).empty());
        } else {
            EXPECT_EQ(update.at(0), p.loaderEntry);
            if (p.loader == 1) {
                ASSERT_GE(update.size(), 2u);
                EXPECT_EQ(update.at(1), p.loaderAnswer);
                EXPECT_NE(p.loaderPrompt.find("Press"), std::string::npos);
            }
        }
        const long baudIndex = catalogue.getInt(name, "Baud", 6);
        EXPECT_EQ(baudIndex == 13 ? 115200L : baudIndex == 6 ? 9600L : -1L, p.baud);
    }
}

TEST(DevsimUnits, FloodTriggerSendsItsSizeInLines)
{
    devsim::Profile p;
    p.floodTrigger = "!flood";
    p.floodBytes = 1000;
    devsim::Device device(p, "/nonexistent", [](const std::string&) {});
    EXPECT_EQ(device.takeFlood(1 << 16, devsim::Clock::now()), "");
    const auto now = devsim::Clock::now();
    device.receive("x!flood", now);
    std::string flood;
    for (std::string part; !(part = device.takeFlood(300, now)).empty();) {
        EXPECT_LE(part.size(), 300u);
        flood += part;
    }
    // Twelve whole lines and the last one cut to the size; nothing else is sent.
    ASSERT_EQ(flood.size(), 1000u);
    EXPECT_FALSE(device.flooding());
    EXPECT_EQ(flood.substr(0, 20), "flood line 00000000 ");
    EXPECT_EQ(flood.substr(78, 22), "\r\nflood line 00000001 ");
    EXPECT_EQ(flood.substr(12 * 80, 20), "flood line 00000012 ");
    EXPECT_EQ(device.takeOutput(now + std::chrono::seconds(1)), "");

    // Started again, and ended by the port's closing.
    device.receive("!flood", now);
    EXPECT_TRUE(device.flooding());
    EXPECT_EQ(device.takeFlood(80, now).size(), 80u);
    device.stopFlood();
    EXPECT_EQ(device.takeFlood(80, now), "");

    // At a rate: what is due since the start, in whole lines.
    p.floodRate = 8000;
    devsim::Device paced(p, "/nonexistent", [](const std::string&) {});
    paced.receive("!flood", now);
    EXPECT_FALSE(paced.floodDue(now));
    EXPECT_EQ(paced.takeFlood(1 << 16, now), "");
    EXPECT_TRUE(paced.floodDue(now + std::chrono::milliseconds(10)));
    EXPECT_EQ(paced.takeFlood(1 << 16, now + std::chrono::milliseconds(125)).size(), 1000u);
}

TEST(DevsimUnits, KeysWhoseValuesOrDefaultsNeedReading)
{
    auto load = [](const std::string& text) {
        devsim::IniFile ini;
        ini.parse(text);
        devsim::Profile p;
        devsim::applyIni(ini, p);
        return p;
    };
    EXPECT_EQ(load("").lineAck, 6);
    EXPECT_EQ(load("[Device]\nLineAck=13\n").lineAck, 13);
    for (const char* off : {"", "off", "-1", "256"})
        EXPECT_EQ(load(std::string("[Device]\nLineAck=") + off + "\n").lineAck, -1) << off;

    // The second loader greets with DDD unless told otherwise; greetings take "#nn".
    EXPECT_EQ(load("[Loader]\nGeneration=2\nEntry=!b\n").loaderPrompt, "DDD");
    EXPECT_NE(load("[Loader]\nGeneration=1\nEntry=!b\n").loaderPrompt.find("Press"), std::string::npos);
    EXPECT_EQ(load("[Loader]\nGeneration=2\nEntry=!b\nPrompt=Press#13#10DDD\n").loaderPrompt, "Press\r\nDDD");
    EXPECT_EQ(load("[Loader]\nGeneration=2\nEntry=!b\nPrompt=\n").loaderPrompt, "");

    const devsim::Profile p = load("[Touch]\nPoints=1:2, 30 : 40 ,bad,5:\n[BlockTest]\nAnswer=Nak\n[Flash]\nOutOfRange=1\n");
    ASSERT_EQ(p.touchPoints.size(), 3u);
    EXPECT_EQ(p.touchPoints[1], (std::pair<std::string, std::string>("30", "40")));
    EXPECT_EQ(p.touchPoints[2].second, "");
    EXPECT_TRUE(p.blockTestNak);
    EXPECT_EQ(p.outOfRange, "1");
    EXPECT_FALSE(load("[BlockTest]\nAnswer=ACK\n").blockTestNak);

    const devsim::Profile flood = load("[Flood]\nTrigger=!f\nMegabytes=3\nLineLength=2\n");
    EXPECT_EQ(flood.floodTrigger, "!f");
    EXPECT_EQ(flood.floodBytes, 3000000);
    EXPECT_EQ(flood.floodLineLength, 24);
    EXPECT_EQ(flood.floodRate, 0);
    EXPECT_EQ(load("[Flood]\nRateKB=2000\n").floodRate, 2000000);
    EXPECT_EQ(load("").floodTrigger, "");
}
