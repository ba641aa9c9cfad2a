// The terminal's additions a user switches on: the send box's parsing of what is typed into it, and
// the time stamps at the start of received lines. Plain functions, checked without a window.
#pragma once

#include <cstdint>
#include <string>

// ---- Send box

// What Enter adds after the send box's text: the entries of its line-end choice, in order.
enum class TLineEnd { none = 0, cr = 1, lf = 2, crLf = 3 };
const char* lineEndBytes(TLineEnd end);

// The bytes a send box line stands for. Text: \r, \n, \t, \xHH and \\ are escapes, every other
// character is itself. Hex: pairs of hex digits, with spaces between pairs or groups of pairs
// ("1B 5B 32 4A", "1B5B"). On bad input returns false with a message for the user in error and
// leaves bytes empty, so that nothing half-parsed is sent.
bool parseSendText(const std::string& text, bool hex, std::string& bytes, std::string& error);

// ---- Time stamps

enum class TStampMode { off = 0, timeOfDay = 1, sinceConnect = 2 };

// A stamp as the pane shows it, with the space after it: "[14:03:07.250] " for the time of day
// (ms since midnight, local time) or "[12.345] " for seconds since connect (ms since connect).
std::string stampText(TStampMode mode, int64_t ms);
