// The terminal pane's display rules on any received text, with every combination of the options.
#include "FuzzSupport.h"
#include "TermText.h"

#include <algorithm>

namespace {

bool isBreak(char c)
{
    return c == '\r' || c == '\n' || c == '\t';
}

void checkStep(int paneLength, const TTermOptions& o, const std::string& text)
{
    const TShowStep step = showTextStep(paneLength, o, text);
    const std::string& out = step.insert;
    const std::string what = "pane " + std::to_string(paneLength) + ", ctrl " + std::to_string(o.showCtrl) + ", lf "
                             + std::to_string(o.addLF) + ", cr " + std::to_string(o.addCR) + ", sending "
                             + std::to_string(o.sendingText) + ", eol " + std::to_string(o.eolChar) + ": '"
                             + fuzz::shown(text) + "' gave '" + fuzz::shown(out) + "'";
    if (!step.shown) {
        FUZZ_CHECK(out.empty() && !step.eraseLast, "nothing shown but a change: %s", what.c_str());
        FUZZ_CHECK(o.sendingText && o.eolChar >= 0 && o.eolChar <= 255, "nothing shown: %s", what.c_str());
    }
    FUZZ_CHECK(!step.eraseLast || paneLength > 0, "erases in an empty pane: %s", what.c_str());
    FUZZ_CHECK(out.find('\b') == std::string::npos, "a backspace is shown: %s", what.c_str());
    FUZZ_CHECK(out.size() <= 8 * text.size(), "grew too much: %s", what.c_str());
    for (size_t i = 0; i < out.size(); ++i) {
        if (o.addLF && out[i] == '\r')
            FUZZ_CHECK(i + 1 < out.size() && out[i + 1] == '\n', "CR without LF: %s", what.c_str());
        if (o.addCR && out[i] == '\n')
            FUZZ_CHECK(i > 0 && out[i - 1] == '\r', "LF without CR: %s", what.c_str());
    }

    const bool backspaces = text.find('\b') != std::string::npos;
    if (backspaces)
        return;
    const bool waitChar = o.sendingText && o.eolChar >= 0 && o.eolChar <= 255;
    if (!o.showCtrl && !o.addLF && !o.addCR && step.shown)
        FUZZ_CHECK(out == text, "changed without options: %s", what.c_str());
    if (waitChar && !o.showCtrl && text.find(static_cast<char>(o.eolChar)) != std::string::npos)
        FUZZ_CHECK(!step.shown, "the wait character was shown: %s", what.c_str());
    // The hexadecimal form brings in only brackets and hexadecimal digits.
    const std::string hexChars = "[]0123456789ABCDEF";
    if (waitChar && text.find(static_cast<char>(o.eolChar)) == std::string::npos
        && (!o.showCtrl || hexChars.find(static_cast<char>(o.eolChar)) == std::string::npos))
        FUZZ_CHECK(step.shown, "not shown without the wait character: %s", what.c_str());
    if (o.showCtrl) {
        for (size_t i = 0; i < out.size() && !isBreak(out[i]); ++i) {
            const auto c = static_cast<unsigned char>(out[i]);
            FUZZ_CHECK(c >= 32 && c <= 127, "control byte %02X shown raw: %s", c, what.c_str());
        }
    }
}

void checkPieces(const std::string& text)
{
    const std::vector<TTermPiece> pieces = termTextPieces(text);
    std::string joined;
    int clears = 0;
    for (const auto& p : pieces) {
        FUZZ_CHECK(p.clear || !p.text.empty() || text.empty(), "an empty piece of '%s'", fuzz::shown(text).c_str());
        if (p.clear) {
            ++clears;
            FUZZ_CHECK(joined.size() == text.find('\x1b'), "the clear is not at the first ESC");
        }
        joined += p.text;
    }
    FUZZ_CHECK(clears <= 1, "%d clears", clears);
    // The pieces are the text without its first ESC (and the clear sequence after it).
    std::string expected = text;
    const size_t esc = text.find('\x1b');
    if (esc != std::string::npos)
        expected.erase(esc, clears ? 4 : 1);
    FUZZ_CHECK(joined == expected, "pieces of '%s' join to '%s'", fuzz::shown(text).c_str(),
               fuzz::shown(joined).c_str());
}

// The window's one-pass edit of a text is showTermText's pieces shown one after another.
void checkEdit(const std::string& pane, const TTermOptions& o, const std::string& text)
{
    std::string stepwise = pane;
    for (const auto& piece : termTextPieces(text)) {
        if (piece.clear) {
            stepwise.clear();
            continue;
        }
        const TShowStep step = showTextStep(static_cast<int>(stepwise.size()), o, piece.text);
        if (!step.shown)
            continue;
        if (step.eraseLast && !stepwise.empty())
            stepwise.pop_back();
        stepwise += paneLineBreaks(step.insert);
    }
    const TPaneEdit edit = termTextEdit(static_cast<int>(pane.size()), o, text);
    FUZZ_CHECK(edit.clear || static_cast<size_t>(edit.erase) <= pane.size(), "erases more than the pane holds");
    std::string oneGo = edit.clear ? std::string() : pane.substr(0, pane.size() - static_cast<size_t>(edit.erase));
    oneGo += edit.insert;
    FUZZ_CHECK(oneGo == stepwise, "'%s' on '%s' gave '%s', shown in turn '%s'", fuzz::shown(text).c_str(),
               fuzz::shown(pane).c_str(), fuzz::shown(oneGo).c_str(), fuzz::shown(stepwise).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const int paneLength = in.ConsumeIntegralInRange<int>(0, kPaneTrimAbove);
    const int eolFromInput = in.ConsumeIntegralInRange<int>(0, 255);
    std::string rx = in.ConsumeRandomLengthString(3000);
    const std::string text = in.ConsumeRemainingBytesAsString();

    for (int bits = 0; bits < 16; ++bits) {
        for (int eol : {-1, eolFromInput, 6, 256}) {
            TTermOptions o;
            o.showCtrl = bits & 1;
            o.addLF = bits & 2;
            o.addCR = bits & 4;
            o.sendingText = bits & 8;
            o.eolChar = eol;
            checkStep(paneLength, o, text);
            checkEdit(rx, o, text);
        }
    }
    checkPieces(text);

    const std::string before = rx;
    appendRxBuffer(rx, text);
    FUZZ_CHECK(rx.size() <= kRxBufferLimit, "receive buffer of %zu bytes", rx.size());
    const std::string end = text.substr(text.size() - std::min(text.size(), kRxBufferLimit));
    FUZZ_CHECK(rx == before + text || rx == end, "receive buffer lost bytes");
    return 0;
}
