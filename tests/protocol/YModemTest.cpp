// YMODEM and YMODEM-G: block 0 and received names, batches against lrzsz (sb, rb) and between our
// own ends, a sender and a receiver on the wire against a scripted peer, and a disk that fills up.
#include "VaCrc16.h"
#include "XferTestUtil.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace VaXModem;

namespace {

const Bytes kCanCan = {CAN, CAN};

// A CRC frame of number holding data, padded with zeros to 128 or 1024 bytes.
Bytes Frame(uint32_t number, Bytes data, size_t size = 0)
{
    if (size == 0)
        size = data.size() <= 128 ? 128 : 1024;
    data.resize(size, 0);
    Bytes f = {size == 128 ? SOH : STX, static_cast<uint8_t>(number), static_cast<uint8_t>(255 - (number & 0xFF))};
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t c = VaCrc16(data.data(), data.size());
    f.push_back(static_cast<uint8_t>(c >> 8));
    f.push_back(static_cast<uint8_t>(c));
    return f;
}

// Block 0 with this text (name, NUL, information).
Bytes Header(const std::string& text, size_t size = 0)
{
    return Frame(0, Bytes(text.begin(), text.end()), size);
}

int64_t MtimeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

void SetMtime(const std::string& path, int64_t seconds)
{
    const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Files of these sizes, named f<size>.bin, in dir, each with its own modification time.
struct Batch {
    std::vector<std::string> names;
    std::vector<Bytes> contents;
    std::vector<int64_t> mtimes;

    Batch(const std::string& dir, const std::vector<size_t>& sizes)
    {
        for (size_t i = 0; i < sizes.size(); ++i) {
            names.push_back("f" + std::to_string(sizes[i]) + ".bin");
            contents.push_back(RandomBytes(sizes[i], static_cast<uint32_t>(sizes[i] + 5)));
            mtimes.push_back(1500000000 + static_cast<int64_t>(i) * 86400);
            WriteFileBytes(dir + "/" + names[i], contents[i]);
            SetMtime(dir + "/" + names[i], mtimes[i]);
        }
    }

    std::vector<std::string> Paths(const std::string& dir) const
    {
        std::vector<std::string> paths;
        for (const auto& n : names)
            paths.push_back(dir + "/" + n);
        return paths;
    }

    // The folder holds exactly these files, byte for byte, with their times.
    void ExpectIn(const std::string& dir) const
    {
        std::vector<std::pair<std::string, Bytes>> expected;
        for (size_t i = 0; i < names.size(); ++i)
            expected.emplace_back(names[i], contents[i]);
        std::sort(expected.begin(), expected.end());
        const auto got = FolderFiles(dir);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].first, expected[i].first);
            EXPECT_TRUE(got[i].second == expected[i].second) << got[i].first << ": " << got[i].second.size()
                                                             << " bytes, " << expected[i].second.size() << " sent";
        }
        for (size_t i = 0; i < names.size(); ++i)
            EXPECT_EQ(MtimeOf(dir + "/" + names[i]), mtimes[i]) << names[i];
    }
};

const std::vector<size_t> kSizes = {0, 1, 127, 128, 1023, 1024, 1025, 100000};

} // namespace

// ---- Block 0 and names -------------------------------------------------------------------------------

TEST(YModemHeader, WrittenAsLrzszDoesAndReadBack)
{
    uint8_t block[1024] = {};
    ASSERT_EQ(VaYModem::BuildHeader("a.bin", 1500, 01234567, 0100644, 2, 1502, block), 128);
    EXPECT_STREQ(reinterpret_cast<const char*>(block), "a.bin");
    EXPECT_STREQ(reinterpret_cast<const char*>(block) + 6, "1500 1234567 100644 0 2 1502");
    VaYModem::THeader h;
    ASSERT_TRUE(VaYModem::ParseHeader(block, 128, h));
    EXPECT_EQ(h.name, "a.bin");
    EXPECT_EQ(h.size, 1500);
    EXPECT_EQ(h.mtime, 01234567);
    EXPECT_EQ(h.mode, 0100644u);

    // A long name needs a 1024-byte block 0.
    std::memset(block, 0, sizeof block);
    EXPECT_EQ(VaYModem::BuildHeader(std::string(200, 'n'), 1, 0, 0, 1, 1, block), 1024);

    auto parse = [&](const std::string& text, VaYModem::THeader& out) {
        Bytes b(text.begin(), text.end());
        b.resize(128, 0);
        return VaYModem::ParseHeader(b.data(), 128, out);
    };
    // Only the name: the size is not known. An empty name ends the batch.
    ASSERT_TRUE(parse(std::string("x", 2), h));
    EXPECT_EQ(h.size, -1);
    ASSERT_TRUE(parse(std::string(4, '\0'), h));
    EXPECT_TRUE(h.name.empty());
    // A time that is no octal number is left out; a size that is no number is refused.
    ASSERT_TRUE(parse(std::string("x\0" "12 99", 8), h));
    EXPECT_EQ(h.size, 12);
    EXPECT_EQ(h.mtime, 0);
    EXPECT_FALSE(parse(std::string("x\0" "12x", 6), h));
    EXPECT_FALSE(parse(std::string("x\0" "-5", 5), h));
    EXPECT_FALSE(parse(std::string("x\0" "99999999999999999999", 22), h));
    // No NUL after the name.
    const Bytes full(128, 'a');
    EXPECT_FALSE(VaYModem::ParseHeader(full.data(), 128, h));
}

TEST(YModemHeader, StoredNames)
{
    using VaYModem::StoredName;
    EXPECT_EQ(StoredName("file.txt"), "file.txt");
    EXPECT_EQ(StoredName("dir/sub/file.txt"), "file.txt");
    EXPECT_EQ(StoredName("../../etc/passwd"), "passwd");
    EXPECT_EQ(StoredName("C:\\firmware\\app.bin"), "app.bin");
    EXPECT_EQ(StoredName(".hidden"), ".hidden");
    EXPECT_EQ(StoredName(std::string(242, 'a')), std::string(242, 'a'));
    const std::vector<std::string> refused = {"",           ".",   "..", "dir/", "dir/..", "a\tb", "a\x01", "a\x7f",
                                              "line\nbreak", std::string(243, 'a'), std::string(2000, 'a')};
    for (const std::string& bad : refused)
        EXPECT_EQ(StoredName(bad), "") << bad.size() << " characters";
}

// ---- Against lrzsz -----------------------------------------------------------------------------------

enum class Pairing { SbToOurs, Sb1kToOurs, SbToOursG, OursToRb };

struct InteropCase {
    Pairing pairing;
    std::vector<size_t> sizes;
    const char* name;
};

void PrintTo(const InteropCase& c, std::ostream* out)
{
    *out << c.name;
}

class YModemInterop : public ::testing::TestWithParam<InteropCase> {};

TEST_P(YModemInterop, BatchArrivesWithNamesSizesAndTimes)
{
    const InteropCase& c = GetParam();
    TempDir dir;
    std::filesystem::create_directory(dir.File("src"));
    std::filesystem::create_directory(dir.File("dst"));
    const Batch batch(dir.File("src"), c.sizes);
    Pty pty;
    YEnd end(pty.SlavePath());
    // lrzsz sits on a socket joined to our pty by a relay: on the pty itself rb eats its last
    // answer as it exits, and sb's line settings (XON/XOFF for streaming) would apply to our end
    // of the pty too, which a serial line does not do.
    SocketPair sp;
    Relay relay(pty.Master(), sp.fd[0]);
    if (c.pairing == Pairing::OursToRb) {
        end.Send(batch.Paths(dir.File("src")));
        Child rb({"rb"}, sp.fd[1], dir.File("dst"));
        ASSERT_TRUE(ServeUntil([&] { return end.Done() && rb.Exited(); }, 60000));
        EXPECT_EQ(rb.Status(), 0);
    } else {
        std::vector<std::string> args = {"sb"};
        if (c.pairing == Pairing::Sb1kToOurs)
            args.push_back("-k");
        args.insert(args.end(), batch.names.begin(), batch.names.end());
        Child sb(args, sp.fd[1], dir.File("src"));
        end.Receive(dir.File("dst"), c.pairing == Pairing::SbToOursG ? TVaYProtocol::YModemG : TVaYProtocol::YModem);
        EXPECT_TRUE(ServeUntil([&] { return end.Done() && sb.Exited(); }, 60000))
            << "ended: " << end.Done() << " with " << end.exitCode << " after " << end.fileEnds.size() << " files";
        EXPECT_EQ(sb.Status(), 0);
    }
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    for (const auto& [code, count] : end.errors)
        ADD_FAILURE() << "error " << code << " (" << count << ")";
    for (const auto& f : end.fileEnds)
        if (f.code != 0)
            ADD_FAILURE() << f.name << ": " << f.bytes << " bytes, " << f.code;
    batch.ExpectIn(dir.File("dst"));
    ASSERT_EQ(end.fileEnds.size(), c.sizes.size());
    for (size_t i = 0; i < c.sizes.size(); ++i) {
        EXPECT_EQ(end.fileEnds[i].code, 0);
        EXPECT_EQ(end.fileEnds[i].bytes, static_cast<int64_t>(c.sizes[i]));
        const std::string folder = c.pairing == Pairing::OursToRb ? "src" : "dst";
        EXPECT_EQ(end.fileEnds[i].name, dir.File(folder) + "/" + batch.names[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lrzsz, YModemInterop,
    ::testing::Values(InteropCase{Pairing::SbToOurs, kSizes, "SbToOurs_Batch"},
                      InteropCase{Pairing::SbToOurs, {1025}, "SbToOurs_Single"},
                      InteropCase{Pairing::Sb1kToOurs, kSizes, "Sb1kToOurs_Batch"},
                      InteropCase{Pairing::SbToOursG, kSizes, "SbToOursG_Batch"},
                      InteropCase{Pairing::OursToRb, kSizes, "OursToRb_Batch"},
                      InteropCase{Pairing::OursToRb, {1025}, "OursToRb_Single"}),
    [](const ::testing::TestParamInfo<InteropCase>& info) { return std::string(info.param.name); });

// lrzsz's rb cannot stream, so YMODEM-G runs between our own two ends, joined by a paced relay (G
// has no flow control). A file of the batch's name in the folder is kept.
class YModemOwnEnds : public ::testing::TestWithParam<TVaYProtocol> {};

TEST_P(YModemOwnEnds, BatchArrivesBesideAnExistingFile)
{
    TempDir dir;
    std::filesystem::create_directory(dir.File("src"));
    std::filesystem::create_directory(dir.File("dst"));
    const Batch batch(dir.File("src"), {3000, 0, 40000});
    WriteFileBytes(dir.File("dst/f0.bin"), {1, 2, 3});
    Pty a, b;
    YEnd sender(a.SlavePath());
    YEnd receiver(b.SlavePath());
    Faults line;
    line.bytesPerSecond = 200000;
    Relay relay(a.Master(), b.Master(), line, line);
    sender.Send(batch.Paths(dir.File("src")));
    receiver.Receive(dir.File("dst"), GetParam());
    ASSERT_TRUE(ServeUntil([&] { return sender.Done() && receiver.Done(); }, 60000));
    EXPECT_EQ(sender.exitCode, VaCode::Completed);
    EXPECT_EQ(receiver.exitCode, VaCode::Completed);
    EXPECT_TRUE(sender.errors.empty());
    EXPECT_TRUE(receiver.errors.empty());
    EXPECT_EQ(ReadFileBytes(dir.File("dst/f0.bin")), (Bytes{1, 2, 3}));
    EXPECT_EQ(ReadFileBytes(dir.File("dst/f0-1.bin")), Bytes{});
    EXPECT_EQ(ReadFileBytes(dir.File("dst/f3000.bin")), batch.contents[0]);
    EXPECT_EQ(ReadFileBytes(dir.File("dst/f40000.bin")), batch.contents[2]);
    EXPECT_EQ(MtimeOf(dir.File("dst/f40000.bin")), batch.mtimes[2]);
    ASSERT_EQ(receiver.fileEnds.size(), 3u);
    EXPECT_EQ(receiver.fileEnds[1].name, dir.File("dst/f0-1.bin"));
    EXPECT_EQ(FolderFiles(dir.File("dst")).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Modes, YModemOwnEnds, ::testing::Values(TVaYProtocol::YModem, TVaYProtocol::YModemG),
                         [](const auto& info) {
                             return std::string(info.param == TVaYProtocol::YModemG ? "G" : "Plain");
                         });

// ---- Our sender on the wire --------------------------------------------------------------------------

TEST(YModemSender, HeaderShortTailConfirmedEotAndTheEnd)
{
    TempDir dir;
    const Bytes data = RandomBytes(1500, 3);
    WriteFileBytes(dir.File("a.bin"), data);
    SetMtime(dir.File("a.bin"), 01234567);
    WriteFileBytes(dir.File("empty"), {});
    Pty pty;
    YEnd end(pty.SlavePath());
    end.Send({dir.File("a.bin"), dir.File("empty")});
    EXPECT_TRUE(RunWithPeer(end, [&] {
        pty.Write(Bytes{CRC_START});
        uint8_t info[128] = {};
        VaYModem::BuildHeader("a.bin", 1500, 01234567, 0100644, 2, 1500, info);
        Bytes header = pty.Read(133);
        ASSERT_EQ(header.size(), 133u);
        // The mode is the file's own; the rest is as lrzsz writes it.
        EXPECT_EQ(std::string(reinterpret_cast<char*>(header.data()) + 3, 19),
                  std::string(reinterpret_cast<char*>(info), 19));
        pty.Write(Bytes{ACK, CRC_START});
        // 1024 bytes, then the 476 left in 128-byte blocks.
        EXPECT_EQ(pty.Read(1029), Frame(1, Bytes(data.begin(), data.begin() + 1024)));
        pty.Write(Bytes{ACK});
        for (uint32_t n = 2; n <= 5; ++n) {
            const size_t from = 1024 + (n - 2) * 128;
            EXPECT_EQ(pty.Read(133), Frame(n, Bytes(data.begin() + from, data.begin() + std::min<size_t>(from + 128, 1500)), 128))
                << "block " << n;
            pty.Write(Bytes{ACK});
        }
        // A receiver that has the end confirmed: NAK, then ACK.
        EXPECT_EQ(pty.Read(1), Bytes{EOT});
        pty.Write(Bytes{NAK});
        EXPECT_EQ(pty.Read(1), Bytes{EOT});
        pty.Write(Bytes{ACK, CRC_START});
        // An empty file is announced and ended at once. Its header's answer is lost: the request
        // for the data stands for it.
        const Bytes second = pty.Read(133);
        ASSERT_EQ(second.size(), 133u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(second.data()) + 3), "empty");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(second.data()) + 9, 2), "0 ");
        pty.Write(Bytes{CRC_START});
        EXPECT_EQ(pty.Read(1), Bytes{EOT});
        pty.Write(Bytes{ACK, CRC_START});
        EXPECT_EQ(pty.Read(133), Header(""));
        pty.Write(Bytes{ACK});
    }));
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    EXPECT_TRUE(end.errors.empty());
    ASSERT_EQ(end.fileEnds.size(), 2u);
    EXPECT_EQ(end.fileEnds[0].bytes, 1500);
    EXPECT_EQ(end.fileEnds[1].bytes, 0);
    ASSERT_EQ(end.packets.size(), 5u);
    EXPECT_EQ(end.packets.back(), std::make_pair(5, int64_t{1500}));
}

TEST(YModemSender, MissingFileAndCancelBetweenFiles)
{
    // The second file cannot be opened: the first one has been sent whole, the transfer ends -12.
    TempDir dir;
    WriteFileBytes(dir.File("a.bin"), Bytes(10, 1));
    Pty pty;
    YEnd end(pty.SlavePath());
    for (const bool missing : {true, false}) {
        end.ends = 0;
        end.fileEnds.clear();
        end.Send({dir.File("a.bin"), missing ? dir.File("gone.bin") : dir.File("a.bin")});
        EXPECT_TRUE(RunWithPeer(end, [&] {
            pty.Write(Bytes{CRC_START});
            EXPECT_EQ(pty.Read(133).size(), 133u);
            pty.Write(Bytes{ACK, CRC_START});
            EXPECT_EQ(pty.Read(133), Frame(1, Bytes(10, 1)));
            pty.Write(Bytes{ACK});
            EXPECT_EQ(pty.Read(1), Bytes{EOT});
            pty.Write(Bytes{ACK});
            if (missing) {
                EXPECT_EQ(pty.Read(2), kCanCan);
            } else {
                pty.Write(kCanCan); // the receiver gives up before the second file
                EXPECT_TRUE(pty.Read(1, 300).empty());
            }
        }));
        EXPECT_EQ(end.exitCode, missing ? VaCode::OpenFailed : VaCode::PeerCancelled);
        ASSERT_GE(end.fileEnds.size(), 1u);
        EXPECT_EQ(end.fileEnds[0].code, 0);
        if (!missing) {
            ASSERT_EQ(end.fileEnds.size(), 2u);
            EXPECT_EQ(end.fileEnds[1].code, VaCode::PeerCancelled);
        }
    }
}

// ---- Our receiver on the wire ------------------------------------------------------------------------

namespace {

// Our receiver on a pty with a scripted sender; the folder is dst/ of a fresh directory.
struct ScriptedReceive {
    TempDir dir;
    Pty pty;
    YEnd end{pty.SlavePath()};
    std::string folder = dir.File("dst");

    ScriptedReceive() { std::filesystem::create_directory(folder); }

    void Run(const std::function<void()>& script, int timeoutMs = 2000, int maxErrors = 10)
    {
        end.ends = 0;
        end.fileEnds.clear();
        end.errors.clear();
        end.Receive(folder, TVaYProtocol::YModem, timeoutMs, maxErrors);
        EXPECT_TRUE(RunWithPeer(end, [&] {
            EXPECT_EQ(pty.Read(1), Bytes{CRC_START});
            script();
        }));
    }
    // One file from its header on, with the answers checked; the EOT is answered ACK, C.
    void SendFile(const std::string& info, const Bytes& data)
    {
        pty.Write(Header(info));
        EXPECT_EQ(pty.Read(2), (Bytes{ACK, CRC_START}));
        for (size_t at = 0, n = 1; at < data.size(); at += 1024, ++n) {
            pty.Write(Frame(static_cast<uint32_t>(n), Bytes(data.begin() + at, data.begin() + std::min(at + 1024, data.size())), 1024));
            EXPECT_EQ(pty.Read(1), Bytes{ACK});
        }
        pty.Write(Bytes{EOT});
        EXPECT_EQ(pty.Read(2), (Bytes{ACK, CRC_START}));
    }
    std::vector<std::pair<std::string, Bytes>> Files() const { return FolderFiles(folder); }
};

std::string Info(const std::string& name, const std::string& rest)
{
    return name + std::string(1, '\0') + rest;
}

} // namespace

TEST(YModemReceiver, RepeatedHeaderAndEndAreAnsweredAgain)
{
    // Our answers are lost: the sender repeats block 0, and later the EOT; both are answered
    // again, nothing is written twice, and a path in the name stays out of the picture.
    ScriptedReceive r;
    const Bytes data = RandomBytes(2000, 1);
    r.Run([&] {
        r.pty.Write(Header(Info("../up/x.bin", "2000 13603256645 100644")));
        EXPECT_EQ(r.pty.Read(2), (Bytes{ACK, CRC_START}));
        r.pty.Write(Header(Info("../up/x.bin", "2000 13603256645 100644")));
        EXPECT_EQ(r.pty.Read(2), (Bytes{ACK, CRC_START}));
        r.pty.Write(Frame(1, Bytes(data.begin(), data.begin() + 1024)));
        EXPECT_EQ(r.pty.Read(1), Bytes{ACK});
        r.pty.Write(Frame(2, Bytes(data.begin() + 1024, data.end())));
        EXPECT_EQ(r.pty.Read(1), Bytes{ACK});
        r.pty.Write(Bytes{EOT});
        EXPECT_EQ(r.pty.Read(2), (Bytes{ACK, CRC_START}));
        r.pty.Write(Bytes{EOT});
        EXPECT_EQ(r.pty.Read(2), (Bytes{ACK, CRC_START}));
        r.pty.Write(Header(""));
        EXPECT_EQ(r.pty.Read(1), Bytes{ACK});
    });
    EXPECT_EQ(r.end.exitCode, VaCode::Completed);
    EXPECT_TRUE(r.end.errors.empty());
    const auto files = r.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].first, "x.bin");
    EXPECT_TRUE(files[0].second == data);
    EXPECT_EQ(MtimeOf(r.folder + "/x.bin"), 013603256645);
    EXPECT_FALSE(std::filesystem::exists(r.dir.File("up")));
    EXPECT_EQ(r.end.fileInfoName, r.folder + "/x.bin");
    EXPECT_EQ(r.end.fileInfoSize, 2000);
}

TEST(YModemReceiver, BadHeadersEndTheBatchAndKeepWhatCompleted)
{
    // Each run: a good first file, then a bad block 0. The first file stays; nothing else is
    // written; the sender hears the cancel.
    ScriptedReceive r;
    const Bytes good = RandomBytes(1500, 2);
    const std::vector<std::pair<const char*, Bytes>> bad = {
        {"no NUL", Header(std::string(128, 'a'))},
        {"a long name without NUL", Header(std::string(1024, 'a'))},
        {"size not a number", Header(Info("b.bin", "12x"))},
        {"control character", Header(Info("b\x1b[2J.bin", "5"))},
        {"the parent folder", Header(Info("..", "5"))},
        {"a name of 1000 characters", Header(Info(std::string(1000, 'n'), "5"), 1024)},
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        r.Run([&] {
            r.SendFile(Info("good" + std::to_string(i), "1500"), good);
            r.pty.Write(bad[i].second);
            EXPECT_EQ(r.pty.Read(2), kCanCan) << bad[i].first;
        });
        EXPECT_EQ(r.end.exitCode, VaCode::ProtocolFailure) << bad[i].first;
        ASSERT_EQ(r.end.fileEnds.size(), 1u) << bad[i].first;
        EXPECT_EQ(r.end.fileEnds[0].code, 0);
    }
    const auto files = r.Files();
    ASSERT_EQ(files.size(), bad.size());
    for (const auto& [name, content] : files) {
        EXPECT_EQ(name.rfind("good", 0), 0u) << name;
        EXPECT_TRUE(content == good) << name;
    }
}

TEST(YModemReceiver, ShortFileStopAfterHeaderAndCancelKeepPartialFiles)
{
    // 0: the data ends before the announced size; 1: the sender falls silent after block 0;
    // 2: the sender cancels in the middle of the second file. The first file of each batch stays
    // whole under its name, the interrupted one only under its partial name.
    ScriptedReceive r;
    const Bytes first = RandomBytes(100, 3);
    for (int run = 0; run < 3; ++run) {
        const std::string name = "second" + std::to_string(run) + ".bin";
        r.Run(
            [&] {
                r.SendFile(Info("first" + std::to_string(run) + ".bin", "100"), first);
                r.pty.Write(Header(Info(name, "3000")));
                EXPECT_EQ(r.pty.Read(2), (Bytes{ACK, CRC_START}));
                if (run == 1)
                    return; // silence: the receiver gives up after its errors
                r.pty.Write(Frame(1, Bytes(1024, 7)));
                EXPECT_EQ(r.pty.Read(1), Bytes{ACK});
                if (run == 0) {
                    r.pty.Write(Bytes{EOT});
                    EXPECT_EQ(r.pty.Read(2), kCanCan);
                } else {
                    r.pty.Write(kCanCan);
                }
            },
            100, 3);
        const int expected[] = {VaCode::ProtocolFailure, VaCode::TooManyErrors, VaCode::PeerCancelled};
        EXPECT_EQ(r.end.exitCode, expected[run]) << "run " << run;
        EXPECT_EQ(ReadFileBytes(r.folder + "/first" + std::to_string(run) + ".bin"), first);
        EXPECT_FALSE(std::filesystem::exists(r.folder + "/" + name));
        EXPECT_EQ(ReadFileBytes(r.folder + "/" + name + ".part"), run == 1 ? Bytes{} : Bytes(1024, 7));
        ASSERT_EQ(r.end.fileEnds.size(), 2u);
        EXPECT_EQ(r.end.fileEnds[1].name, r.folder + "/" + name + ".part");
        EXPECT_EQ(r.end.fileEnds[1].code, expected[run]);
    }
    EXPECT_EQ(r.Files().size(), 6u);
}

// ---- A full disk ------------------------------------------------------------------------------------

TEST(YModemReceiver, FullDiskEndsWithWriteFailureAndKeepsTheFilesBefore)
{
    // A file-size limit stands in for a full disk: writing past it fails (with the signal that
    // would end the process ignored). sb sends a small file, then one over the limit.
    TempDir dir;
    std::filesystem::create_directory(dir.File("src"));
    std::filesystem::create_directory(dir.File("dst"));
    const Batch batch(dir.File("src"), {3000, 40000});
    Pty pty;
    YEnd end(pty.SlavePath());
    SocketPair sp;
    Relay relay(pty.Master(), sp.fd[0]);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit limited = saved;
    limited.rlim_cur = 20000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    {
        Child sb({"sb", "-k", batch.names[0], batch.names[1]}, sp.fd[1], dir.File("src"));
        end.Receive(dir.File("dst"));
        // sb answers our cancel only by sending its EOT again after its own time-outs.
        EXPECT_TRUE(ServeUntil([&] { return end.Done(); }, 60000));
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);
    EXPECT_EQ(end.exitCode, VaCode::FileWriteFailed);
    EXPECT_EQ(ReadFileBytes(dir.File("dst/f3000.bin")), batch.contents[0]);
    EXPECT_FALSE(std::filesystem::exists(dir.File("dst/f40000.bin")));
    const Bytes partial = ReadFileBytes(dir.File("dst/f40000.bin.part"));
    EXPECT_EQ(partial.size(), 20000u);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), batch.contents[1].begin()));
    ASSERT_EQ(end.fileEnds.size(), 2u);
    EXPECT_EQ(end.fileEnds[0].code, 0);
    EXPECT_EQ(end.fileEnds[1].code, VaCode::FileWriteFailed);
}

// ---- qx-xmodem -------------------------------------------------------------------------------------

TEST(QxXmodemTool, YModemBatchBothWaysWithEachOutcome)
{
    TempDir dir;
    for (const char* sub : {"src", "dst", "back"})
        std::filesystem::create_directory(dir.File(sub));
    const Batch batch(dir.File("src"), {5000, 1, 0});
    const std::string log = dir.File("log.txt");
    auto tool = [&](const std::string& args) {
        return std::vector<std::string>{"sh", "-c", std::string("exec ") + QX_XMODEM_EXE + " " + args + " 2>" + log};
    };
    auto readLog = [&] {
        const Bytes text = ReadFileBytes(log);
        return std::string(text.begin(), text.end());
    };
    for (const bool receive : {true, false}) {
        Pty pty;
        SocketPair sp;
        Relay relay(pty.Master(), sp.fd[0]);
        std::optional<Child> peer;
        std::optional<Child> ours;
        if (receive) {
            peer.emplace(std::vector<std::string>{"sb", "f5000.bin", "f1.bin", "f0.bin"}, sp.fd[1], dir.File("src"));
            ours.emplace(tool("receive --protocol ymodem " + pty.SlavePath() + " dst"), sp.fd[1], dir.Path());
        } else {
            ours.emplace(tool("send --protocol ymodem " + pty.SlavePath() + " src/f5000.bin src/f1.bin src/f0.bin"),
                         sp.fd[1], dir.Path());
            peer.emplace(std::vector<std::string>{"rb"}, sp.fd[1], dir.File("back"));
        }
        ASSERT_TRUE(ServeUntil([&] { return ours->Exited() && peer->Exited(); }, 60000));
        EXPECT_EQ(ours->Status(), 0) << readLog();
        EXPECT_EQ(peer->Status(), 0);
        batch.ExpectIn(dir.File(receive ? "dst" : "back"));
        const std::string out = readLog();
        for (const char* line : {"d f5000.bin (5000 bytes)\n", "d f1.bin (1 bytes)\n", "d f0.bin (0 bytes)\n"})
            EXPECT_NE(out.find(std::string(receive ? "received dst/" : "sent src/") + (line + 2)), std::string::npos)
                << out;
        EXPECT_NE(out.find("exit code 0: transfer completed"), std::string::npos) << out;
    }
    // A receive folder that is not one, or a file to send that is not there, is refused before
    // anything is sent.
    Pty pty;
    for (const std::string& args : {"receive --protocol ymodem " + pty.SlavePath() + " src/f1.bin",
                                    "send --protocol ymodem " + pty.SlavePath() + " src/f1.bin src/gone.bin"}) {
        Child bad(tool(args), pty.Master(), dir.Path());
        ASSERT_TRUE(ServeUntil([&] { return bad.Exited(); }, 20000));
        EXPECT_EQ(bad.Status(), 2);
        EXPECT_TRUE(readLog().find("is not a folder") != std::string::npos ||
                    readLog().find("cannot read src/gone.bin") != std::string::npos)
            << readLog();
        EXPECT_TRUE(pty.Read(1, 100).empty());
    }
}

TEST(QxXmodemTool, WaitsForAPortPluggedInLater)
{
    TempDir dir;
    std::filesystem::create_directory(dir.File("src"));
    const Batch batch(dir.File("src"), {3000});
    const std::string log = dir.File("log.txt");
    const std::string link = dir.File("board");
    auto readLog = [&] {
        const Bytes text = ReadFileBytes(log);
        return std::string(text.begin(), text.end());
    };
    // The log grows without a hand-over to wake a serving wait: looked at every few milliseconds.
    auto eventually = [](const std::function<bool()>& done) {
        for (int i = 0; i < 2000 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    };
    auto tool = [&](const std::string& args) {
        return std::vector<std::string>{"sh", "-c", std::string("exec ") + QX_XMODEM_EXE + " " + args + " 2>" + log};
    };
    // Started before the board is there, it says that it waits; once the board is plugged in it
    // opens it and answers the receiver's first request with the batch's first block.
    Pty pty;
    Child ours(tool("send --protocol ymodem --wait 60 " + link + " src/f3000.bin"), pty.Master(), dir.Path());
    ASSERT_TRUE(eventually([&] { return readLog().find("waiting up to 60 s for " + link) != std::string::npos; }))
        << readLog();
    EXPECT_FALSE(ours.Exited());
    std::filesystem::create_symlink(pty.SlavePath(), link);
    ASSERT_TRUE(eventually([&] { return readLog().find("sending src/f3000.bin") != std::string::npos; }))
        << readLog();
    pty.Write(std::string("C"));
    const Bytes header = pty.Read(3);
    EXPECT_EQ(header, (Bytes{0x01, 0x00, 0xFF}));
    ours.Kill();

    // A port that does not come within the wait: the port's own error.
    Child late(tool("send --wait 1 " + dir.File("none") + " src/f3000.bin"), pty.Master(), dir.Path());
    ASSERT_TRUE(eventually([&] { return late.Exited(); }));
    EXPECT_EQ(late.Status(), 2);
    EXPECT_NE(readLog().find("Specified device not found"), std::string::npos) << readLog();
}
