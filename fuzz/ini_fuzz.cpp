// The INI layer on any file: reading never fails, a value written is read back unchanged, a write
// leaves every other key as it was, and a file that is not text is never replaced.
#include "FuzzSupport.h"
#include "IniFile.h"

#include <string_view>
#include <strings.h>

namespace {

using namespace std::string_view_literals;

bool hasAny(const std::string& s, std::string_view chars)
{
    return s.find_first_of(chars) != std::string::npos;
}

bool blankAtEnds(const std::string& s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    return !s.empty() && (blank(s.front()) || blank(s.back()));
}

// Names and values the file format can hold: one line each, no blanks around them (they are
// trimmed), a section name without "]", a key without "=" that does not start a section or a
// comment, a value not wrapped in matching quotes (they are taken off).
bool writableSection(const std::string& s)
{
    return !hasAny(s, "\r\n]\0"sv) && !blankAtEnds(s);
}

bool writableKey(const std::string& s)
{
    return !s.empty() && !hasAny(s, "\r\n=\0"sv) && !blankAtEnds(s) && s[0] != '['
           && s[0] != ';';
}

bool writableValue(const std::string& s)
{
    const bool quoted = s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front();
    return !hasAny(s, "\r\n\0"sv) && !blankAtEnds(s) && !quoted;
}

bool sameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(40);
    const std::string key = in.ConsumeRandomLengthString(40);
    const std::string value = in.ConsumeRandomLengthString(80);
    const std::string otherSection = in.ConsumeRandomLengthString(40);
    const std::string otherKey = in.ConsumeRandomLengthString(40);
    const int32_t number = in.ConsumeIntegral<int32_t>();
    const std::string content = in.ConsumeRemainingBytesAsString();

    const std::string path = fuzz::tempDir() + "settings.ini";
    fuzz::writeFile(path, content);
    TIniFile ini(path);

    // Reading: a missing key gives the default, and the typed reads agree with the text.
    const std::string text = ini.ReadString(section, key, "\x01missing");
    const bool exists = ini.KeyExists(section, key);
    FUZZ_CHECK(exists || text == "\x01missing", "[%s] %s does not exist but reads '%s'",
               fuzz::shown(section).c_str(), fuzz::shown(key).c_str(), fuzz::shown(text).c_str());
    int32_t parsed = 0;
    const bool isNumber = exists && parseInteger(text, parsed);
    FUZZ_CHECK(ini.ReadInteger(section, key, 12345) == (isNumber ? parsed : 12345), "ReadInteger of '%s'",
               fuzz::shown(text).c_str());
    FUZZ_CHECK(ini.ReadBool(section, key, true) == (isNumber ? parsed != 0 : true), "ReadBool of '%s'",
               fuzz::shown(text).c_str());

    // Integers as the settings write them read back.
    int32_t back = 0;
    FUZZ_CHECK(parseInteger(std::to_string(number), back) && back == number, "decimal %d", number);
    char hex[16];
    std::snprintf(hex, sizeof hex, "$%X", static_cast<uint32_t>(number));
    FUZZ_CHECK(parseInteger(hex, back) && back == number, "hexadecimal %s", hex);

    const bool binary = content.find('\0') != std::string::npos;
    const bool oneLine = !hasAny(section, "\r\n\0"sv) && !hasAny(key, "\r\n\0"sv) && !hasAny(value, "\r\n\0"sv);
    const std::string otherBefore = ini.ReadString(otherSection, otherKey, "\x01missing");
    bool written = true;
    try {
        ini.WriteString(section, key, value);
    } catch (const EIniFileError& e) {
        written = false;
        FUZZ_CHECK(std::string(e.what()).find(path) != std::string::npos, "the message does not name the file");
    }
    // A file that is not text, or a text the format cannot hold, leaves the file as it was.
    if (binary || !oneLine) {
        FUZZ_CHECK(!written, "written although %s", binary ? "the file holds NUL bytes" : "the text has a line break");
        FUZZ_CHECK(fuzz::readFile(path) == content, "a refused write changed the file");
        return 0;
    }
    FUZZ_CHECK(written, "writing [%s] %s failed", fuzz::shown(section).c_str(), fuzz::shown(key).c_str());
    if (!writableSection(section) || !writableKey(key))
        return 0;
    if (writableValue(value))
        FUZZ_CHECK(ini.ReadString(section, key, "\x01missing") == value, "[%s] %s=%s read back as '%s'",
                   fuzz::shown(section).c_str(), fuzz::shown(key).c_str(), fuzz::shown(value).c_str(),
                   fuzz::shown(ini.ReadString(section, key, "\x01missing")).c_str());
    if (!(sameName(section, otherSection) && sameName(key, otherKey)))
        FUZZ_CHECK(ini.ReadString(otherSection, otherKey, "\x01missing") == otherBefore,
                   "writing [%s] %s changed [%s] %s from '%s' to '%s'", fuzz::shown(section).c_str(),
                   fuzz::shown(key).c_str(), fuzz::shown(otherSection).c_str(), fuzz::shown(otherKey).c_str(),
                   fuzz::shown(otherBefore).c_str(),
                   fuzz::shown(ini.ReadString(otherSection, otherKey, "\x01missing")).c_str());

    ini.WriteInteger(section, key, number);
    FUZZ_CHECK(ini.ReadInteger(section, key, number ^ 1) == number, "integer %d written to [%s] %s", number,
               fuzz::shown(section).c_str(), fuzz::shown(key).c_str());
    return 0;
}
