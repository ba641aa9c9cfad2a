#include "TermText.h"

#include <algorithm>

namespace {

bool isLineChar(unsigned char c)
{
    return c == 13 || c == 10 || c == 8 || c == 9;
}

const char kHex[] = "0123456789ABCDEF";

} // namespace

TShowStep showTextStep(int paneLength, const TTermOptions& options, std::string text)
{
    TShowStep step;

    // Control characters up to the first line character become [hh]; the rest stays raw.
    if (options.showCtrl) {
        std::string out;
        size_t i = 0;
        for (; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (isLineChar(c))
                break;
            if (c < 32 || c > 127) {
                out += '[';
                out += kHex[c >> 4];
                out += kHex[c & 15];
                out += ']';
            } else {
                out += static_cast<char>(c);
            }
        }
        out.append(text, i, std::string::npos);
        text = std::move(out);
    }

    // Backspaces erase the character before them; one with nothing left before it in the text
    // erases the pane's last character (however many there are, that one character). One pass, so
    // a large block with many backspaces costs no more than one without.
    if (text.find('\b') != std::string::npos) {
        std::string out;
        out.reserve(text.size());
        for (const char c : text) {
            if (c != '\b')
                out += c;
            else if (!out.empty())
                out.pop_back();
            else if (paneLength > 0)
                step.eraseLast = true;
        }
        text = std::move(out);
    }

    if (options.sendingText && options.eolChar >= 0 && options.eolChar <= 255
        && text.find(static_cast<char>(options.eolChar)) != std::string::npos) {
        step.eraseLast = false;
        return step;
    }

    if (options.addLF) {
        std::string out;
        out.reserve(text.size() + 16);
        for (size_t i = 0; i < text.size(); ++i) {
            out += text[i];
            if (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
                out += '\n';
        }
        text = std::move(out);
    }
    if (options.addCR) {
        std::string out;
        out.reserve(text.size() + 16);
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
                out += '\r';
            out += text[i];
        }
        text = std::move(out);
    }

    step.shown = true;
    step.insert = std::move(text);
    return step;
}

std::vector<TTermPiece> termTextPieces(const std::string& text)
{
    std::vector<TTermPiece> pieces;
    const size_t esc = text.find('\x1b');
    if (esc == std::string::npos) {
        pieces.push_back({false, text});
        return pieces;
    }
    if (esc > 0)
        pieces.push_back({false, text.substr(0, esc)});
    size_t rest = esc + 1;
    if (text.compare(esc + 1, 3, "[2J") == 0 || text.compare(esc + 1, 3, "[1J") == 0) {
        pieces.push_back({true, {}});
        rest = esc + 4;
    }
    if (rest < text.size())
        pieces.push_back({false, text.substr(rest)});
    return pieces;
}

void TPaneEdit::show(int paneLength, const TTermOptions& options, std::string text)
{
    const int before = clear ? 0 : paneLength - erase;
    const TShowStep step = showTextStep(before + static_cast<int>(insert.size()), options, std::move(text));
    if (!step.shown)
        return;
    if (step.eraseLast) {
        if (!insert.empty())
            insert.pop_back();
        else
            ++erase;
    }
    insert += paneLineBreaks(step.insert);
}

void TPaneEdit::stampLines(bool atLineStart, bool afterPause, const std::string& stamp)
{
    if (insert.empty() || stamp.empty())
        return;
    std::string out;
    out.reserve(insert.size() + stamp.size() * 8);
    bool lineStart = atLineStart;
    if (afterPause && !lineStart && insert.front() != '\n') {
        out += '\n';
        lineStart = true;
    }
    for (const char c : insert) {
        // An empty line stays empty (as the second break of a CR and LF that came in two reads).
        if (lineStart && c != '\n') {
            stamps.push_back({out.size(), stamp.size()});
            out += stamp;
            lineStart = false;
        }
        out += c;
        lineStart = c == '\n';
    }
    insert = std::move(out);
}

TPaneEdit termTextEdit(int paneLength, const TTermOptions& options, const std::string& text)
{
    TPaneEdit edit;
    for (TTermPiece& piece : termTextPieces(text)) {
        if (piece.clear) {
            edit = TPaneEdit{};
            edit.clear = true;
        } else {
            edit.show(paneLength, options, std::move(piece.text));
        }
    }
    return edit;
}

std::string paneLineBreaks(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void appendRxBuffer(std::string& rxBuffer, const std::string& chunk)
{
    if (rxBuffer.size() + chunk.size() <= kRxBufferLimit) {
        rxBuffer += chunk;
        return;
    }
    // What was held goes; the new text stays (its end, when it is longer than the limit), so a reply
    // that comes in one chunk with other text, as in a flood, is still seen.
    rxBuffer.assign(chunk, chunk.size() - std::min(chunk.size(), kRxBufferLimit), std::string::npos);
}
