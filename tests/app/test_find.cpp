// Finding in the terminal pane's text without a window: the text view's characters, the hex view's
// bytes read back from its rows, and the hex term's parsing.
#include "PaneFind.h"
#include "TermTools.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::u16string u16(const std::string& latin1)
{
    std::u16string out;
    for (const char c : latin1)
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

// The pane's text at a range, as Latin-1.
std::string at(const std::string& pane, TPaneRange range)
{
    return pane.substr(static_cast<size_t>(range.start), static_cast<size_t>(range.length));
}

// The hex view of a stream as the pane shows it: rows of 16 from offset, each with a stamp.
std::string hexPane(const std::string& bytes, uint64_t offset = 0, const std::string& stamp = {})
{
    std::string pane;
    for (size_t i = 0; i < bytes.size(); i += 16) {
        if (i > 0)
            pane += '\n';
        pane += stamp + hexRow(offset + i, std::string_view(bytes).substr(i, 16));
    }
    return pane;
}

} // namespace

TEST(PaneFind, MatchesInOrderWithoutOverlap)
{
    const TPaneMatches aa = findInText(u"aaaaa\nAa", u"aa", true);
    ASSERT_EQ(aa.count(), 3);
    EXPECT_EQ(aa.spans[1].start, 2);
    EXPECT_EQ(aa.spans[2].start, 6);
    EXPECT_EQ(aa.parts.size(), 3u);
    EXPECT_EQ(findInText(u"aaaaa\nAa", u"aa", false).count(), 2);
    // The lookups of the current match and of the first one from a place.
    EXPECT_EQ(aa.indexOf({2, 2}), 1);
    EXPECT_EQ(aa.indexOf({1, 2}), -1);
    EXPECT_EQ(aa.indexOf({2, 1}), -1);
    EXPECT_EQ(aa.firstFrom(1), 1);
    EXPECT_EQ(aa.firstFrom(7), 3);
    EXPECT_EQ(findInText(u"abc", u"", false).count(), 0);
    EXPECT_EQ(findInText(u"ab", u"abc", false).count(), 0);
}

TEST(PaneFind, TextViewCharactersAsShown)
{
    // Received bytes are Latin-1 characters; a line break in the pane is its paragraph separator.
    const std::u16string pane = u"caf\u00E9 CAF\u00C9\u2029\u00A0x\u00D7\u00F7";
    EXPECT_EQ(findInText(pane, u"caf\u00E9", true).count(), 2);
    EXPECT_EQ(findInText(pane, u"caf\u00E9", false).count(), 1);
    EXPECT_EQ(findInText(pane, u16("\xC9\n\xA0"), false).count(), 1); // hex C9 0A A0
    // Only letters fold: the multiplication and division signs are two characters.
    EXPECT_EQ(findInText(pane, u"\u00F7", true).count(), 1);
    EXPECT_EQ(findInText(pane, u"x", true).spans.at(0).start, 11);
}

TEST(PaneFind, HexViewBytesAcrossTheGapAndRowEnds)
{
    std::string bytes;
    for (int i = 0; i < 64; ++i)
        bytes += static_cast<char>(i * 7 + 1);
    bytes.replace(6, 4, "AbCd");   // bytes 6..9, across the gap after the eighth
    bytes.replace(30, 4, "\x1b[2J"); // bytes 30..33, across the end of the second row
    const std::string stamp = "[12:00:00.250] ";
    const std::string pane = hexPane(bytes, 0x1230, stamp);

    const TPaneMatches gap = findInHexRows(u16(pane), u16("AbCd"), false);
    ASSERT_EQ(gap.count(), 1);
    EXPECT_EQ(at(pane, gap.spans[0]), "41 62  43 64");
    ASSERT_EQ(gap.parts.size(), 2u);
    EXPECT_EQ(at(pane, gap.parts[0].range), "41 62  43 64");
    EXPECT_EQ(at(pane, gap.parts[1].range), "AbCd");
    EXPECT_EQ(findInHexRows(u16(pane), u16("abcd"), true).count(), 1);
    EXPECT_EQ(findInHexRows(u16(pane), u16("abcd"), false).count(), 0);

    const TPaneMatches esc = findInHexRows(u16(pane), u16("\x1b[2J"), false);
    ASSERT_EQ(esc.count(), 1);
    ASSERT_EQ(esc.parts.size(), 4u);
    EXPECT_EQ(at(pane, esc.parts[0].range), "1B 5B");
    EXPECT_EQ(at(pane, esc.parts[1].range), ".[");
    EXPECT_EQ(at(pane, esc.parts[2].range), "32 4A");
    EXPECT_EQ(at(pane, esc.parts[3].range), "2J");
    // The span runs from the first pair to the last, across the stamp and offset of the next row.
    EXPECT_EQ(esc.spans[0].start, esc.parts[0].range.start);
    EXPECT_EQ(esc.spans[0].end(), esc.parts[2].range.end());
    for (const TPaneMatches::Part& part : esc.parts)
        EXPECT_EQ(part.match, 0);
    EXPECT_EQ(esc.longestPart, 5);

    // Every byte value, each found once in a stream of all of them.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    const std::string allPane = hexPane(all);
    for (int i = 0; i < 256; ++i) {
        const TPaneMatches one = findInHexRows(u16(allPane), u16(std::string(1, static_cast<char>(i))), false);
        ASSERT_EQ(one.count(), 1) << i;
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", i);
        EXPECT_EQ(at(allPane, one.spans[0]), pair);
    }
}

TEST(PaneFind, HexViewFindsNothingAcrossWhatIsNotAStream)
{
    // Rows whose offsets do not follow each other (the start was dropped in between), other text
    // between rows, and a short open row that is still growing.
    const std::string rowA = hexRow(0, "0123456789abcdef");
    const std::string rowB = hexRow(0x100, "ghij");
    EXPECT_EQ(findInHexRows(u16(rowA + "\n" + rowB), u16("fg"), false).count(), 0);
    EXPECT_EQ(findInHexRows(u16(rowA + "\n" + rowB), u16("hi"), false).count(), 1);
    const std::string rowC = hexRow(16, "ghij");
    EXPECT_EQ(findInHexRows(u16(rowA + "\nechoed\n" + rowC), u16("fg"), false).count(), 0);
    EXPECT_EQ(findInHexRows(u16(rowA + "\n" + rowC), u16("fg"), false).count(), 1);
    EXPECT_EQ(findInHexRows(u16(rowA) + u"\u2029" + u16(rowC), u16("fg"), false).count(), 1);

    // The offset and the character column are not bytes; text that only looks like a row is none.
    EXPECT_EQ(findInHexRows(u16(rowA), u16(std::string("\x00\x00", 2)), false).count(), 0);
    EXPECT_EQ(findInHexRows(u16("00000000  41 42 43"), u16("ABC"), false).count(), 0);
    EXPECT_EQ(findInHexRows(u16(rowA), u"0\u0100", false).count(), 0);
}

TEST(PaneFind, HexTermParsing)
{
    std::string bytes, error;
    ASSERT_TRUE(parseHexBytes("1B 5B 32 4a", bytes, error));
    EXPECT_EQ(bytes, "\x1b[2J");
    EXPECT_FALSE(parseHexBytes("1B 1G", bytes, error));
    EXPECT_EQ(error, "\"1G\" is not hex (0-9, A-F)");
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(parseHexBytes("1B5", bytes, error));
    EXPECT_EQ(error, "\"1B5\" has an odd number of hex digits");
    // The send box says what it did not do.
    EXPECT_FALSE(parseSendText("1B5", true, bytes, error));
    EXPECT_EQ(error, "Not sent: \"1B5\" has an odd number of hex digits");
}
