#include "TermTools.h"

#include <cstdio>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool refuse(std::string& bytes, std::string& error, std::string message)
{
    bytes.clear();
    error = std::move(message);
    return false;
}

} // namespace

bool parseHexBytes(const std::string& text, std::string& bytes, std::string& error)
{
    bytes.clear();
    error.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (isBlank(text[i])) {
            ++i;
            continue;
        }
        // A group of digits up to the next blank: an even number of them.
        const size_t start = i;
        while (i < text.size() && !isBlank(text[i]))
            ++i;
        const std::string group = text.substr(start, i - start);
        for (const char c : group) {
            if (hexDigit(c) < 0)
                return refuse(bytes, error, "\"" + group + "\" is not hex (0-9, A-F)");
        }
        if (group.size() % 2 != 0)
            return refuse(bytes, error, "\"" + group + "\" has an odd number of hex digits");
        for (size_t k = 0; k < group.size(); k += 2)
            bytes += static_cast<char>(hexDigit(group[k]) * 16 + hexDigit(group[k + 1]));
    }
    return true;
}

namespace {

bool parseEscapes(const std::string& text, std::string& bytes, std::string& error)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (i + 1 >= text.size())
            return refuse(bytes, error, "Not sent: a \\ at the end (type \\\\ for a backslash)");
        const char e = text[++i];
        switch (e) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '\\':
            bytes += '\\';
            break;
        case 'x':
        case 'X': {
            const int hi = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return refuse(bytes, error, "Not sent: \\x needs two hex digits, as in \\x1B");
            bytes += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return refuse(bytes, error,
                          std::string("Not sent: \\") + e + " is no escape (\\r \\n \\t \\xHH \\\\)");
        }
    }
    return true;
}

} // namespace

const char* lineEndBytes(TLineEnd end)
{
    switch (end) {
    case TLineEnd::cr:
        return "\r";
    case TLineEnd::lf:
        return "\n";
    case TLineEnd::crLf:
        return "\r\n";
    case TLineEnd::none:
        break;
    }
    return "";
}

bool parseSendText(const std::string& text, bool hex, std::string& bytes, std::string& error)
{
    if (!hex) {
        bytes.clear();
        error.clear();
        return parseEscapes(text, bytes, error);
    }
    if (parseHexBytes(text, bytes, error))
        return true;
    error = "Not sent: " + error;
    return false;
}

std::string hexRow(uint64_t offset, std::string_view bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    char head[24];
    std::snprintf(head, sizeof head, "%08llX  ", static_cast<unsigned long long>(offset));
    std::string row = head;
    for (size_t i = 0; i < 16; ++i) {
        if (i < bytes.size()) {
            const auto c = static_cast<unsigned char>(bytes[i]);
            row += digits[c >> 4];
            row += digits[c & 15];
            row += ' ';
        } else {
            row += "   ";
        }
        if (i == 7)
            row += ' ';
    }
    row += ' ';
    for (const char ch : bytes.substr(0, 16)) {
        const auto c = static_cast<unsigned char>(ch);
        row += c >= 32 && c < 127 ? static_cast<char>(c) : '.';
    }
    return row;
}

TPaneEdit THexRows::add(std::string_view bytes, const std::string& stamp, bool afterPause)
{
    TPaneEdit edit;
    if (bytes.empty())
        return edit;
    const auto putRow = [&](const std::string& rowStamp, std::string_view rowBytes) {
        if (!rowStamp.empty())
            edit.stamps.push_back({edit.insert.size(), rowStamp.size()});
        edit.insert += rowStamp;
        edit.insert += hexRow(offset, rowBytes);
    };
    if (!open.empty()) {
        if (openShown >= 0)
            edit.erase = openShown;
        else
            edit.insert += '\n';
        if (afterPause) {
            // The open row stays as it was, ended; the new bytes start a row of their own.
            putRow(openStamp, open);
            edit.insert += '\n';
            offset += open.size();
            open.clear();
        }
    }
    if (open.empty())
        openStamp = stamp;
    std::string pending = std::move(open);
    pending.append(bytes);
    size_t at = 0;
    // Rows whose text alone is more than the pane holds would leave it at once: the pane starts
    // afresh with the last rows, as it would after trimming, and the rest is never drawn.
    constexpr size_t kRowChars = 77; // a row without a stamp, with its line break
    const size_t fullRows = pending.size() / 16;
    if (fullRows * kRowChars > static_cast<size_t>(kPaneTrimAbove)) {
        edit = TPaneEdit{};
        edit.clear = true;
        at = (fullRows - (static_cast<size_t>(kPaneKeepChars) / kRowChars + 1)) * 16;
        offset += at;
    }
    for (const size_t first = at; pending.size() - at >= 16; at += 16) {
        putRow(at == 0 && first == 0 ? openStamp : stamp, std::string_view(pending).substr(at, 16));
        edit.insert += '\n';
        offset += 16;
    }
    if (at > 0)
        openStamp = stamp;
    open = pending.substr(at);
    openShown = 0;
    if (!open.empty()) {
        const size_t before = edit.insert.size();
        putRow(openStamp, open);
        openShown = static_cast<int>(edit.insert.size() - before);
    }
    return edit;
}

std::string stampText(TStampMode mode, int64_t ms)
{
    if (ms < 0)
        ms = 0;
    char out[40];
    if (mode == TStampMode::timeOfDay) {
        const int64_t day = ms % 86400000;
        std::snprintf(out, sizeof out, "[%02d:%02d:%02d.%03d] ", static_cast<int>(day / 3600000),
                      static_cast<int>(day / 60000 % 60), static_cast<int>(day / 1000 % 60),
                      static_cast<int>(day % 1000));
    } else {
        std::snprintf(out, sizeof out, "[%lld.%03d] ", static_cast<long long>(ms / 1000),
                      static_cast<int>(ms % 1000));
    }
    return out;
}
