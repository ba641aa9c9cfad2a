#include "IniFile.h"

#include "AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <strings.h>

namespace {

std::string trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        --e;
    return s.substr(b, e - b);
}

bool sameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The section name of a "[name]" line, or false when the line is not a section header.
bool sectionOf(const std::string& line, std::string& name)
{
    const std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    const size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = trim(t.substr(1, close - 1));
    return true;
}

// The key and value of a "key=value" line; comment lines and lines without "=" have none.
bool entryOf(const std::string& line, std::string& key, std::string& value)
{
    const std::string t = trim(line);
    if (t.empty() || t.front() == ';')
        return false;
    const size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = trim(t.substr(0, eq));
    value = trim(t.substr(eq + 1));
    // A value in matching quotes is read without them, as the profile functions do.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return !key.empty();
}

} // namespace

bool parseInteger(const std::string& text, int32_t& value)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        // Hexadecimal numbers may use all 32 bits (colour values such as $FF000005).
        if (v > (base == 16 ? 0xFFFFFFFFull : 0x80000000ull))
            return false;
    }
    if (base == 10 && !negative && v > 0x7FFFFFFFull)
        return false;
    const auto bits = static_cast<uint32_t>(v);
    value = negative ? static_cast<int32_t>(0u - bits) : static_cast<int32_t>(bits);
    return true;
}

TIniFile::Load TIniFile::LoadLines(std::vector<std::string>& lines, std::string& eol, std::string* why) const
{
    lines.clear();
    eol = "\n";
    std::string data;
    if (!readWholeFile(path_, data)) {
        if (errno == ENOENT)
            return Load::Missing;
        if (why)
            *why = std::strerror(errno);
        return Load::Unusable;
    }
    // A file holding NUL bytes is not a text file; it is left alone.
    if (data.find('\0') != std::string::npos) {
        if (why)
            *why = "not a text file";
        return Load::Unusable;
    }
    if (data.find("\r\n") != std::string::npos)
        eol = "\r\n";
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return Load::Ok;
}

bool TIniFile::Find(const std::string& section, const std::string& key, std::string& value) const
{
    std::vector<std::string> lines;
    std::string eol;
    if (LoadLines(lines, eol) != Load::Ok)
        return false;
    bool inSection = false;
    std::string name, k, v;
    for (const auto& line : lines) {
        if (sectionOf(line, name)) {
            // Only the first section of a name counts, as with the profile functions.
            if (inSection)
                return false;
            inSection = sameName(name, section);
        } else if (inSection && entryOf(line, k, v) && sameName(k, key)) {
            value = v;
            return true;
        }
    }
    return false;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const
{
    std::string v;
    return Find(section, key, v) ? v : def;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const
{
    std::string v;
    int32_t n;
    return Find(section, key, v) && parseInteger(v, n) ? n : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::string TIniFile::Unreadable() const
{
    std::vector<std::string> lines;
    std::string eol, why;
    return LoadLines(lines, eol, &why) == Load::Unusable ? why : std::string();
}

bool TIniFile::KeyExists(const std::string& section, const std::string& key) const
{
    std::string v;
    return Find(section, key, v);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    // A line break would split the entry (and could start a section of its own), a NUL byte would
    // make the whole file unreadable: such a text is refused, the file stays as it is.
    static const std::string kUnwritable("\r\n\0", 3);
    for (const std::string* text : {&section, &key, &value})
        if (text->find_first_of(kUnwritable) != std::string::npos)
            throw EIniFileError("Unable to write to " + path_ + ": a name or value cannot hold a line break or NUL byte");
    std::vector<std::string> lines;
    std::string eol, why;
    if (LoadLines(lines, eol, &why) == Load::Unusable)
        throw EIniFileError("Unable to write to " + path_ + ": it could not be read (" + why + ")");

    // Find the first section of that name, its key, and the line after its last entry.
    size_t sectionLine = std::string::npos, keyLine = std::string::npos, insertAt = std::string::npos;
    std::string name, k, v;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (sectionOf(lines[i], name)) {
            if (sectionLine != std::string::npos)
                break;
            if (sameName(name, section)) {
                sectionLine = i;
                insertAt = i + 1;
            }
        } else if (sectionLine != std::string::npos) {
            if (!trim(lines[i]).empty())
                insertAt = i + 1;
            if (entryOf(lines[i], k, v) && sameName(k, key)) {
                keyLine = i;
                break;
            }
        }
    }
    if (keyLine != std::string::npos) {
        // The key keeps its spelling in the file; only the value changes.
        lines[keyLine] = k + "=" + value;
    } else if (sectionLine != std::string::npos) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), key + "=" + value);
    } else {
        if (!lines.empty() && !trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(key + "=" + value);
    }

    std::string data;
    for (const auto& line : lines)
        data += line + eol;
    if (!writeFileAtomically(path_, data))
        throw EIniFileError("Unable to write to " + path_ + ": " + std::strerror(errno));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}
