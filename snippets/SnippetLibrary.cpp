#include "SnippetLibrary.h"

#include "AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

TSnippetLibrary snippetLibrary;

namespace {

const char kHeader[] = "// qxtools - updated ";
const char kCrLf[] = "\r\n";

bool containsQxtools(const std::string& line)
{
    static const std::string word = "QXTOOLS";
    if (line.size() < word.size())
        return false;
    for (size_t i = 0; i + word.size() <= line.size(); ++i) {
        size_t k = 0;
        while (k < word.size() && upperByte(line[i + k]) == word[k])
            ++k;
        if (k == word.size())
            return true;
    }
    return false;
}

// Splits a file into its lines: a line ends at LF, and a CR right before that LF belongs to the
// line end. A last line without a line end still counts; a file ending in a line end has no empty
// line after it.
std::vector<std::string> splitLines(const std::string& data)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        const size_t next = end == std::string::npos ? data.size() : end + 1;
        if (end == std::string::npos)
            end = data.size();
        size_t stop = end;
        if (stop > start && data[stop - 1] == '\r' && end < data.size())
            --stop;
        lines.emplace_back(data, start, stop - start);
        start = next;
    }
    return lines;
}

// A body as written: without its trailing blanks and control characters, every line break as
// CR LF.
std::string bodyForFile(const std::string& body)
{
    size_t end = body.size();
    while (end > 0 && static_cast<unsigned char>(body[end - 1]) <= 32)
        --end;
    std::string out;
    out.reserve(end + end / 16);
    for (size_t i = 0; i < end; ++i) {
        const char c = body[i];
        if (c == '\n' && (i == 0 || body[i - 1] != '\r'))
            out += '\r';
        out += c;
    }
    return out;
}

std::string errorText(int error)
{
    return std::strerror(error);
}

} // namespace

char upperByte(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void TSnippetLibrary::status(const std::string& text, TSnippetStyle style, TSnippetColour colour) const
{
    if (sink_)
        sink_(text, style, colour);
}

void TSnippetLibrary::clear()
{
    for (auto& entry : libraryEntries)
        entry = {};
    lastEntry = -1;
    preamble_.clear();
    changed_ = false;
    dropped_ = 0;
}

TLoadResult TSnippetLibrary::loadLibrary(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        status("File " + path + "\n", ssPlain, TSnippetColour::scBlack);
        status("Not Found\n", ssBold, TSnippetColour::scBlack);
        return TLoadResult::lrNotFound;
    }
    std::string data;
    if (!readWholeFile(path, data)) {
        const int error = errno;
        status("File " + path + "\n", ssPlain, TSnippetColour::scBlack);
        status("Could not be read: " + errorText(error) + "\n", ssBold, TSnippetColour::scRed);
        return TLoadResult::lrUnreadable;
    }
    std::vector<std::string> lines = splitLines(data);
    data.clear();
    if (lines.empty() || !containsQxtools(lines.front())) {
        bodyEdited = false;
        return TLoadResult::lrNotValid;
    }

    clear();
    // Body lines of an entry beyond the 101st go with it; nothing is added to entry 100.
    bool skipping = false;
    for (size_t n = 1; n < lines.size(); ++n) {
        std::string& line = lines[n];
        if (!line.empty() && line[0] == '[') {
            if (lastEntry + 1 >= kEntryCount) {
                status("Maximum Number of entries for library exceeded\n", ssBold, TSnippetColour::scRed);
                status("redunce file size\n", ssBold, TSnippetColour::scRed);
                ++dropped_;
                skipping = true;
                continue;
            }
            skipping = false;
            ++lastEntry;
            const size_t close = line.find(']');
            libraryEntries[lastEntry].name = close == std::string::npos ? std::string() : line.substr(1, close - 1);
        } else if (skipping) {
            continue;
        } else if (lastEntry < 0) {
            preamble_.push_back(std::move(line));
        } else {
            std::string& body = libraryEntries[lastEntry].body;
            body += line;
            body += '\n';
        }
    }
    bodyEdited = false;
    return TLoadResult::lrLoaded;
}

std::string TSnippetLibrary::libraryText(const std::string& stamp) const
{
    std::string text = kHeader + stamp + kCrLf;
    for (const std::string& line : preamble_)
        text += line + kCrLf;
    for (int i = 0; i <= lastEntry; ++i) {
        const TSnippetEntry& entry = libraryEntries[i];
        text += "[" + entry.name + "]" + kCrLf;
        text += bodyForFile(entry.body) + kCrLf;
    }
    return text;
}

bool TSnippetLibrary::saveLibrary(const std::string& path, const std::string& stamp)
{
    if (dropped_ > 0) {
        status("Library not saved: " + std::to_string(dropped_)
                   + (dropped_ == 1 ? " entry" : " entries")
                   + " beyond the 101st of the file would be lost\n",
               ssBold, TSnippetColour::scRed);
        return false;
    }
    if (!writeFileAtomically(path, libraryText(stamp))) {
        const int error = errno;
        status("File " + path + "\n", ssPlain, TSnippetColour::scBlack);
        status("Not saved, the file is unchanged: " + errorText(error) + "\n", ssBold, TSnippetColour::scRed);
        return false;
    }
    changed_ = false;
    return true;
}

bool TSnippetLibrary::acceptableName(const std::string& name) const
{
    if (!name.empty() && name.find(']') == std::string::npos && name.find_first_of("\r\n") == std::string::npos)
        return true;
    status("[" + name + "] ", ssPlain, TSnippetColour::scBlack);
    status("not a valid name: a name cannot be empty or hold \"]\"\n", ssBold, TSnippetColour::scRed);
    return false;
}

bool TSnippetLibrary::addEntry(const std::string& name)
{
    if (findEntry(name) >= 0) {
        status(name + " already exists ", ssPlain, TSnippetColour::scBlack);
        status("duplicates not allowed\n", ssBold, TSnippetColour::scRed);
        return false;
    }
    if (!acceptableName(name))
        return false;
    if (lastEntry + 1 >= kEntryCount) {
        status("Maximum Number of entries for library exceeded\n", ssBold, TSnippetColour::scRed);
        return false;
    }
    ++lastEntry;
    currentEntry = lastEntry;
    libraryEntries[lastEntry] = {name, "// New entry for " + name};
    changed_ = true;
    return true;
}

bool TSnippetLibrary::renameEntry(int index, const std::string& name)
{
    if (index < 0 || index > lastEntry || !acceptableName(name))
        return false;
    if (libraryEntries[index].name != name) {
        libraryEntries[index].name = name;
        changed_ = true;
    }
    return true;
}

void TSnippetLibrary::commitBody(const std::string& text)
{
    if (!bodyEdited)
        return;
    if (currentEntry >= 0 && currentEntry <= lastEntry && libraryEntries[currentEntry].body != text) {
        libraryEntries[currentEntry].body = text;
        changed_ = true;
    }
    bodyEdited = false;
}

std::string TSnippetLibrary::entryLetters() const
{
    std::string letters;
    for (int i = 0; i <= lastEntry; ++i) {
        const std::string& name = libraryEntries[i].name;
        if (name.empty())
            continue;
        const char letter = upperByte(name[0]);
        if (letters.find(letter) == std::string::npos)
            letters += letter;
    }
    std::sort(letters.begin(), letters.end(),
              [](char a, char b) { return static_cast<unsigned char>(a) < static_cast<unsigned char>(b); });
    return letters;
}

std::vector<std::string> TSnippetLibrary::namesUnder(char letter) const
{
    std::vector<std::string> names;
    for (int i = 0; i <= lastEntry; ++i) {
        const std::string& name = libraryEntries[i].name;
        if (!name.empty() && upperByte(name[0]) == letter)
            names.push_back(name);
    }
    return names;
}

int TSnippetLibrary::findEntry(const std::string& name) const
{
    for (int i = lastEntry; i >= 0; --i)
        if (libraryEntries[i].name == name)
            return i;
    return -1;
}

std::vector<std::string> TSnippetLibrary::bodiesOf(const std::string& name) const
{
    std::vector<std::string> bodies;
    for (int i = 0; i <= lastEntry; ++i)
        if (libraryEntries[i].name == name)
            bodies.push_back(libraryEntries[i].body);
    return bodies;
}

std::string removeComments(const std::string& text)
{
    // The closing line end of the body is not part of what is sent.
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') {
        --end;
        if (end > 0 && text[end - 1] == '\r')
            --end;
    } else if (end > 0 && text[end - 1] == '\r') {
        --end;
    }
    std::string out;
    out.reserve(end);
    size_t i = 0;
    while (i < end) {
        if (text[i] == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            // The comment up to its line end, then the line end and the empty lines after it.
            while (i < text.size() && static_cast<unsigned char>(text[i]) >= 14)
                ++i;
            while (i < text.size() && static_cast<unsigned char>(text[i]) <= 14)
                ++i;
            continue;
        }
        out += text[i++];
    }
    return out;
}
