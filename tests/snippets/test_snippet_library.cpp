// The snippet library file without a window: header check, entry lines, the 101-entry limit,
// the bytes a save writes, adding entries, the comment rule of a send, saves that fail and saves
// killed halfway.
#include "AtomicFile.h"
#include "CrashSafety.h"
#include "SnippetLibrary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct TMessage {
    std::string text;
    TSnippetStyle style;
    TSnippetColour colour;
};

class SnippetLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/qx-snippets-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = std::string(tmpl) + "/";
        lib_.setStatusSink([this](const std::string& text, TSnippetStyle style, TSnippetColour colour) {
            messages_.push_back({text, style, colour});
        });
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string write(const std::string& name, const std::string& data)
    {
        const std::string path = dir_ + name;
        EXPECT_TRUE(writeFileAtomically(path, data));
        return path;
    }
    std::string read(const std::string& path)
    {
        std::string data;
        readWholeFile(path, data);
        return data;
    }
    int count(const std::string& text) const
    {
        int n = 0;
        for (const auto& m : messages_)
            n += m.text == text;
        return n;
    }

    std::string dir_;
    TSnippetLibrary lib_;
    std::vector<TMessage> messages_;
};

std::string entries(int n)
{
    std::string text = "// qxtools\n";
    for (int i = 0; i < n; ++i)
        text += "[E" + std::to_string(i) + "]\nbody " + std::to_string(i) + "\n";
    return text;
}

TEST_F(SnippetLibraryTest, HeaderMustNameQxtoolsInAnyCaseAndAFailedLoadKeepsTheLibrary)
{
    ASSERT_EQ(lib_.loadLibrary(write("upper.qxt", "QXTOOLS library\r\n[Clear]\r\n#27[2J\r\n")), TLoadResult::lrLoaded);
    ASSERT_EQ(lib_.lastEntry, 0);
    EXPECT_EQ(lib_.libraryEntries[0].name, "Clear");
    EXPECT_TRUE(messages_.empty());

    // Valid entries do not make up for a header without the word; nothing of the old library is lost.
    lib_.bodyEdited = true;
    EXPECT_EQ(lib_.loadLibrary(write("bad.qxt", "// my library\n[Other]\ntext\n")), TLoadResult::lrNotValid);
    EXPECT_FALSE(lib_.bodyEdited);
    EXPECT_EQ(lib_.lastEntry, 0);
    EXPECT_EQ(lib_.libraryEntries[0].name, "Clear");
    EXPECT_EQ(lib_.libraryEntries[0].body, "#27[2J\n");
    EXPECT_EQ(lib_.loadLibrary(write("empty.qxt", "")), TLoadResult::lrNotValid);

    EXPECT_EQ(lib_.loadLibrary(dir_ + "missing.qxt"), TLoadResult::lrNotFound);
    EXPECT_EQ(lib_.loadLibrary(dir_), TLoadResult::lrNotFound); // a folder is not a library file
    ASSERT_EQ(messages_.size(), 4u);
    EXPECT_EQ(messages_[0].text, "File " + dir_ + "missing.qxt\n");
    EXPECT_EQ(messages_[0].style, ssPlain);
    EXPECT_EQ(messages_[1].text, "Not Found\n");
    EXPECT_EQ(messages_[1].style, ssBold);
    EXPECT_EQ(messages_[1].colour, TSnippetColour::scBlack);
    EXPECT_EQ(lib_.libraryEntries[0].name, "Clear");
}

TEST_F(SnippetLibraryTest, EntryLinesNamesBodiesAndLineEnds)
{
    const std::string path = write("names.qxt", "x qxTools y\r\n"
                                                "kept before the first entry\n"
                                                "\n"
                                                "[Clear] screen\r\n"
                                                "#27[2J\r\n"
                                                "\r\n"
                                                "[Clear\n"
                                                " [not an entry\n"
                                                "last line without end");
    ASSERT_EQ(lib_.loadLibrary(path), TLoadResult::lrLoaded);
    ASSERT_EQ(lib_.lastEntry, 1);
    EXPECT_EQ(lib_.libraryEntries[0].name, "Clear");
    EXPECT_EQ(lib_.libraryEntries[0].body, "#27[2J\n\n");
    EXPECT_EQ(lib_.libraryEntries[1].name, "");
    EXPECT_EQ(lib_.libraryEntries[1].body, " [not an entry\nlast line without end\n");
    EXPECT_EQ(lib_.preamble(), (std::vector<std::string>{"kept before the first entry", ""}));
    EXPECT_FALSE(lib_.changed());

    // A further load replaces the whole table, also the entries the new file does not have.
    ASSERT_EQ(lib_.loadLibrary(write("one.qxt", "qxtools\n[Only]\n")), TLoadResult::lrLoaded);
    EXPECT_EQ(lib_.lastEntry, 0);
    EXPECT_EQ(lib_.libraryEntries[1].name, "");
    EXPECT_EQ(lib_.libraryEntries[1].body, "");
    EXPECT_EQ(lib_.libraryEntries[0].body, "");
    EXPECT_TRUE(lib_.preamble().empty());
}

TEST_F(SnippetLibraryTest, SaveWritesBodiesWithoutTrailingLineEndsEachClosedByOneCrLf)
{
    const std::string path = write("save.qxt", "// qxtools - updated long ago\n"
                                               "; notes of the maker\n"
                                               "[Clear]\n// clear\n#27[2J\n\n\n"
                                               "[Empty]\n"
                                               "[Two]\nline 1\r\nline 2  \t\n");
    ASSERT_EQ(lib_.loadLibrary(path), TLoadResult::lrLoaded);
    ASSERT_TRUE(lib_.saveLibrary(path, "01/02/2026 10:11"));
    EXPECT_EQ(read(path), "// qxtools - updated 01/02/2026 10:11\r\n"
                          "; notes of the maker\r\n"
                          "[Clear]\r\n// clear\r\n#27[2J\r\n"
                          "[Empty]\r\n\r\n"
                          "[Two]\r\nline 1\r\nline 2\r\n");

    // Read back: the same entries; an empty body comes back as one empty line.
    ASSERT_EQ(lib_.loadLibrary(path), TLoadResult::lrLoaded);
    EXPECT_EQ(lib_.libraryEntries[0].body, "// clear\n#27[2J\n");
    EXPECT_EQ(lib_.libraryEntries[1].body, "\n");
    EXPECT_EQ(lib_.libraryEntries[2].body, "line 1\nline 2\n");

    // A body edited in the pane (line feeds only, no closing line end) is written with CR LF.
    lib_.currentEntry = 2;
    lib_.bodyEdited = true;
    lib_.commitBody("a\nb");
    EXPECT_TRUE(lib_.changed());
    EXPECT_NE(lib_.libraryText("t").find("[Two]\r\na\r\nb\r\n"), std::string::npos);
    ASSERT_TRUE(lib_.saveLibrary(path, "t"));
    EXPECT_FALSE(lib_.changed());
}

TEST_F(SnippetLibraryTest, HundredAndOneEntriesFitAndFurtherOnesAreReportedLeftOutAndGuardTheSave)
{
    ASSERT_EQ(lib_.loadLibrary(write("101.qxt", entries(101))), TLoadResult::lrLoaded);
    EXPECT_EQ(lib_.lastEntry, 100);
    EXPECT_TRUE(messages_.empty());
    EXPECT_FALSE(lib_.addEntry("One more"));
    EXPECT_EQ(lib_.lastEntry, 100);
    EXPECT_EQ(count("Maximum Number of entries for library exceeded\n"), 1);
    messages_.clear();

    const std::string data102 = entries(102);
    const std::string path = write("102.qxt", data102);
    ASSERT_EQ(lib_.loadLibrary(path), TLoadResult::lrLoaded);
    EXPECT_EQ(lib_.lastEntry, 100);
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[0].text, "Maximum Number of entries for library exceeded\n");
    EXPECT_EQ(messages_[1].text, "redunce file size\n");
    EXPECT_EQ(messages_[1].style, ssBold);
    EXPECT_EQ(messages_[1].colour, TSnippetColour::scRed);
    // The left-out entry's body does not end up in entry 100.
    EXPECT_EQ(lib_.libraryEntries[100].body, "body 100\n");
    messages_.clear();

    // Saving would drop the entry that was not loaded: refused, the file untouched.
    EXPECT_FALSE(lib_.saveLibrary(path, "now"));
    EXPECT_EQ(read(path), data102);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].text.find("1 entry"), std::string::npos) << messages_[0].text;
    EXPECT_EQ(messages_[0].colour, TSnippetColour::scRed);
}

TEST_F(SnippetLibraryTest, AddEntryRefusesExactDuplicatesAndNamesThatWouldNotReadBack)
{
    ASSERT_EQ(lib_.loadLibrary(write("add.qxt", "qxtools\n[Clear]\nx\n[Hello]\ny\n")), TLoadResult::lrLoaded);
    EXPECT_FALSE(lib_.addEntry("Clear"));
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[0].text, "Clear already exists ");
    EXPECT_EQ(messages_[0].style, ssPlain);
    EXPECT_EQ(messages_[1].text, "duplicates not allowed\n");
    EXPECT_EQ(messages_[1].colour, TSnippetColour::scRed);
    EXPECT_EQ(lib_.lastEntry, 1);
    EXPECT_FALSE(lib_.changed());

    ASSERT_TRUE(lib_.addEntry("clear"));
    EXPECT_EQ(lib_.lastEntry, 2);
    EXPECT_EQ(lib_.currentEntry, 2);
    EXPECT_EQ(lib_.libraryEntries[2].name, "clear");
    EXPECT_EQ(lib_.libraryEntries[2].body, "// New entry for clear");
    EXPECT_TRUE(lib_.changed());

    messages_.clear();
    EXPECT_FALSE(lib_.addEntry(""));
    EXPECT_FALSE(lib_.addEntry("a]b"));
    EXPECT_FALSE(lib_.renameEntry(0, "x]"));
    EXPECT_EQ(lib_.lastEntry, 2);
    EXPECT_EQ(lib_.libraryEntries[0].name, "Clear");
    EXPECT_EQ(messages_.size(), 6u);
}

TEST_F(SnippetLibraryTest, LettersNamesAndLookups)
{
    ASSERT_EQ(lib_.loadLibrary(write("idx.qxt", "qxtools\n[beta]\n[Alpha]\n[\n[Beta]\n[alpha2]\n[%x]\n[Clear\n[Later]\n")),
              TLoadResult::lrLoaded);
    EXPECT_EQ(lib_.entryLetters(), "%ABL");
    EXPECT_EQ(lib_.namesUnder('B'), (std::vector<std::string>{"beta", "Beta"}));
    EXPECT_EQ(lib_.namesUnder('A'), (std::vector<std::string>{"Alpha", "alpha2"}));
    // Names after an entry without a name are still found.
    EXPECT_EQ(lib_.findEntry("Later"), 7);
    EXPECT_EQ(lib_.findEntry("later"), -1);
}

TEST(RemoveComments, CommentsVanishWithTheirLineEndsAndOnlyAClosingLineEndIsDropped)
{
    EXPECT_EQ(removeComments("abc // note\ndef\n"), "abc def");
    EXPECT_EQ(removeComments("#27[2J // clear\n"), "#27[2J ");
    // The empty lines after a comment go with it; the others stay.
    EXPECT_EQ(removeComments("// head\n\n\r\nA\n\nB\n"), "A\n\nB");
    EXPECT_EQ(removeComments("x://y\nz"), "x:z");
    // A body edited in the pane often has no closing line end: its last character is sent.
    EXPECT_EQ(removeComments("Hello"), "Hello");
    EXPECT_EQ(removeComments("H"), "H");
    EXPECT_EQ(removeComments("Hello\r\n"), "Hello");
    EXPECT_EQ(removeComments("Hello\r"), "Hello");
    EXPECT_EQ(removeComments("\n"), "");
    EXPECT_EQ(removeComments(""), "");
    EXPECT_EQ(removeComments("abc //to the end"), "abc ");
    EXPECT_EQ(removeComments("say \"a//b\"\n"), "say \"a");
}

// A folder the library cannot be written into: a tiny tmpfs that fills up, or a read-only mount.
class FailingFolder {
public:
    FailingFolder(const std::string& dir, const char* options) : dir_(dir)
    {
        ::mkdir(dir_.c_str(), 0755);
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, options) == 0;
    }
    ~FailingFolder()
    {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool remountReadOnly()
    {
        return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string dir_;
    bool mounted_ = false;
};

TEST_F(SnippetLibraryTest, ASaveThatCannotBeWrittenLeavesTheOldFileAndSaysSo)
{
    const std::string folder = dir_ + "small/";
    FailingFolder small(folder, "size=16k");
    if (!small.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
    const std::string old = "// qxtools\r\n[Keep]\r\nold text\r\n";
    const std::string path = write("small/lib.qxt", old);

    ASSERT_EQ(lib_.loadLibrary(path), TLoadResult::lrLoaded);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(lib_.addEntry("Big" + std::to_string(i)));
        lib_.libraryEntries[lib_.lastEntry].body = std::string(4000, 'x');
    }
    messages_.clear();
    EXPECT_FALSE(lib_.saveLibrary(path, "now"));
    EXPECT_EQ(read(path), old);
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_NE(messages_[1].text.find("No space left"), std::string::npos) << messages_[1].text;
    EXPECT_EQ(messages_[1].colour, TSnippetColour::scRed);
    EXPECT_TRUE(lib_.changed());
    // No temporary file is left behind.
    EXPECT_EQ(std::system(("test $(ls -A '" + folder + "' | wc -l) -eq 1").c_str()), 0);

    ASSERT_TRUE(small.remountReadOnly());
    messages_.clear();
    lib_.clear();
    ASSERT_TRUE(lib_.addEntry("Small"));
    EXPECT_FALSE(lib_.saveLibrary(path, "now"));
    EXPECT_EQ(read(path), old);
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_NE(messages_[1].text.find("Read-only"), std::string::npos) << messages_[1].text;
}

TEST_F(SnippetLibraryTest, ASaveKilledAtAnyMomentLeavesTheOldOrTheNewLibrary)
{
    // Two libraries saved in turn to one file by a child process that is killed again and again.
    TSnippetLibrary big, other;
    for (int i = 0; i < 101; ++i) {
        ASSERT_TRUE(big.addEntry("Entry" + std::to_string(i)));
        big.libraryEntries[i].body = std::string(3000, static_cast<char>('a' + i % 26));
    }
    ASSERT_TRUE(other.addEntry("Only"));
    const std::string path = dir_ + "lib.qxt";
    const std::vector<std::string> whole{big.libraryText("one"), other.libraryText("two")};
    std::vector<int> seen;
    EXPECT_EQ(killWhileSaving(path,
                              [&](int round) {
                                  if (round % 2)
                                      other.saveLibrary(path, "two");
                                  else
                                      big.saveLibrary(path, "one");
                              },
                              whole, 40, &seen),
              "");
    std::printf("kills finding the big / the small library: %d / %d\n", seen[0], seen[1]);
    EXPECT_EQ(lib_.loadLibrary(path), TLoadResult::lrLoaded);
}

} // namespace
