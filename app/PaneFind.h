// Finding a term in what the terminal pane shows, as plain functions of the pane's text, so that
// they can be checked without a window. The text view is searched as its characters are shown
// (received bytes as Latin-1 characters, a line break as LF); the hex view is searched in the bytes
// its rows show, read back from their hex columns in offset order, so that a byte sequence is
// found across the gap after the eighth byte and across row ends, with stamps and offsets between.
#pragma once

#include <string_view>
#include <vector>

// A range of pane positions (a line break counts as one).
struct TPaneRange {
    int start = 0;
    int length = 0;
    int end() const { return start + length; }
};

struct TPaneMatches {
    // Each match from its first to its last character, in order; matches do not overlap.
    std::vector<TPaneRange> spans;
    // What is highlighted, ordered by start: the match itself in the text view; in the hex view its
    // hex pairs and its characters on each row it takes.
    struct Part {
        TPaneRange range;
        int match = 0;
    };
    std::vector<Part> parts;
    int longestPart = 0;

    int count() const { return static_cast<int>(spans.size()); }
    // The match that spans exactly range, or -1.
    int indexOf(TPaneRange range) const;
    // The first match starting at or after position, or count() when none does.
    int firstFrom(int position) const;
};

// pane: the pane's text (a line break as LF or as the paragraph separator U+2029). term: the
// characters to find (from the hex choice, byte values). foldCase: letters match in either case
// (ASCII and Latin-1 letters).
TPaneMatches findInText(std::u16string_view pane, std::u16string_view term, bool foldCase);
TPaneMatches findInHexRows(std::u16string_view pane, std::u16string_view term, bool foldCase);
