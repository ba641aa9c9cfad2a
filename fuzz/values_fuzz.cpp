// The value routines of the settings file and the catalogue on any text: comments, fields, the "#"
// character codes, integer conversion and file lists.
#include "FuzzSupport.h"
#include "IniFile.h"
#include "Values.h"

#include <vector>

namespace {

void checkStripComment(const std::string& text, const std::string& marker)
{
    const std::string out = stripComment(text, marker);
    FUZZ_CHECK(text.compare(0, out.size(), out) == 0, "stripComment gave no prefix of '%s'",
               fuzz::shown(text).c_str());
    FUZZ_CHECK(out.empty() || static_cast<unsigned char>(out.back()) > ' ', "'%s' keeps a trailing blank",
               fuzz::shown(out).c_str());
    if (!marker.empty())
        FUZZ_CHECK(out.find(marker) == std::string::npos, "'%s' keeps the marker", fuzz::shown(out).c_str());
}

void checkFields(const std::string& text, char separator)
{
    const std::string clean = stripComment(text, ";");
    FUZZ_CHECK(getField(text, 0, separator) == clean && getField(text, -3, separator) == clean,
               "field 0 of '%s'", fuzz::shown(text).c_str());
    // The fields put together again with their separators are the comment-free text.
    size_t count = 1;
    for (char c : clean)
        count += c == separator;
    std::string joined;
    for (size_t n = 1; n <= count; ++n) {
        const std::string field = getField(text, static_cast<int>(n), separator);
        FUZZ_CHECK(field.find(separator) == std::string::npos, "field %zu holds the separator", n);
        joined += (n > 1 ? std::string(1, separator) : std::string()) + field;
    }
    FUZZ_CHECK(joined == clean, "fields of '%s' join to '%s'", fuzz::shown(clean).c_str(),
               fuzz::shown(joined).c_str());
    FUZZ_CHECK(getField(text, static_cast<int>(count + 1), separator).empty(), "a field past the last");
}

void checkEscapes(const std::string& text, FuzzedDataProvider& in)
{
    // Any text with its "#" and some of its low codes written as "#nn" decodes to itself.
    std::string encoded;
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '#' || (code < 100 && in.ConsumeBool())) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "#%02u", code);
            encoded += buf;
        } else {
            encoded += c;
        }
    }
    FUZZ_CHECK(decodeEscapes(encoded) == text, "'%s' does not decode to '%s'", fuzz::shown(encoded).c_str(),
               fuzz::shown(text).c_str());

    // The text itself: decoded, or refused naming it when a "#" lacks its two digits.
    bool malformed = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '#')
            continue;
        auto digit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
        if (!digit(i + 1) || !digit(i + 2)) {
            malformed = true;
            break;
        }
        i += 2;
    }
    try {
        const std::string out = decodeEscapes(text);
        FUZZ_CHECK(!malformed, "'%s' decoded although a \"#\" lacks its digits", fuzz::shown(text).c_str());
        FUZZ_CHECK(out.size() <= text.size(), "decoding made '%s' longer", fuzz::shown(text).c_str());
    } catch (const EConvertError& e) {
        FUZZ_CHECK(malformed, "'%s' refused: %s", fuzz::shown(text).c_str(), e.what());
        if (text.find('\0') == std::string::npos)
            FUZZ_CHECK(std::string(e.what()).find(text) != std::string::npos, "the message does not name the text");
    }
}

void checkInteger(const std::string& text)
{
    int32_t v = 0;
    const bool ok = parseInteger(text, v);
    try {
        FUZZ_CHECK(strToInt(text) == v && ok, "strToInt and parseInteger disagree on '%s'",
                   fuzz::shown(text).c_str());
    } catch (const EConvertError& e) {
        FUZZ_CHECK(!ok, "strToInt refused '%s'", fuzz::shown(text).c_str());
        if (text.find('\0') == std::string::npos)
            FUZZ_CHECK(std::string(e.what()) == "'" + text + "' is not a valid integer value", "message %s", e.what());
    }
}

void checkFileList(FuzzedDataProvider& in)
{
    std::vector<std::string> entries;
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 12);
    for (size_t i = 0; i < count; ++i) {
        std::string entry = in.ConsumeRandomLengthString(30);
        // What a list entry can be: a file name, no comma or comment marker in it.
        if (!entry.empty() && entry.find_first_of(",;") == std::string::npos)
            entries.push_back(std::move(entry));
    }
    const std::vector<std::string> kept(entries.size() > 8 ? entries.end() - 8 : entries.begin(), entries.end());
    FUZZ_CHECK(loadFileList(saveFileList(entries)) == kept, "file list of %zu entries", entries.size());

    // Any value gives at most eight non-empty entries.
    const std::vector<std::string> loaded = loadFileList(in.ConsumeRandomLengthString(300));
    FUZZ_CHECK(loaded.size() <= 8, "%zu entries", loaded.size());
    for (const auto& e : loaded)
        FUZZ_CHECK(!e.empty() && e.find(',') == std::string::npos, "entry '%s'", fuzz::shown(e).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::string marker = in.ConsumeRandomLengthString(4);
    const char separator = in.ConsumeIntegral<char>();
    const std::string text = in.ConsumeRandomLengthString(500);
    checkStripComment(text, marker);
    checkStripComment(text, ";");
    checkFields(text, separator);
    checkFields(text, ',');
    checkInteger(text);
    checkEscapes(text, in);
    checkFileList(in);
    return 0;
}
