// The snippet library: a text file of named pieces of text ("entries") that are sent to the device,
// the 101-entry table it is read into, and the operations on it (load, save, add, rename, the
// comment rule of a send). Plain C++: messages go out through a status sink that the Strings tab
// maps onto the status pane.
//
// File format: line 1 is a header that contains "qxtools" in any letter case; a line starting
// with "[" starts an entry named by the text up to the first "]" (empty when there is none); every
// other line is a line of the current entry's body. Lines are read ended by CR LF or LF alone and
// written ended by CR LF. Lines between the header and the first entry belong to no entry; they
// are kept and written back unchanged.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

enum TSnippetStyle { ssPlain, ssBold };
// The status pane colours the library and the tab use.
enum class TSnippetColour { scBlack, scRed, scTeal };

using TSnippetStatusSink = std::function<void(const std::string& text, TSnippetStyle style, TSnippetColour colour)>;

struct TSnippetEntry {
    std::string name;
    std::string body; // lines each ended by a line feed (as loaded) or as edited in the body pane
};

// What loadLibrary found.
enum class TLoadResult {
    lrLoaded,
    lrNotFound,   // no such file: "File <path>" and "Not Found" reported
    lrNotValid,   // line 1 lacks "qxtools": the tab empties its panes and says "Not a Valid QXT file"
    lrUnreadable, // the file exists but could not be read: reported in red
};

class TSnippetLibrary {
public:
    static constexpr int kEntryCount = 101;

    std::array<TSnippetEntry, kEntryCount> libraryEntries;
    int lastEntry = -1;    // entries 0..lastEntry are in use, in file order; -1 when empty
    int currentEntry = 0;  // the entry the user works on
    bool bodyEdited = false; // the body pane holds changes not yet copied into currentEntry

    // Where the messages go; without a sink they are dropped.
    void setStatusSink(TSnippetStatusSink sink) { sink_ = std::move(sink); }

    // Reads the file into the table. On any failure the library in memory stays as it was (only
    // bodyEdited is cleared when the header is wrong). More than 101 entries: the table is not
    // overrun; every entry beyond the 101st is reported with two bold red lines and left out,
    // together with its body lines.
    TLoadResult loadLibrary(const std::string& path);

    // Writes the library to path as a whole: a temporary file in the same folder renamed over the
    // old one, so a full disk or a crash leaves the old file intact. stamp is the date and time
    // written after "// qxtools - updated ". Refused (with a red line) when the loaded file had
    // entries beyond the 101st, which would be lost. Returns false, with the reason reported in
    // red, when nothing was written.
    bool saveLibrary(const std::string& path, const std::string& stamp);

    // The file text saveLibrary writes.
    std::string libraryText(const std::string& stamp) const;

    // Appends an entry with the body "// New entry for " + name and makes it current. Refused with
    // a message when an entry already has exactly this name, when the name is empty or holds "]"
    // (it would not read back), and when the table is full.
    bool addEntry(const std::string& name);

    // Gives entry index a new name (no duplicate check). Refused with a message, like addEntry,
    // for an empty name or one holding "]".
    bool renameEntry(int index, const std::string& name);

    // When bodyEdited: text becomes the body of currentEntry (when that entry is in use) and
    // bodyEdited is cleared.
    void commitBody(const std::string& text);

    // The first characters of the names 0..lastEntry, upper-cased, without repeats, sorted; names
    // without a first character are left out.
    std::string entryLetters() const;
    // The names 0..lastEntry whose first character, upper-cased, is letter, in file order.
    std::vector<std::string> namesUnder(char letter) const;
    // The number of the last entry 0..lastEntry named exactly name; -1 when there is none.
    int findEntry(const std::string& name) const;
    // The bodies of every entry named exactly name, in file order.
    std::vector<std::string> bodiesOf(const std::string& name) const;

    // True when the library holds changes that are not in its file (added, renamed or edited
    // entries); cleared by a load and a successful save.
    bool changed() const { return changed_; }
    // The number of entries of the loaded file beyond the 101st that were left out.
    int droppedEntries() const { return dropped_; }
    // The lines between the header and the first entry, as read.
    const std::vector<std::string>& preamble() const { return preamble_; }

    // Empties the table and forgets the file's extra lines (a library with no entries).
    void clear();

private:
    void status(const std::string& text, TSnippetStyle style, TSnippetColour colour) const;
    bool acceptableName(const std::string& name) const;

    TSnippetStatusSink sink_;
    std::vector<std::string> preamble_;
    bool changed_ = false;
    int dropped_ = 0;
};

// The program's one snippet library, shared by the Strings tab and whoever asks about unsaved work.
extern TSnippetLibrary snippetLibrary;

// The text of a body in the form it is sent: every "//" starts a comment that runs to the end of
// its line; the comment, its line end and the empty lines right after it vanish, and the next
// line joins onto the text before "//". The closing line end of the body (LF, CR or CR LF) is not
// sent; any other last character is.
std::string removeComments(const std::string& text);

// The upper case of a byte (ASCII letters only; every other byte unchanged).
char upperByte(char c);
