// The display rules, the INI layer, the value routines and the places, without a window.
#include "AtomicFile.h"
#include "IniFile.h"
#include "Places.h"
#include "Settings.h"
#include "TextSend.h"
#include "TermText.h"
#include "TermTools.h"
#include "qx_com.h"
#include "TestSupport.h"
#include "Values.h"
#include "PortAccess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Applies showTermText's pieces to a pane held as a string, the way the window does.
struct Pane {
    std::string text;
    TTermOptions options;

    void show(const std::string& chunk)
    {
        for (const auto& piece : termTextPieces(chunk)) {
            if (piece.clear) {
                text.clear();
                continue;
            }
            const TShowStep step = showTextStep(static_cast<int>(text.size()), options, piece.text);
            if (!step.shown)
                continue;
            if (step.eraseLast && !text.empty())
                text.pop_back();
            text += step.insert;
        }
    }
};

using TempDir = TTempDir;

std::string fileText(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

} // namespace

TEST(DisplayRules, ClearScreenEscapeOnlyForTheFirstEscape)
{
    Pane pane;
    pane.text = "old";
    pane.show("abc\x1b[2Jdef");
    EXPECT_EQ(pane.text, "def");
    pane.show("x\x1b[1Jy");
    EXPECT_EQ(pane.text, "y");
    // Any other sequence: the ESC is dropped and the rest shown as text.
    pane.text.clear();
    pane.show("\x1b[0m");
    EXPECT_EQ(pane.text, "[0m");
    // Only the first ESC is interpreted; a later one passes as a byte.
    pane.text.clear();
    pane.show("\x1b[0m\x1b[2J");
    EXPECT_EQ(pane.text, "[0m\x1b[2J");
}

TEST(DisplayRules, EscapeSplitAcrossChunksIsNotRecognised)
{
    Pane pane;
    pane.text = "keep";
    pane.show("ab\x1b");
    pane.show("[2Jcd");
    EXPECT_EQ(pane.text, "keepab[2Jcd");
}

TEST(DisplayRules, ControlCharactersUpToTheFirstLineCharacter)
{
    Pane pane;
    pane.options.showCtrl = true;
    pane.show("\x07");
    EXPECT_EQ(pane.text, "[07]");
    pane.text.clear();
    pane.show("A\x07\r\n\x07");
    EXPECT_EQ(pane.text, "A[07]\r\n\x07");
    pane.text.clear();
    pane.show(std::string("\x01\x1b\xff\x7f", 4));
    // The ESC here is the first one and starts a (non-clearing) sequence; the rest is converted.
    EXPECT_EQ(pane.text, "[01][FF]\x7f");
    pane.text.clear();
    pane.show(std::string("\x01\xff\x7f\x80", 4));
    EXPECT_EQ(pane.text, "[01][FF]\x7f[80]");
    // A TAB stops the conversion too.
    pane.text.clear();
    pane.show("\x02\t\x02");
    EXPECT_EQ(pane.text, "[02]\t\x02");
}

TEST(DisplayRules, Backspaces)
{
    Pane pane;
    pane.show("ab\bc");
    EXPECT_EQ(pane.text, "ac");
    pane.text = "y";
    pane.show("\bx");
    EXPECT_EQ(pane.text, "x");
    // Several backspaces at the start of one chunk erase one shown character only.
    pane.text = "123";
    pane.show("\b\b\bz");
    EXPECT_EQ(pane.text, "12z");
    // A backspace at the start with an empty pane erases nothing.
    pane.text.clear();
    pane.show("\bq");
    EXPECT_EQ(pane.text, "q");
    // Blank and backspace cancel out.
    pane.text = "end";
    pane.show(" \b");
    EXPECT_EQ(pane.text, "end");
}

TEST(DisplayRules, LineEndCompletion)
{
    Pane pane;
    pane.show("1\r2\n3\r\n");
    EXPECT_EQ(pane.text, "1\r\n2\r\n3\r\n");
    pane.text.clear();
    pane.options.addLF = false;
    pane.show("1\r2\n");
    EXPECT_EQ(pane.text, "1\r2\r\n");
    pane.text.clear();
    pane.options.addLF = true;
    pane.options.addCR = false;
    pane.show("1\r2\n");
    EXPECT_EQ(pane.text, "1\r\n2\n");
    // An LF that starts a chunk counts as bare, whatever the pane shows.
    pane.options.addCR = true;
    pane.text = "x\r";
    pane.show("\ny");
    EXPECT_EQ(pane.text, "x\r\r\ny");
}

TEST(DisplayRules, WaitCharacterHidesTextDuringASend)
{
    TTermOptions o;
    o.sendingText = true;
    o.eolChar = 6;
    EXPECT_FALSE(showTextStep(5, o, "ok\x06").shown);
    // A leading backspace does not erase anything when the text is not shown.
    EXPECT_FALSE(showTextStep(5, o, "\b\x06").eraseLast);
    EXPECT_TRUE(showTextStep(5, o, "ok").shown);
    o.sendingText = false;
    EXPECT_TRUE(showTextStep(5, o, "ok\x06").shown);
}

TEST(DisplayRules, RxBufferIsEmptiedPast2400)
{
    // What it held goes once an append takes it past 2400 characters; the new chunk stays, so a
    // reply that comes with other text is not lost.
    std::string rx(2390, 'a');
    appendRxBuffer(rx, std::string(10, 'b'));
    EXPECT_EQ(rx.size(), 2400u);
    appendRxBuffer(rx, "c");
    EXPECT_EQ(rx, "c");
    rx.assign(2390, 'a');
    appendRxBuffer(rx, std::string(20, 'b'));
    EXPECT_EQ(rx, std::string(20, 'b'));
    // A chunk longer than the limit leaves its end: a flood's batch with the reply last.
    appendRxBuffer(rx, std::string(5000, 'x') + "ok*");
    EXPECT_EQ(rx, std::string(2397, 'x') + "ok*");
}

TEST(DisplayRules, BlockEditIsItsPiecesShownInTurn)
{
    // A received block is shown in one edit of the pane; it must come out as showTermText's pieces
    // shown one after another on a pane that holds line breaks as LF.
    const auto inTurn = [](std::string pane, const TTermOptions& o, const std::string& text) {
        for (const auto& piece : termTextPieces(text)) {
            if (piece.clear) {
                pane.clear();
                continue;
            }
            const TShowStep step = showTextStep(static_cast<int>(pane.size()), o, piece.text);
            if (!step.shown)
                continue;
            if (step.eraseLast && !pane.empty())
                pane.pop_back();
            pane += paneLineBreaks(step.insert);
        }
        return pane;
    };
    const auto oneGo = [](const std::string& pane, const TTermOptions& o, const std::string& text) {
        const TPaneEdit edit = termTextEdit(static_cast<int>(pane.size()), o, text);
        return (edit.clear ? std::string() : pane.substr(0, pane.size() - static_cast<size_t>(edit.erase)))
               + edit.insert;
    };
    TTermOptions ctrl;
    ctrl.showCtrl = true;
    TTermOptions sending;
    sending.sendingText = true;
    sending.eolChar = 6;
    const struct {
        const char* pane;
        TTermOptions options;
        std::string text;
    } cases[] = {
        {"ab\n", {}, "\b\x1b\bx"},               // a backspace at the start of either piece
        {"abc", {}, "\b\x1b[0m\b\b\b"},           // the second piece erases into the first
        {"abc", {}, "q\bz\x1b[2J\bfresh\r"},       // the clear leaves the first piece nothing
        {"", {}, "1\r\n2\r\x1b\n3"},              // an LF after the ESC counts as bare
        {"x", ctrl, "\x01\x1b\x02\n\x03"},         // control bytes up to a line character, per piece
        {"x", sending, "ok\x1bmore\x06"},         // a piece with the wait character shows nothing
        {"", {}, std::string(70000, 'a') + "\b" + std::string(70000, 'b')}, // nothing cut after a BS
    };
    for (const auto& c : cases)
        EXPECT_EQ(oneGo(c.pane, c.options, c.text), inTurn(c.pane, c.options, c.text)) << c.text.substr(0, 40);
    EXPECT_EQ(oneGo("", {}, std::string(70000, 'a') + "\b" + std::string(70000, 'b')).size(), 139999u);
}

TEST(DisplayRules, PaneLineBreaks)
{
    EXPECT_EQ(paneLineBreaks("1\r2\n3\r\n4\n\r5"), "1\n2\n3\n4\n\n5");
    EXPECT_EQ(paneLineBreaks("\r"), "\n");
    EXPECT_EQ(paneLineBreaks(std::string("a\0\xff", 3)), std::string("a\0\xff", 3));
}

TEST(Stamps, AtLineStartsAndAfterAPause)
{
    TPaneEdit edit;
    edit.insert = "one\ntwo\nthr";
    edit.stampLines(true, false, "[S] ");
    EXPECT_EQ(edit.insert, "[S] one\n[S] two\n[S] thr");
    ASSERT_EQ(edit.stamps.size(), 3u);
    EXPECT_EQ(edit.insert.substr(edit.stamps[1].at, edit.stamps[1].size), "[S] ");

    // A line the pane left open goes on unstamped; a line end at the end waits for the next
    // line's first character (the next block) for its stamp.
    edit = {};
    edit.insert = "ee\n";
    edit.stampLines(false, false, "[S] ");
    EXPECT_EQ(edit.insert, "ee\n");
    EXPECT_TRUE(edit.stamps.empty());

    // After a pause an open line is ended, so a prompt's reply gets its own stamped line; a block
    // that starts with its own line end gets no empty line.
    edit = {};
    edit.insert = "ok";
    edit.stampLines(false, true, "[S] ");
    EXPECT_EQ(edit.insert, "\n[S] ok");
    edit = {};
    edit.insert = "\nok";
    edit.stampLines(false, true, "[S] ");
    EXPECT_EQ(edit.insert, "\n[S] ok");
    edit = {};
    edit.insert = "ok";
    edit.stampLines(true, true, "[S] ");
    EXPECT_EQ(edit.insert, "[S] ok");

    // Nothing received, nothing stamped; no stamp text, no change.
    edit = {};
    edit.stampLines(true, true, "[S] ");
    EXPECT_TRUE(edit.insert.empty());
    edit.insert = "a\nb";
    edit.stampLines(true, true, "");
    EXPECT_EQ(edit.insert, "a\nb");
    edit.insert = "\n\nc\n";
    edit.stampLines(true, false, "[S] ");
    EXPECT_EQ(edit.insert, "\n\n[S] c\n");
}

TEST(Stamps, ALineEndSplitOverTwoBlocks)
{
    // CR at the end of one read, LF at the start of the next: the display rules show two line
    // breaks; the empty line between them gets no stamp, the next line one.
    TTermOptions options;
    std::string pane;
    const auto receive = [&](const std::string& block) {
        TPaneEdit edit = termTextEdit(static_cast<int>(pane.size()), options, block);
        pane.resize(pane.size() - static_cast<size_t>(edit.erase));
        edit.stampLines(pane.empty() || pane.back() == '\n', false, "[S] ");
        pane += edit.insert;
    };
    receive("first\r");
    receive("\nsecond\r\n");
    receive("third");
    EXPECT_EQ(pane, "[S] first\n\n[S] second\n[S] third");
}

TEST(Stamps, Texts)
{
    EXPECT_EQ(stampText(TStampMode::timeOfDay, 0), "[00:00:00.000] ");
    EXPECT_EQ(stampText(TStampMode::timeOfDay, ((13 * 60 + 4) * 60 + 5) * 1000 + 67), "[13:04:05.067] ");
    EXPECT_EQ(stampText(TStampMode::sinceConnect, 12345), "[12.345] ");
    EXPECT_EQ(stampText(TStampMode::sinceConnect, 7), "[0.007] ");
    EXPECT_EQ(stampText(TStampMode::sinceConnect, 3600000), "[3600.000] ");
}

TEST(HexView, EveryByteValue)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    THexRows rows;
    const TPaneEdit edit = rows.add(all, "", false);
    EXPECT_EQ(edit.erase, 0);
    EXPECT_TRUE(rows.open.empty());
    std::vector<std::string> lines;
    for (size_t at = 0, lf; (lf = edit.insert.find('\n', at)) != std::string::npos; at = lf + 1)
        lines.push_back(edit.insert.substr(at, lf - at));
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[0], "00000000  00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F  ................");
    EXPECT_EQ(lines[2], "00000020  20 21 22 23 24 25 26 27  28 29 2A 2B 2C 2D 2E 2F   !\"#$%&'()*+,-./");
    EXPECT_EQ(lines[7], "00000070  70 71 72 73 74 75 76 77  78 79 7A 7B 7C 7D 7E 7F  pqrstuvwxyz{|}~.");
    EXPECT_EQ(lines[15], "000000F0  F0 F1 F2 F3 F4 F5 F6 F7  F8 F9 FA FB FC FD FE FF  ................");
    // Every byte's hex pair is in its place.
    for (int c = 0; c < 256; ++c) {
        const std::string& line = lines[static_cast<size_t>(c / 16)];
        const size_t col = 10 + static_cast<size_t>(c % 16) * 3 + (c % 16 >= 8 ? 1 : 0);
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", c);
        EXPECT_EQ(line.substr(col, 2), pair) << c;
    }
}

TEST(HexView, AnOpenRowIsDrawnAgainAsBytesCome)
{
    THexRows rows;
    TPaneEdit edit = rows.add("ABC", "[1] ", false);
    const std::string first = "[1] 00000000  41 42 43" + std::string(13 * 3 + 2, ' ') + " ABC";
    EXPECT_EQ(edit.insert, first);
    EXPECT_EQ(rows.openShown, static_cast<int>(first.size()));
    ASSERT_EQ(edit.stamps.size(), 1u);

    // The row keeps the stamp of its first byte; the next row gets the new block's.
    edit = rows.add("DEFGHIJKLMNOPQRS", "[2] ", false);
    EXPECT_EQ(edit.erase, static_cast<int>(first.size()));
    EXPECT_EQ(edit.insert.substr(0, 14), "[1] 00000000  ");
    EXPECT_NE(edit.insert.find(" ABCDEFGHIJKLMNOP\n[2] 00000010  51 52 53 "), std::string::npos);
    EXPECT_EQ(edit.stamps.size(), 2u);
    EXPECT_EQ(rows.open, "QRS");

    // After a pause the open row ends as it is; the new bytes start a row at their offset.
    edit = rows.add("T", "[3] ", true);
    EXPECT_NE(edit.insert.find(" QRS\n[3] 00000013  54 "), std::string::npos);
    EXPECT_EQ(rows.offset, 0x13u);

    // Other text after the open row in the pane: it is drawn again on a line of its own.
    rows.openShown = -1;
    edit = rows.add("U", "[4] ", false);
    EXPECT_EQ(edit.erase, 0);
    EXPECT_EQ(edit.insert.substr(0, 15), "\n[3] 00000013  ");
}

TEST(HexView, ABlockLargerThanThePaneDrawsOnlyWhatItKeeps)
{
    THexRows rows;
    rows.add("xy", "", false);
    const std::string flood(1 << 20, 'A');
    const TPaneEdit edit = rows.add(flood, "", false);
    EXPECT_TRUE(edit.clear);
    EXPECT_GE(edit.insert.size(), static_cast<size_t>(kPaneKeepChars));
    EXPECT_LT(edit.insert.size(), static_cast<size_t>(kPaneKeepChars) + 200);
    // The offsets go on from the bytes not drawn; the open row holds the last two bytes.
    EXPECT_EQ(rows.offset, (size_t{1} << 20));
    EXPECT_EQ(rows.open, "AA");
    EXPECT_NE(edit.insert.find("\n000FFFF0  41 "), std::string::npos);
    EXPECT_TRUE(edit.insert.ends_with(hexRow(0x100000, "AA")));
}

TEST(SendBox, TextEscapes)
{
    std::string out;
    std::string error;
    ASSERT_TRUE(parseSendText("AT\\r\\n", false, out, error));
    EXPECT_EQ(out, "AT\r\n");
    ASSERT_TRUE(parseSendText("a\\r\\n\\tb\\x1B\\x00\\xff\\\\z", false, out, error));
    EXPECT_EQ(out, std::string("a\r\n\tb\x1B", 6) + std::string(1, '\0') + "\xFF\\z");
    ASSERT_TRUE(parseSendText("", false, out, error));
    EXPECT_EQ(out, "");
    ASSERT_TRUE(parseSendText("plain text 1G", false, out, error));
    EXPECT_EQ(out, "plain text 1G");

    // Refusals leave nothing to send and say why.
    for (const char* bad : {"ab\\", "\\x1", "\\xG0", "\\q", "ok\\x"}) {
        out = "left";
        EXPECT_FALSE(parseSendText(bad, false, out, error)) << bad;
        EXPECT_TRUE(out.empty()) << bad;
        EXPECT_EQ(error.rfind("Not sent: ", 0), 0u) << bad;
    }
}

TEST(SendBox, HexPairs)
{
    std::string out;
    std::string error;
    ASSERT_TRUE(parseSendText("1B 5B 32 4A", true, out, error));
    EXPECT_EQ(out, "\x1B[2J");
    ASSERT_TRUE(parseSendText("  001bff\tFe ", true, out, error));
    EXPECT_EQ(out, std::string("\0\x1B\xFF\xFE", 4));
    ASSERT_TRUE(parseSendText("   ", true, out, error));
    EXPECT_EQ(out, "");

    EXPECT_FALSE(parseSendText("1B 1G", true, out, error));
    EXPECT_TRUE(out.empty());
    EXPECT_NE(error.find("\"1G\" is not hex"), std::string::npos);
    EXPECT_FALSE(parseSendText("1B 5", true, out, error));
    EXPECT_NE(error.find("\"5\" has an odd number of hex digits"), std::string::npos);
    EXPECT_FALSE(parseSendText("1B5", true, out, error));
    EXPECT_FALSE(parseSendText("0x1B", true, out, error));
    EXPECT_TRUE(out.empty());

    EXPECT_STREQ(lineEndBytes(TLineEnd::none), "");
    EXPECT_STREQ(lineEndBytes(TLineEnd::cr), "\r");
    EXPECT_STREQ(lineEndBytes(TLineEnd::lf), "\n");
    EXPECT_STREQ(lineEndBytes(TLineEnd::crLf), "\r\n");
}

TEST(TextSend, LinesOfAFile)
{
    EXPECT_EQ(textLines(":1000\r\n:2000\n\n:3000"), (std::vector<std::string>{":1000", ":2000", "", ":3000"}));
    EXPECT_EQ(textLines("a\rb\r\n"), (std::vector<std::string>{"a", "b"}));
    // A NUL byte ends the text.
    EXPECT_EQ(textLines(std::string("one\ntwo\0three\n", 14)), (std::vector<std::string>{"one", "two"}));
    EXPECT_TRUE(textLines("").empty());
}

TEST(TextSend, AutomationRowByTheLastThreeCharactersOfTheExtension)
{
    TTransferSettings s;
    EXPECT_EQ(automationStep("/x/prog.hex", s).command, "loadh");
    EXPECT_EQ(automationStep("/x/prog.hex", s).pause, 500);
    // Compared in upper case.
    EXPECT_EQ(automationStep("/x/PROG.HEX", s).command, "loadh");
    // ".c" gives ".C", which no "*.xyz" pattern matches; no extension matches nothing either.
    EXPECT_EQ(automationStep("/x/main.c", s).command, "");
    EXPECT_EQ(automationStep("/x.d/notes", s).pause, 0);
    // A later matching row replaces an earlier one.
    s.rows[3] = {"*.HEX", "again", "7"};
    EXPECT_EQ(automationStep("/x/a.hex", s).command, "again");
    EXPECT_EQ(automationStep("/x/a.hex", s).pause, 7);
    // Switched off: nothing, not even a number check.
    s.automationOn = false;
    s.rows[3].wait = "x";
    EXPECT_EQ(automationStep("/x/a.hex", s).command, "");
    s.automationOn = true;
    EXPECT_THROW(automationStep("/x/a.hex", s), EConvertError);
}

TEST(Settings, KeysAsTheStoredFilesSpellThem)
{
    TTempDir dir;
    const std::string path = dir.path() + "s.ini";
    // A file that spells the height key as the reader once did.
    writeFileAtomically(path, "[Form]\nHeightTERM=500\n[comms]\nbaud=13\n");
    TIniFile ini(path);
    TTermSettings s = TTermSettings::read(ini);
    EXPECT_EQ(s.form.height, 500);
    EXPECT_EQ(s.comms.baud, 13);
    EXPECT_EQ(s.form.width, 551);
    EXPECT_EQ(s.updateFiles, std::vector<std::string>{"none"});
    s.form.height = 480;
    s.updateFiles = {"a.bin", "b.bin"};
    s.write(ini, "stamp");
    const std::string text = fileText(path);
    // The key keeps the file's spelling; new keys are written as the program spells them.
    EXPECT_NE(text.find("HeightTERM=480\n"), std::string::npos);
    EXPECT_EQ(text.find("heightTERM"), std::string::npos);
    EXPECT_NE(text.find("widthTERM=551\n"), std::string::npos);
    EXPECT_NE(text.find("[UPDATE]\nUpdatefiles=a.bin,b.bin,\n"), std::string::npos);
    EXPECT_NE(text.find("[Date]\nLastUpdate=stamp\n"), std::string::npos);
    EXPECT_EQ(TTermSettings::read(ini).form.height, 480);

    // A fresh file gets the program's spelling, which reads back.
    const std::string fresh = dir.path() + "f.ini";
    TIniFile freshIni(fresh);
    TTermSettings{}.write(freshIni, "now");
    EXPECT_NE(fileText(fresh).find("heightTERM=436\n"), std::string::npos);

    TTransferSettings t;
    t.rows[2].wait = "9";
    t.addLF = false;
    t.write(freshIni);
    const TTransferSettings back = TTransferSettings::read(freshIni);
    EXPECT_EQ(back.rows[2].wait, "9");
    EXPECT_FALSE(back.addLF);
    EXPECT_EQ(back.rows[1].send, "loadh");
    EXPECT_NE(fileText(fresh).find("[Transfer]\nchEolChar=1\nEolChar=6\n"), std::string::npos);
}

TEST(Settings, TerminalAdditionsAndASendHistoryOfAtMost20)
{
    TTempDir dir;
    const std::string path = dir.path() + "t.ini";
    TIniFile ini(path);
    const TTerminalSettings defaults = TTerminalSettings::read(ini);
    EXPECT_EQ(defaults.stamps, 0);
    EXPECT_EQ(defaults.stampPauseMs, 500);
    EXPECT_FALSE(defaults.sendBox);
    EXPECT_EQ(defaults.sendLineEnd, 1);

    TTerminalSettings s;
    s.stamps = 2;
    s.hexView = true;
    s.sendBox = true;
    s.sendLineEnd = 3;
    s.sendHex = true;
    for (int i = 0; i < 25; ++i)
        s.sendHistory.push_back("cmd " + std::to_string(i) + " \\r");
    s.write(ini);
    TTerminalSettings back = TTerminalSettings::read(ini);
    EXPECT_EQ(back.stamps, 2);
    EXPECT_TRUE(back.hexView);
    EXPECT_TRUE(back.sendBox);
    EXPECT_EQ(back.sendLineEnd, 3);
    EXPECT_TRUE(back.sendHex);
    ASSERT_EQ(back.sendHistory.size(), 20u);
    EXPECT_EQ(back.sendHistory.front(), "cmd 5 \\r");
    EXPECT_EQ(back.sendHistory.back(), "cmd 24 \\r");

    // A shorter history written over a longer one reads back as itself.
    s.sendHistory = {"only"};
    s.write(ini);
    EXPECT_EQ(TTerminalSettings::read(ini).sendHistory, std::vector<std::string>{"only"});

    // Values out of range fall back into it.
    writeFileAtomically(path, "[Terminal]\nTimestamps=7\nSendLineEnd=-2\nStampPauseMs=0\n");
    back = TTerminalSettings::read(TIniFile(path));
    EXPECT_EQ(back.stamps, 2);
    EXPECT_EQ(back.sendLineEnd, 0);
    EXPECT_EQ(back.stampPauseMs, 1);
}

TEST(IniFile, ProfileRules)
{
    TempDir dir;
    const std::string path = dir.path() + "s.ini";
    writeFileAtomically(path, "; comment kept\r\n[Form]\r\nheightTERM = 500\r\nodd line without equals\r\n"
                              "[Other]\r\nX=\"quoted\"\r\nH=$1F\r\nI=0x10\r\nBad=12abc\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("FORM", "HeightTERM", 1), 500);
    EXPECT_EQ(ini.ReadString("other", "x", ""), "quoted");
    EXPECT_EQ(ini.ReadInteger("Other", "H", 0), 31);
    EXPECT_EQ(ini.ReadInteger("Other", "I", 0), 16);
    EXPECT_EQ(ini.ReadInteger("Other", "Bad", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Other", "Missing", -3), -3);
    EXPECT_TRUE(ini.ReadBool("Form", "heightTERM", false));

    // Writing keeps unknown lines, the key's spelling and the file's line ends.
    ini.WriteInteger("form", "HEIGHTterm", 600);
    ini.WriteString("Form", "widthTERM", "700");
    ini.WriteString("New", "Key", "v");
    const std::string text = fileText(path);
    EXPECT_NE(text.find("; comment kept\r\n"), std::string::npos);
    EXPECT_NE(text.find("odd line without equals\r\n"), std::string::npos);
    EXPECT_NE(text.find("[Form]\r\nheightTERM=600\r\nodd line without equals\r\nwidthTERM=700\r\n[Other]"),
              std::string::npos);
    EXPECT_NE(text.find("[New]\r\nKey=v\r\n"), std::string::npos);
    EXPECT_EQ(ini.ReadInteger("Form", "heightTERM", 0), 600);

    // Every read sees the file as it is now.
    writeFileAtomically(path, "[Form]\nheightTERM=1\n");
    EXPECT_EQ(ini.ReadInteger("Form", "heightTERM", 0), 1);
}

TEST(IniFile, MissingAndUnusableFiles)
{
    TempDir dir;
    TIniFile missing(dir.path() + "none.ini");
    EXPECT_EQ(missing.ReadString("A", "B", "def"), "def");
    missing.WriteString("A", "B", "c");
    EXPECT_EQ(fileText(dir.path() + "none.ini"), "[A]\nB=c\n");

    // A binary file reads as defaults and is never replaced.
    const std::string binary = dir.path() + "bin.ini";
    const std::string junk("[A]\nB=1\n\0\0\xff", 11);
    writeFileAtomically(binary, junk);
    TIniFile ini(binary);
    EXPECT_EQ(ini.ReadInteger("A", "B", 5), 5);
    EXPECT_THROW(ini.WriteString("A", "B", "2"), EIniFileError);
    EXPECT_EQ(fileText(binary), junk);

    // A folder that cannot be written: the write fails and leaves no temporary file behind.
    if (::geteuid() != 0) {
        ::chmod(dir.path().c_str(), 0555);
        EXPECT_THROW(missing.WriteString("A", "B", "d"), EIniFileError);
        ::chmod(dir.path().c_str(), 0755);
    }
    TIniFile gone(dir.path() + "no/such/folder.ini");
    EXPECT_THROW(gone.WriteString("A", "B", "c"), EIniFileError);
    int entries = 0;
    DIR* d = ::opendir(dir.path().c_str());
    while (auto* e = ::readdir(d))
        entries += e->d_name[0] != '.';
    ::closedir(d);
    EXPECT_EQ(entries, 2);
}

TEST(IniFile, TextsThatWouldBreakTheFileAreRefused)
{
    // A line break in a value would end the entry and could start a section of its own; a NUL
    // would make the whole file unreadable. Such writes fail and leave the file as it was.
    TempDir dir;
    TIniFile ini(dir.path() + "s.ini");
    ini.WriteString("Files", "Last", "a.txt");
    const std::string before = fileText(dir.path() + "s.ini");
    for (const std::string& bad : {std::string("x\n[Comms]\nPort=9"), std::string("x\ry"), std::string("x\0y", 3)}) {
        EXPECT_THROW(ini.WriteString("Files", "Last", bad), EIniFileError);
        EXPECT_THROW(ini.WriteString("Files", bad, "v"), EIniFileError);
        EXPECT_THROW(ini.WriteString(bad, "Last", "v"), EIniFileError);
    }
    EXPECT_EQ(fileText(dir.path() + "s.ini"), before);
    EXPECT_EQ(ini.ReadString("Files", "Last", ""), "a.txt");
}

TEST(Values, IntegersAndFileLists)
{
    EXPECT_EQ(strToInt("232558"), 232558);
    EXPECT_EQ(strToInt("-5"), -5);
    try {
        strToInt("");
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'' is not a valid integer value");
    }
    EXPECT_THROW(strToInt("25x"), EConvertError);
    EXPECT_THROW(strToInt("99999999999"), EConvertError);

    EXPECT_EQ(saveFileList({"a.bin", "b.bin"}), "a.bin,b.bin,");
    EXPECT_EQ(saveFileList({}), "");
    std::vector<std::string> ten;
    for (int i = 0; i < 10; ++i)
        ten.push_back("f" + std::to_string(i));
    EXPECT_EQ(saveFileList(ten), "f2,f3,f4,f5,f6,f7,f8,f9,");
    EXPECT_EQ(loadFileList("f2,f3,f4,f5,f6,f7,f8,f9,f10,"), std::vector<std::string>(ten.begin() + 2, ten.end()));
    EXPECT_EQ(loadFileList("a,b,,c ; note"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(loadFileList("none"), std::vector<std::string>{"none"});
}

TEST(Places, BesideTheExecutableOrXdgFolders)
{
    TempDir dir;
    const std::string exe = dir.path() + "bin/";
    ::mkdir(exe.c_str(), 0755);
    ::mkdir((exe + "qxtools").c_str(), 0755);
    overridePlaces(exe, dir.path() + "config", dir.path() + "data");
    EXPECT_EQ(placeOf(TQxPlace::qpSettingsFile), exe + "qx-com-103.ini");
    EXPECT_EQ(placeOf(TQxPlace::qpToolFolder), exe + "qxtools/");

    // A folder that cannot be written (here: one that does not exist): the XDG folders.
    overridePlaces(dir.path() + "absent/", dir.path() + "config", dir.path() + "data");
    EXPECT_EQ(placeOf(TQxPlace::qpSettingsFile), dir.path() + "config/qx-com/qx-com-103.ini");
    EXPECT_EQ(placeOf(TQxPlace::qpToolFolder), dir.path() + "data/qx-com/qxtools/");
    struct stat st {};
    EXPECT_EQ(::stat((dir.path() + "data/qx-com/qxtools").c_str(), &st), 0);
}

TEST(Places, AnInstalledProgramSeedsTheUsersFoldersAndWritesNothingBesideItself)
{
    // prefix/bin/qx-com and prefix/share/qx-com/ as the package installs them. The bin folder is
    // writable here (and for root anywhere): without a tool folder beside it, it is still left alone.
    TempDir dir;
    const std::string bin = dir.path() + "usr/bin/", share = dir.path() + "usr/share/qx-com/";
    ASSERT_EQ(std::system(("mkdir -p " + bin + " " + share + "qxtools/samples").c_str()), 0);
    writeFileAtomically(share + "qx-com-103.ini", "[A]\nB=1\n");
    writeFileAtomically(share + "qxtools/devices.ini", "[D]\n");
    writeFileAtomically(share + "qxtools/samples/a.bmp", "BM");
    const std::string config = dir.path() + "config/", data = dir.path() + "data/";
    overridePlaces(bin, config, data);

    EXPECT_EQ(placeOf(TQxPlace::qpSettingsFile), config + "qx-com/qx-com-103.ini");
    EXPECT_EQ(fileText(config + "qx-com/qx-com-103.ini"), "[A]\nB=1\n");
    EXPECT_EQ(placeOf(TQxPlace::qpToolFolder), data + "qx-com/qxtools/");
    EXPECT_EQ(fileText(data + "qx-com/qxtools/devices.ini"), "[D]\n");
    EXPECT_EQ(fileText(data + "qx-com/qxtools/samples/a.bmp"), "BM");
    // Nothing of the copy's making is left beside it.
    EXPECT_EQ(folderEntries(data + "qx-com/"), std::vector<std::string>{"qxtools"});

    // The user's files are the user's from then on: a later start neither replaces nor adds.
    writeFileAtomically(config + "qx-com/qx-com-103.ini", "[A]\nB=2\n");
    writeFileAtomically(data + "qx-com/qxtools/devices.ini", "[D]\nE=1\n");
    ::unlink((data + "qx-com/qxtools/samples/a.bmp").c_str());
    placeOf(TQxPlace::qpSettingsFile);
    placeOf(TQxPlace::qpToolFolder);
    EXPECT_EQ(fileText(config + "qx-com/qx-com-103.ini"), "[A]\nB=2\n");
    EXPECT_EQ(fileText(data + "qx-com/qxtools/devices.ini"), "[D]\nE=1\n");
    EXPECT_TRUE(folderEntries(data + "qx-com/qxtools/samples/").empty());
    EXPECT_TRUE(folderEntries(bin).empty());

    // Without an installed copy the user still gets an (empty) tool folder.
    const std::string data2 = dir.path() + "data2/";
    overridePlaces(dir.path() + "elsewhere/bin/", config, data2);
    EXPECT_EQ(placeOf(TQxPlace::qpToolFolder), data2 + "qx-com/qxtools/");
    EXPECT_EQ(folderEntries(data2 + "qx-com/"), std::vector<std::string>{"qxtools"});
    overridePlaces({});
}

TEST(AccessHint, NamesOnlyAGroupThatCanHelp)
{
    // A group that may read and write the device, and the user is not in it: join it.
    const std::string hint = accessHint("/dev/ttyUSB0", {.owner = "root", .group = "dialout", .mode = 0660});
    EXPECT_NE(hint.find("/dev/ttyUSB0"), std::string::npos);
    EXPECT_NE(hint.find("sudo adduser $USER dialout"), std::string::npos);
    EXPECT_NE(hint.find("log in again"), std::string::npos);
    EXPECT_EQ(hint.back(), '\n');

    // Listed in the group, but this session began before: only a new login helps.
    const std::string joined =
        accessHint("/dev/ttyUSB0", {.owner = "root", .group = "dialout", .mode = 0660, .userInGroup = true});
    EXPECT_NE(joined.find("is in the group dialout"), std::string::npos);
    EXPECT_NE(joined.find("log out and log in again"), std::string::npos);
    EXPECT_EQ(joined.find("adduser"), std::string::npos);

    // Root's group, or a group that may not write: joining would not help, so no group is named.
    EXPECT_EQ(accessHint("/dev/ttyS0", {.owner = "root", .group = "root", .mode = 0600, .groupIsRoot = true}),
              "No permission to open /dev/ttyS0: its owner, group and mode (root:root 0600) do not give this user "
              "access; a udev rule or the administrator must change them.\n");
    const std::string rootGroup =
        accessHint("/dev/ttyS0", {.owner = "root", .group = "root", .mode = 0660, .groupIsRoot = true});
    EXPECT_EQ(rootGroup.find("adduser"), std::string::npos);
    EXPECT_NE(rootGroup.find("(root:root 0660)"), std::string::npos);
    const std::string readOnly = accessHint("/dev/ttyS0", {.owner = "root", .group = "dialout", .mode = 0640});
    EXPECT_EQ(readOnly.find("adduser"), std::string::npos);
    EXPECT_NE(readOnly.find("(root:dialout 0640)"), std::string::npos);

    // The mode lets this program's group in and it is refused all the same: something else decides.
    const std::string refused = accessHint(
        "/dev/ttyACM0",
        {.owner = "root", .group = "dialout", .mode = 0660, .userInGroup = true, .processHasGroup = true});
    EXPECT_NE(refused.find("access list"), std::string::npos);
    EXPECT_EQ(refused.find("log in again"), std::string::npos);
    EXPECT_EQ(refused.rfind("No permission to open /dev/ttyACM0", 0), 0u);
}

TEST(AccessHint, DeviceAccessReadsTheFileAndTheUsersGroups)
{
    TTempDir dir;
    const std::string path = dir / "device";
    writeFileAtomically(path, "");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    TDeviceAccess access;
    ASSERT_TRUE(deviceAccess(path, access));
    EXPECT_EQ(access.mode, 0640u);
    EXPECT_EQ(access.owner, ::getpwuid(::geteuid())->pw_name);
    EXPECT_EQ(access.group, ::getgrgid(::getegid())->gr_name);
    EXPECT_EQ(access.groupIsRoot, ::getegid() == 0);
    EXPECT_TRUE(access.processHasGroup); // a new file takes this program's group
    EXPECT_FALSE(deviceAccess(dir / "missing", access));
}
