#include "PaneFind.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

namespace {

constexpr char16_t kParagraph = 0x2029;
// Stands between bytes that are not next to each other in the stream; no term holds it.
constexpr char16_t kGap = 0xFFFF;

char16_t fold(char16_t c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<char16_t>(c + 32);
    return c;
}

std::u16string normalised(std::u16string_view text, bool foldCase)
{
    std::u16string out(text);
    for (char16_t& c : out) {
        if (c == kParagraph)
            c = u'\n';
        else if (foldCase)
            c = fold(c);
    }
    return out;
}

// The starts of the matches of term in text, each after the end of the one before.
std::vector<size_t> matchStarts(const std::u16string& text, const std::u16string& term)
{
    std::vector<size_t> starts;
    if (term.empty() || term.size() > text.size())
        return starts;
    const std::boyer_moore_horspool_searcher searcher(term.begin(), term.end());
    auto from = text.begin();
    while (true) {
        const auto found = std::search(from, text.end(), searcher);
        if (found == text.end())
            break;
        starts.push_back(static_cast<size_t>(found - text.begin()));
        from = found + static_cast<std::ptrdiff_t>(term.size());
    }
    return starts;
}

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// A row of the hex view as hexRow draws it: an optional stamp ("[...] "), the offset (at least
// eight hex digits), two spaces, sixteen places of "HH " with a space after the eighth, a space and
// the bytes as characters. Where its hex column starts, and its offset and byte count.
struct THexRowAt {
    size_t hexAt = 0;
    uint64_t offset = 0;
    size_t count = 0;
};

bool readHexRow(std::u16string_view line, THexRowAt& row)
{
    size_t p = 0;
    if (!line.empty() && line[0] == u'[') {
        const size_t close = line.find(u"] ");
        if (close == std::u16string_view::npos)
            return false;
        p = close + 2;
    }
    const size_t digits = p;
    row.offset = 0;
    for (; p < line.size() && hexValue(line[p]) >= 0; ++p)
        row.offset = row.offset * 16 + static_cast<uint64_t>(hexValue(line[p]));
    if (p - digits < 8 || p - digits > 16 || line.substr(p, 2) != u"  ")
        return false;
    row.hexAt = p + 2;
    row.count = 0;
    for (; row.count < 16; ++row.count) {
        const size_t at = row.hexAt + 3 * row.count + (row.count >= 8 ? 1 : 0);
        if (at + 2 >= line.size() || hexValue(line[at]) < 0 || hexValue(line[at + 1]) < 0 || line[at + 2] != u' ')
            break;
    }
    // The character column holds exactly the row's bytes.
    return row.count > 0 && line.size() == row.hexAt + 50 + row.count;
}

size_t hexColumn(size_t index)
{
    return 3 * index + (index >= 8 ? 1 : 0);
}

} // namespace

int TPaneMatches::indexOf(TPaneRange range) const
{
    const int at = firstFrom(range.start);
    if (at < count() && spans[static_cast<size_t>(at)].start == range.start
        && spans[static_cast<size_t>(at)].length == range.length)
        return at;
    return -1;
}

int TPaneMatches::firstFrom(int position) const
{
    const auto it = std::lower_bound(spans.begin(), spans.end(), position,
                                     [](const TPaneRange& span, int p) { return span.start < p; });
    return static_cast<int>(it - spans.begin());
}

TPaneMatches findInText(std::u16string_view pane, std::u16string_view term, bool foldCase)
{
    TPaneMatches found;
    const std::u16string needle = normalised(term, foldCase);
    const auto length = static_cast<int>(needle.size());
    for (const size_t start : matchStarts(normalised(pane, foldCase), needle)) {
        const TPaneRange range{static_cast<int>(start), length};
        found.parts.push_back({range, found.count()});
        found.spans.push_back(range);
    }
    found.longestPart = length;
    return found;
}

TPaneMatches findInHexRows(std::u16string_view pane, std::u16string_view term, bool foldCase)
{
    TPaneMatches found;
    if (std::any_of(term.begin(), term.end(), [](char16_t c) { return c > 0xFF; }))
        return found; // no byte is that character

    // The bytes of the rows in order, each with the pane positions of its hex pair and character.
    std::u16string bytes;
    std::vector<int> hexPos, charPos;
    uint64_t next = 0;
    for (size_t lineStart = 0; lineStart <= pane.size();) {
        size_t lineEnd = lineStart;
        while (lineEnd < pane.size() && pane[lineEnd] != u'\n' && pane[lineEnd] != kParagraph)
            ++lineEnd;
        const std::u16string_view line = pane.substr(lineStart, lineEnd - lineStart);
        THexRowAt row;
        if (readHexRow(line, row)) {
            if (!bytes.empty() && row.offset != next) {
                bytes += kGap;
                hexPos.push_back(-1);
                charPos.push_back(-1);
            }
            for (size_t i = 0; i < row.count; ++i) {
                const size_t at = row.hexAt + hexColumn(i);
                bytes += static_cast<char16_t>(hexValue(line[at]) * 16 + hexValue(line[at + 1]));
                hexPos.push_back(static_cast<int>(lineStart + at));
                charPos.push_back(static_cast<int>(lineStart + row.hexAt + 50 + i));
            }
            next = row.offset + row.count;
        } else if (!bytes.empty() && bytes.back() != kGap) {
            // Other text in the pane (an echo, say) separates what came before from what follows.
            bytes += kGap;
            hexPos.push_back(-1);
            charPos.push_back(-1);
        }
        lineStart = lineEnd + 1;
    }

    if (foldCase) {
        for (char16_t& c : bytes)
            c = fold(c);
    }
    const std::u16string needle = normalised(term, foldCase);
    for (const size_t start : matchStarts(bytes, needle)) {
        const size_t last = start + needle.size() - 1;
        const int match = found.count();
        found.spans.push_back({hexPos[start], hexPos[last] + 2 - hexPos[start]});
        // One hex part and one character part for each row the match takes.
        for (size_t first = start; first <= last;) {
            size_t end = first;
            while (end < last && charPos[end + 1] == charPos[end] + 1)
                ++end;
            found.parts.push_back({{hexPos[first], hexPos[end] + 2 - hexPos[first]}, match});
            found.parts.push_back({{charPos[first], charPos[end] + 1 - charPos[first]}, match});
            first = end + 1;
        }
    }
    std::sort(found.parts.begin(), found.parts.end(),
              [](const TPaneMatches::Part& a, const TPaneMatches::Part& b) { return a.range.start < b.range.start; });
    for (const TPaneMatches::Part& part : found.parts)
        found.longestPart = std::max(found.longestPart, part.range.length);
    return found;
}
