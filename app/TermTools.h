// The terminal's additions a user switches on: the send box's parsing of what is typed into it, and
// the time stamps at the start of received lines. Plain functions, checked without a window.
#pragma once

#include "TermText.h"

#include <cstdint>
#include <string>
#include <string_view>

// ---- Send box

// What Enter adds after the send box's text: the entries of its line-end choice, in order.
enum class TLineEnd { none = 0, cr = 1, lf = 2, crLf = 3 };
const char* lineEndBytes(TLineEnd end);

// Bytes as hex pairs, with spaces between pairs or groups of pairs ("1B 5B 32 4A", "1B5B"). On bad
// input returns false with a message for the user in error (which group, and why) and leaves bytes
// empty.
bool parseHexBytes(const std::string& text, std::string& bytes, std::string& error);

// The bytes a send box line stands for. Text: \r, \n, \t, \xHH and \\ are escapes, every other
// character is itself. Hex: as parseHexBytes. On bad input returns false with a message for the
// user in error and leaves bytes empty, so that nothing half-parsed is sent.
bool parseSendText(const std::string& text, bool hex, std::string& bytes, std::string& error);

// ---- Time stamps

enum class TStampMode { off = 0, timeOfDay = 1, sinceConnect = 2 };

// A stamp as the pane shows it, with the space after it: "[14:03:07.250] " for the time of day
// (ms since midnight, local time) or "[12.345] " for seconds since connect (ms since connect).
std::string stampText(TStampMode mode, int64_t ms);

// ---- Hex view

// One row of the hex view: the offset, up to 16 bytes in hex (a gap after the eighth), and the
// bytes as characters (printable ASCII, others "."). Rows of fewer bytes are padded so that the
// character column stays in place; no line break.
std::string hexRow(uint64_t offset, std::string_view bytes);

// The hex view of a stream received in blocks: rows of 16, each with the stamp of the block that
// began it. A row still short of 16 bytes is shown and re-drawn when more bytes come.
struct THexRows {
    uint64_t offset = 0;     // of the first byte of the open row
    std::string open;        // the bytes of the open row (fewer than 16)
    std::string openStamp;   // its stamp
    // The pane characters it takes (stamp and row); -1 when other text followed it in the pane,
    // so that it is drawn again on a line of its own.
    int openShown = 0;

    // The pane edit for a block: the open row is erased and drawn again with the new bytes. After
    // a pause (afterPause) the open row is ended as it is, so what came after starts a row. A block
    // of more rows than the pane keeps empties it and draws only the last of them.
    TPaneEdit add(std::string_view bytes, const std::string& stamp, bool afterPause);
};
