// Benchmark of the snippet library (prints figures; not a test): load, letter index and save of a
// library of 101 entries of 10 KB each, first in the plain library, then through the Strings tab
// (offscreen): a click on the file (load and letter index), a letter, a name (its body in the
// pane) and Save.
#include "SnippetLibrary.h"
#include "StringsTab.h"
#include "ToolTestFrame.h"
#include "ToolContext.h"

#include "VaComm.h"

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-34s n=%zu  median %.3f ms  p90 %.3f ms  min %.3f ms  max %.3f ms\n", what, v.size(),
                v[v.size() / 2], v[v.size() * 9 / 10], v.front(), v.back());
}

// 101 entries under 26 letters, each body about 10 KB of 64-character lines with comments.
std::string bigLibrary()
{
    std::string text = "// qxtools - benchmark library\r\n";
    for (int i = 0; i < 101; ++i) {
        text += "[" + std::string(1, static_cast<char>('A' + i % 26)) + "entry " + std::to_string(i) + "]\r\n";
        size_t body = 0;
        for (int line = 0; body < 10240; ++line) {
            std::string l = "#27[" + std::to_string(line % 40) + ";1H text of line " + std::to_string(line)
                            + " // a comment";
            l.resize(62, '.');
            text += l + "\r\n";
            body += l.size() + 1;
        }
    }
    return text;
}

// The window around the tab, with a port that stays closed.
class TBenchFrame : public TToolTestFrame {
public:
    TBenchFrame() : tab(new TStringsTab(context, this))
    {
        layout->insertWidget(0, tab, 1);
        tab->resize(900, 500);
    }
    TStringsTab* tab;
};

void clickOn(TSnippetPane* pane, int position)
{
    QTextCursor cursor(pane->document());
    cursor.setPosition(position);
    QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, pane->cursorRect(cursor).center() + QPoint(2, 0));
}

void benchTab(const std::string& dir, int rounds)
{
    TBenchFrame frame;
    frame.show();
    TStringsTab& tab = *frame.tab;
    tab.setLibraryFolder(dir, "big.qxt");
    std::vector<double> load, letter, name, save;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        clickOn(tab.reLibNames, 0);
        auto t1 = Clock::now();
        clickOn(tab.reTop, 3 * (r % 26));
        auto t2 = Clock::now();
        clickOn(tab.reLeft, 0);
        auto t3 = Clock::now();
        // Something to save: a key in the body pane.
        QTest::keyClick(tab.reRight, Qt::Key_Right);
        auto t4 = Clock::now();
        tab.tbSaveLib->click();
        auto t5 = Clock::now();
        if (snippetLibrary.lastEntry != 100 || tab.reRight->toPlainText().size() < 10000 || tab.tbSaveLib->isEnabled()) {
            std::printf("tab round %d went wrong\n", r);
            return;
        }
        load.push_back(ms(t1 - t0));
        letter.push_back(ms(t2 - t1));
        name.push_back(ms(t3 - t2));
        save.push_back(ms(t5 - t4));
    }
    report("tab: file click (load + index)", load);
    report("tab: letter click (names)", letter);
    report("tab: name click (10 KB body)", name);
    report("tab: Save", save);
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    char tmpl[] = "/tmp/qx-snippets-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const std::string dir = std::string(tmpl) + "/";
    const std::string source = dir + "big.qxt";
    const std::string target = dir + "saved.qxt"; // the plain saves go beside the source
    {
        FILE* f = std::fopen(source.c_str(), "wb");
        const std::string data = bigLibrary();
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
        std::printf("library: 101 entries, %zu bytes\n", data.size());
    }

    TSnippetLibrary lib;
    std::vector<double> load, index, save, send;
    size_t sink = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        if (lib.loadLibrary(source) != TLoadResult::lrLoaded)
            return 1;
        auto t1 = Clock::now();
        // The letter index and the names under every letter, as the Strings tab asks for them.
        const std::string letters = lib.entryLetters();
        for (const char letter : letters)
            sink += lib.namesUnder(letter).size();
        sink += static_cast<size_t>(lib.findEntry("Zentry 25"));
        auto t2 = Clock::now();
        if (!lib.saveLibrary(target, "01/02/2026 10:11"))
            return 1;
        auto t3 = Clock::now();
        sink += removeComments(lib.libraryEntries[r % 101].body).size();
        auto t4 = Clock::now();
        load.push_back(ms(t1 - t0));
        index.push_back(ms(t2 - t1));
        save.push_back(ms(t3 - t2));
        send.push_back(ms(t4 - t3));
    }
    report("load (101 x 10 KB)", load);
    report("letter index and name lists", index);
    report("save (atomic, fsync)", save);
    report("removeComments of one 10 KB body", send);
    std::printf("(%zu)\n", sink);
    benchTab(dir, std::min(rounds, 30));
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
