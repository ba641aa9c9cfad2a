// The snippet library loader on any file: the table is never overrun, a loaded library saves and
// loads back to the same text, a library that lost entries is not saved, and the send form of a
// body never grows.
#include "FuzzSupport.h"
#include "SnippetLibrary.h"

namespace {

std::string describe(const TSnippetLibrary& lib)
{
    return std::to_string(lib.lastEntry + 1) + " entries, " + std::to_string(lib.droppedEntries()) + " dropped";
}

std::string withoutCrsBeforeLf(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            while (!out.empty() && out.back() == '\r')
                out.pop_back();
        out += c;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string path = fuzz::tempDir() + "library.qxt";
    const std::string again = fuzz::tempDir() + "again.qxt";
    fuzz::writeFile(path, content);

    TSnippetLibrary lib;
    int messages = 0;
    lib.setStatusSink([&](const std::string&, TSnippetStyle, TSnippetColour) { ++messages; });
    const TLoadResult result = lib.loadLibrary(path);
    const size_t lineEnd = content.find('\n');
    std::string header = content.substr(0, lineEnd);
    for (char& c : header)
        c = upperByte(c);
    const bool valid = header.find("QXTOOLS") != std::string::npos;
    FUZZ_CHECK((result == TLoadResult::lrLoaded) == valid, "load result %d for header '%s'", static_cast<int>(result),
               fuzz::shown(header).c_str());
    if (!valid) {
        FUZZ_CHECK(lib.lastEntry == -1, "an invalid file filled the table");
        return 0;
    }
    FUZZ_CHECK(lib.lastEntry >= -1 && lib.lastEntry < TSnippetLibrary::kEntryCount, "%s", describe(lib).c_str());
    FUZZ_CHECK(lib.droppedEntries() == 0 || lib.lastEntry == TSnippetLibrary::kEntryCount - 1, "%s",
               describe(lib).c_str());
    FUZZ_CHECK(messages == 2 * lib.droppedEntries(), "%d messages for %s", messages, describe(lib).c_str());
    for (int i = 0; i <= lib.lastEntry; ++i) {
        const TSnippetEntry& e = lib.libraryEntries[i];
        FUZZ_CHECK(e.name.find(']') == std::string::npos, "entry %d is named '%s'", i, fuzz::shown(e.name).c_str());
        const std::string sent = removeComments(e.body);
        FUZZ_CHECK(sent.size() <= e.body.size(), "the send form of entry %d grew", i);
        FUZZ_CHECK(sent.find("//") == std::string::npos, "entry %d sends a comment: '%s'", i,
                   fuzz::shown(sent).c_str());
    }

    if (lib.droppedEntries() > 0) {
        FUZZ_CHECK(!lib.saveLibrary(again, "stamp"), "a library that lost entries was saved");
        return 0;
    }
    // Saved and loaded again, the library writes the same text: nothing is lost or added by the file.
    const std::string first = lib.libraryText("stamp");
    FUZZ_CHECK(lib.saveLibrary(again, "stamp"), "saving failed");
    FUZZ_CHECK(fuzz::readFile(again) == first, "the saved file is not the library text");
    TSnippetLibrary back;
    FUZZ_CHECK(back.loadLibrary(again) == TLoadResult::lrLoaded, "the saved file does not load");
    FUZZ_CHECK(back.lastEntry == lib.lastEntry, "%d entries came back of %d", back.lastEntry + 1, lib.lastEntry + 1);
    for (int i = 0; i <= lib.lastEntry; ++i)
        FUZZ_CHECK(back.libraryEntries[i].name == lib.libraryEntries[i].name, "entry %d renamed", i);
    FUZZ_CHECK(back.preamble() == lib.preamble(), "the lines before the first entry changed");
    // A CR at the end of a line's text cannot be told from the CR of its line end, so only those
    // may go.
    const std::string second = back.libraryText("stamp");
    FUZZ_CHECK(withoutCrsBeforeLf(second) == withoutCrsBeforeLf(first), "saved twice: '%s' then '%s'", fuzz::shown(first).c_str(),
               fuzz::shown(second).c_str());
    return 0;
}
