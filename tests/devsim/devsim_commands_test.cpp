// The device command channel of qx-devsim, driven over its pty.
#include <gtest/gtest.h>

#include <csignal>
#include <random>

#include "devsim_harness.h"

using namespace devsim_test;

namespace {

const std::string ESC = "\x1b";

std::string shippedProfile(const std::string& name)
{
    return readFile(std::string(QX_TOOLS_DIR) + "/devsim/" + name);
}

// A picture stream: width and height, most significant byte first, then the
// pixels' R, G, B, row by row.
std::string pictureStream(int w, int h, unsigned seed)
{
    std::string s = bytes({w >> 8, w & 0xFF, h >> 8, h & 0xFF});
    std::mt19937 rng(seed);
    for (int i = 0; i < w * h * 3; ++i) s += static_cast<char>(rng() & 0xFF);
    return s;
}

// A font stream: the data length (header bytes 5 and 6) first, then the
// 8-byte header, then the data.
std::string fontStream(int cellW, int cellH, int first, int count)
{
    std::string data;
    for (int c = 0; c < count; ++c) data += static_cast<char>(cellW);
    for (int c = 0; c < count * cellH; ++c) data += static_cast<char>((c * 37) & 0xFF);
    const int len = static_cast<int>(data.size());
    unsigned sum = 0;
    for (unsigned char c : data) sum += c;
    const std::string header = bytes({cellW, cellH, 1, first, count, len >> 8, len & 0xFF, static_cast<int>(sum & 0xFF)});
    return header.substr(5, 2) + header + data;
}

}  // namespace

TEST(DevsimCommands, AnswersTheCommandTableOfADisplay)
{
    DevsimProcess dev(shippedProfile("display.ini"));
    dev.open();
    EXPECT_NE(dev.expect("ready\r\n").find("QX-Display v2.4 ready"), std::string::npos) << "banner on connect";

    // Wake CRs are acknowledged as (empty) text lines, the init string is not
    // answered, the identification is.
    dev.send("\r");
    dev.send("\r");
    EXPECT_EQ(dev.readBytes(2), "\x06\x06");
    dev.send(ESC + "c");
    dev.send(ESC + "[c");
    EXPECT_EQ(dev.expect("*"), "QX-Display v2.4*");

    // Block queries give the type code and the terminator, in order.
    dev.send(ESC + "{0q" + ESC + "{1q" + ESC + "{20q" + ESC + "{40q" + ESC + "{499q");
    EXPECT_EQ(dev.readBytes(10), "b*m*f*1*0*");
    dev.send(ESC + "{0r");
    EXPECT_EQ(dev.readBytes(1), "*");
    dev.send(ESC + "[l");
    EXPECT_EQ(dev.expect("*"), "120,45*");

    // Erase changes what the queries answer: blocks 19 to 21 become empty, 22 stays.
    dev.send(ESC + "{22q");
    EXPECT_EQ(dev.readBytes(2), "0*");
    dev.send(ESC + "{18 3E");
    EXPECT_EQ(dev.readBytes(1), "*");
    dev.send(ESC + "{17q" + ESC + "{18q" + ESC + "{20q");
    EXPECT_EQ(dev.readBytes(6), "m*0*0*");

    // Text goes to the character screen; clear screen empties it.
    dev.send("first line\r\n" + ESC + "[2Jsecond\r\nthird");
    dev.send(ESC + "{0q");
    dev.readBytes(2);
    dev.signal(SIGUSR1);
    std::string screen;
    for (int i = 0; i < 200 && screen.find("third") == std::string::npos; ++i) {
        dev.readFor(20ms);
        screen = readFile(dev.out("screen.png.txt"));
    }
    EXPECT_EQ(screen.substr(0, 13), "second\nthird\n");

    const std::string log = dev.log();
    EXPECT_NE(log.find("understood: identification"), std::string::npos);
    EXPECT_NE(log.find("erased blocks 18 to 20"), std::string::npos);
    EXPECT_NE(log.find("text: first line\n"), std::string::npos);
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, UnknownCommandsAreLoggedAndNotAnswered)
{
    DevsimProcess dev(shippedProfile("display.ini"));
    dev.open();
    dev.expect("ready\r\n");
    // Unknown letters, an out-of-range block, a malformed erase, an unknown
    // VT100 sequence and an unknown font set.
    dev.send(ESC + "{1Z" + ESC + "{500q" + ESC + "{5E" + ESC + "{1;2b" + ESC + "[5x" + ESC + "(9" + ESC + "Q");
    EXPECT_EQ(dev.readFor(300ms), "");
    dev.send(ESC + "{0q");
    EXPECT_EQ(dev.readBytes(2), "b*");
    const std::string log = dev.log();
    for (const char* what : {"not understood: ESC {1Z", "not understood: ESC {500q", "not understood: ESC {5E",
                             "not understood: ESC {1;2b", "not understood: ESC [5x", "not understood: ESC (9",
                             "not understood: ESC Q"})
        EXPECT_NE(log.find(what), std::string::npos) << what;
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, AsiDeviceIsAddressedAndRunsTheBlockTransferHandshake)
{
    DevsimProcess dev(shippedProfile("asi.ini"));
    dev.open();
    dev.send("\r\r" + ESC + "c");
    EXPECT_EQ(dev.expect(">"), "\x06\x06" "7>") << "line acknowledgements, then the address for the init";
    dev.send("8" + ESC + "[c");
    EXPECT_EQ(dev.readFor(300ms), "") << "another address is not answered";
    dev.send("7" + ESC + "[c");
    EXPECT_EQ(dev.expect(">"), "QX-ASI v1.2>");
    dev.send(ESC + "{0q" + ESC + "{3q" + ESC + "[l");
    EXPECT_EQ(dev.expect("64,32>"), "f>0>64,32>");

    // The device asks with "D", takes the length most significant byte first,
    // answers ACK and keeps the data.
    dev.signal(SIGUSR2);
    EXPECT_EQ(dev.readBytes(1), "D");
    dev.send(bytes({0, 0, 0, 50}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(std::string(50, 'a'));
    dev.send(ESC + "{0q");
    EXPECT_EQ(dev.readBytes(2), "f>");
    EXPECT_EQ(readFile(dev.out("block-transfer-001.bin")), std::string(50, 'a'));

    // A length beyond its memory is refused with NAK; the data that follows
    // anyway is swallowed and the device answers again.
    dev.signal(SIGUSR2);
    EXPECT_EQ(dev.readBytes(1), "D");
    dev.send(bytes({0, 0, 0x20, 0}));
    EXPECT_EQ(dev.readBytes(1), "\x15");
    dev.send(std::string(0x2000, 'b'));
    dev.send(ESC + "{0q");
    EXPECT_EQ(dev.readBytes(2), "f>");
    EXPECT_FALSE(fileExists(dev.out("block-transfer-002.bin")));
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, PicturesAreStoredByteExactAndDrawn)
{
    DevsimProcess dev(shippedProfile("display.ini"));
    dev.open();
    dev.expect("ready\r\n");

    const std::string small = pictureStream(3, 2, 1);
    dev.send(ESC + "{10,20b" + small);
    // A big picture into flash takes several blocks: the first reads "b", the rest "m".
    const std::string big = pictureStream(120, 100, 2);  // 36004 bytes = 9 blocks of 4096
    dev.send(ESC + "{100B" + big);
    dev.send(ESC + "{100q" + ESC + "{101q" + ESC + "{108q" + ESC + "{109q");
    EXPECT_EQ(dev.readBytes(8), "b*m*m*0*");
    EXPECT_EQ(readFile(dev.out("screen-picture-001.qxp")), small);
    EXPECT_EQ(readFile(dev.out("flash-block-100.qxp")), big);

    // A picture for a block that is not empty is swallowed and refused.
    dev.send(ESC + "{105B" + pictureStream(2, 2, 3));
    dev.send(ESC + "{105q");
    EXPECT_EQ(dev.readBytes(2), "m*");
    EXPECT_FALSE(fileExists(dev.out("flash-block-105.qxp")));

    // Erasing the picture's first block removes its file.
    dev.send(ESC + "{100 9E");
    EXPECT_EQ(dev.readBytes(1), "*");
    EXPECT_FALSE(fileExists(dev.out("flash-block-100.qxp")));

    // The screen written on request shows the small picture at 10,20.
    dev.signal(SIGUSR1);
    Png png;
    for (int i = 0; i < 200 && !decodeStoredPng(dev.out("screen.png"), png); ++i) dev.readFor(20ms);
    ASSERT_EQ(png.width, 240);
    ASSERT_EQ(png.height, 320);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(png.rgb.substr(((20 + y) * 240 + 10 + x) * 3, 3), small.substr(4 + (y * 3 + x) * 3, 3));
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, FontsAreStoredByteExact)
{
    DevsimProcess dev(shippedProfile("display.ini"));
    dev.open();
    dev.expect("ready\r\n");
    const std::string font = fontStream(8, 16, 32, 95);
    dev.send(ESC + "(0" + font);
    dev.send(ESC + "{200F" + font);
    dev.send(ESC + "{200q" + ESC + "{201q");
    EXPECT_EQ(dev.readBytes(4), "f*0*");
    EXPECT_EQ(readFile(dev.out("display-font-001.qxf")), font);
    EXPECT_EQ(readFile(dev.out("flash-block-200.qxf")), font);
    EXPECT_EQ(dev.log().find("checksum mismatch"), std::string::npos);

    // Text is drawn with the loaded font: "A" is character 33 of the font.
    dev.send("A");
    dev.send(ESC + "{200q");
    dev.readBytes(2);
    dev.signal(SIGUSR1);
    Png png;
    for (int i = 0; i < 200 && !decodeStoredPng(dev.out("screen.png"), png); ++i) dev.readFor(20ms);
    ASSERT_EQ(png.width, 240);
    const std::string background = png.rgb.substr(png.rgb.size() - 3);
    for (int y = 0; y < 16; ++y) {
        const int row = ((33 * 16 + y) * 37) & 0xFF;
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(png.rgb.substr((y * 240 + x) * 3, 3) != background, ((row >> (7 - x)) & 1) == 1) << x << "," << y;
    }
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, BadInputLeavesItAnswering)
{
    // The random bytes below hold CRs; without line acknowledgements every
    // answer of the device is exactly its reply.
    DevsimProcess dev(shippedProfile("display.ini") +
                      "\n[Timing]\nIdleTimeoutMs=300\n[Display]\nPictureMemory=30004\n[Device]\nLineAck=\n");
    dev.open();
    dev.expect("ready\r\n");

    // A truncated picture: the device gives up on it once the line is quiet.
    dev.send(ESC + "{b" + pictureStream(10, 10, 4).substr(0, 100));
    EXPECT_EQ(dev.queryUntilAnswered(0), "b*");
    EXPECT_NE(dev.log().find("upload stalled after"), std::string::npos);

    // Sizes larger than the memories are refused.
    dev.send(ESC + "{b" + bytes({0xFF, 0xFF, 0xFF, 0xFF}) + std::string(500, 'x'));
    EXPECT_EQ(dev.queryUntilAnswered(0), "b*");
    dev.send(ESC + "{300F" + bytes({0xFF, 0xFF}) + std::string(500, 'x'));
    EXPECT_EQ(dev.queryUntilAnswered(300), "0*");
    const std::string log = dev.log();
    EXPECT_NE(log.find("exceeds the picture memory"), std::string::npos);
    EXPECT_NE(log.find("exceeds the font memory"), std::string::npos);

    // Garbage escapes: overlong arguments, control bytes inside sequences,
    // and random bytes with many ESCs.
    dev.send(ESC + "{" + std::string(200, '9') + "q" + ESC + "[" + std::string(100, ';') + "H" + ESC + "{1\x01q" +
             ESC + ESC + ESC + "[");
    std::mt19937 rng(7);
    std::string garbage;
    for (int i = 0; i < 4000; ++i) garbage += static_cast<char>(rng() % 5 == 0 ? 0x1B : rng() & 0xFF);
    dev.send(garbage);
    EXPECT_EQ(dev.queryUntilAnswered(0), "b*");
    EXPECT_TRUE(dev.alive());
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, AcknowledgesEachTextLineAndNothingElse)
{
    DevsimProcess dev(shippedProfile("display.ini"));
    dev.open();
    dev.expect("ready\r\n");

    // One acknowledgement per CR, empty lines included; LF alone is none.
    dev.send("10 PRINT \"HI\"\r");
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send("a\rb\n\r\nc\n");
    EXPECT_EQ(dev.readFor(300ms), "\x06\x06");

    // In order with the replies; a CR inside an escape sequence is no line end,
    // and the bytes of a picture (all CRs here) are data, not text.
    dev.send("x\r" + ESC + "{0q" + ESC + "{1\rq");
    EXPECT_EQ(dev.readBytes(3), "\x06" "b*");
    dev.send(ESC + "{b" + bytes({0, 2, 0, 2}) + std::string(12, '\r') + ESC + "{20q");
    EXPECT_EQ(dev.readBytes(2), "f*");
    EXPECT_EQ(dev.readFor(200ms), "");
    EXPECT_TRUE(fileExists(dev.out("screen-picture-001.qxp")));
    EXPECT_EQ(dev.stop(), 0);

    // Echoed text comes first; another acknowledgement character may be chosen.
    DevsimProcess echo("[Device]\nEcho=1\nLineAck=62\n");
    echo.open();
    echo.send("ab\r");
    EXPECT_EQ(echo.readBytes(4), "ab\r>");
    EXPECT_EQ(echo.stop(), 0);
}

TEST(DevsimCommands, FlashCommandsPastTheLastBlockAndTouchPoints)
{
    const std::string profile = "[Flash]\nBlocks=10\nTypes=8:b,9:m\n[Touch]\nPoints=1:2, 300:4\n";
    {
        // By default a block past the last one is not answered, like a device
        // that stops answering there.
        DevsimProcess dev(profile);
        dev.open();
        dev.send(ESC + "{9q" + ESC + "{10q" + ESC + "{10r" + ESC + "{10 2E");
        EXPECT_EQ(dev.readFor(300ms), "m*");
        EXPECT_EQ(dev.stop(), 0);
    }
    DevsimProcess dev(profile + "[Flash]\nOutOfRange=x\n");
    dev.open();
    dev.send(ESC + "{10q" + ESC + "{123r" + ESC + "{10 2E");
    EXPECT_EQ(dev.readBytes(4), "x***");
    // An erase that runs past the end erases up to the last block.
    dev.send(ESC + "{8 5E" + ESC + "{8q" + ESC + "{9q" + ESC + "{7q");
    EXPECT_EQ(dev.readBytes(7), "*0*0*0*");
    // Touch requests take the listed points in turn, then start again.
    dev.send(ESC + "[l" + ESC + "[l" + ESC + "[l");
    EXPECT_EQ(dev.expect("1,2*300,4*1,2*"), "1,2*300,4*1,2*");
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimCommands, BlockTransferTestStartedByTextOrRefusedByProfile)
{
    // The trigger text starts the test after its delay; a line typed meanwhile
    // is acknowledged before the "D". Data bytes that are CRs are not lines.
    DevsimProcess dev(shippedProfile("asi.ini"));
    dev.open();
    dev.send("!test\r");
    EXPECT_EQ(dev.readBytes(2), "\x06" "D");
    dev.send(bytes({0, 0, 0, 50}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    const std::string data = std::string(25, 'a') + std::string(25, '\r');
    dev.send(data);
    dev.send(ESC + "{0q");
    EXPECT_EQ(dev.readBytes(2), "f>");
    EXPECT_EQ(readFile(dev.out("block-transfer-001.bin")), data);
    EXPECT_EQ(dev.stop(), 0);

    // A device set to refuse answers NAK to a length that fits, and drops the
    // data that the sender writes all the same.
    DevsimProcess nak(shippedProfile("asi.ini") + "\n[BlockTest]\nAnswer=nak\n");
    nak.open();
    nak.signal(SIGUSR2);
    EXPECT_EQ(nak.readBytes(1), "D");
    nak.send(bytes({0, 0, 0, 50}));
    EXPECT_EQ(nak.readBytes(1), "\x15");
    nak.send(std::string(50, '\r'));
    nak.send(ESC + "{0q");
    EXPECT_EQ(nak.readBytes(2), "f>");
    EXPECT_FALSE(fileExists(nak.out("block-transfer-001.bin")));
    EXPECT_NE(nak.log().find("refused with NAK (the profile refuses every block)"), std::string::npos);
    EXPECT_EQ(nak.stop(), 0);
}
