// The display rules of the terminal pane as plain functions of (what the pane ends with, the
// options, the chunk), so that they can be checked without a window. The pane applies the steps
// they return.
#pragma once

#include <string>
#include <vector>

struct TTermOptions {
    bool showCtrl = false;    // control bytes as [hh]
    bool addLF = true;        // a bare CR is shown as CR LF
    bool addCR = true;        // a bare LF is shown as CR LF
    bool sendingText = false; // a text file send is running
    int eolChar = -1;         // end-of-line wait character (0..255), -1 for none
};

// What showText does to the pane.
struct TShowStep {
    bool shown = false;     // false: nothing changes (the text held the wait character)
    bool eraseLast = false; // replace the pane's last character
    std::string insert;     // text to append at the end
};

// The pane never holds more than trimAbove characters: an addition that would take it past them
// leaves it with about its last keepChars characters, from the start of a line.
constexpr int kPaneTrimAbove = 64000;
constexpr int kPaneKeepChars = 16384;

// showText: paneLength is the pane's text length after the trim.
TShowStep showTextStep(int paneLength, const TTermOptions& options, std::string text);

// showTermText: the pieces in order, each either a clear of the pane or a text for showText.
struct TTermPiece {
    bool clear = false;
    std::string text;
};
std::vector<TTermPiece> termTextPieces(const std::string& text);

// What the pane does for a text: empties itself (clear), drops its last erase characters, then
// appends insert (line breaks as the pane holds them, LF). Pane lengths count a line break as one.
struct TPaneEdit {
    struct StampRange {
        size_t at = 0;   // in insert
        size_t size = 0;
    };

    bool clear = false;
    int erase = 0;
    std::string insert;
    std::vector<StampRange> stamps; // time stamps within insert, shown in their own colour

    // Adds showText for text, after what the edit does already, to a pane of paneLength characters.
    void show(int paneLength, const TTermOptions& options, std::string text);

    // Puts stamp before every line of insert that starts in it: before its first character when
    // the pane (after the clear and erase) ends with a line break or is empty (atLineStart), and
    // after each line break in it; an empty line gets none. After a pause with no line end (afterPause), a line still open
    // in the pane is ended first, so that what came after the pause gets a stamped line.
    void stampLines(bool atLineStart, bool afterPause, const std::string& stamp);
};

// showTermText for a text (a received block is one text): the pane's edit, in one pass.
TPaneEdit termTextEdit(int paneLength, const TTermOptions& options, const std::string& text);

// The text as the pane holds it: CR LF, a bare CR and a bare LF each become one line break (LF).
std::string paneLineBreaks(const std::string& text);

// When an append would make rxBuffer longer than this, it holds only the appended chunk (at most
// its last kRxBufferLimit characters) afterwards.
constexpr size_t kRxBufferLimit = 2400;
void appendRxBuffer(std::string& rxBuffer, const std::string& chunk);
