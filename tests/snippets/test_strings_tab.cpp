// The Strings tab offscreen in a small window of its own, clicked at places in its panes: the file
// list, the letter index and the names, edits kept or asked about, sends to a pseudo-terminal,
// renaming and adding entries, and the emptied panes after an activation.
#include "AtomicFile.h"
#include "Messages.h"
#include "PtyPeer.h"
#include "SnippetLibrary.h"
#include "HandOver.h"
#include "StringsTab.h"
#include "ToolTestFrame.h"
#include "ToolContext.h"

#include "VaClasses.h"
#include "VaComm.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>

namespace {

// The window around the tab.
class TTestFrame : public TToolTestFrame {
public:
    TTestFrame() : tab(new TStringsTab(context, this)) { layout->insertWidget(0, tab, 1); }
    TStringsTab* tab;
};

// A point on character position `at` of a pane (between the caret places at and at + 1).
QPoint pointAt(TSnippetPane* pane, int at)
{
    QTextCursor cursor(pane->document());
    cursor.setPosition(at);
    const QRect left = pane->cursorRect(cursor);
    cursor.setPosition(std::min(at + 1, pane->document()->characterCount() - 1));
    const QRect right = pane->cursorRect(cursor);
    const int x = right.left() > left.left() ? (left.left() + right.left()) / 2 : left.left() + 2;
    return {x, left.center().y()};
}

void clickAt(TSnippetPane* pane, int at, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mouseClick(pane->viewport(), button, {}, pointAt(pane, at));
}

// Clicks on the caret place `at` of a pane (the boundary before character at).
void clickCaret(TSnippetPane* pane, int at)
{
    QTextCursor cursor(pane->document());
    cursor.setPosition(at);
    QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, pane->cursorRect(cursor).center());
}

// Clicks on the line of a pane that holds text, a few characters into it.
void clickLine(TSnippetPane* pane, const QString& text, Qt::MouseButton button = Qt::LeftButton)
{
    const QTextBlock block = pane->document()->find(text).block();
    QVERIFY2(block.isValid() && block.text() == text, qPrintable(text));
    clickAt(pane, block.position() + std::min(2, static_cast<int>(text.size()) - 1), button);
}

QStringList lines(TSnippetPane* pane)
{
    QStringList list = pane->paneText().split('\n');
    while (!list.isEmpty() && list.back().isEmpty())
        list.removeLast();
    return list;
}

QTextCharFormat formatAt(TSnippetPane* pane, int at)
{
    QTextCursor cursor(pane->document());
    cursor.setPosition(at + 1);
    return cursor.charFormat();
}

std::string readFile(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

const char* const kDisplay = "// qxtools - test library\r\n"
                             "[beta]\r\nb one\r\n"
                             "[Alpha]\r\n// first entry\r\nalpha text\r\n"
                             "[Clear]\r\n#27[2J // clear\r\n"
                             "[Beta2]\r\nb two\r\n"
                             "[zed]\r\nlast\r\n";

} // namespace

class TestStringsTab : public QObject {
    Q_OBJECT

private:
    std::string dir_;
    std::unique_ptr<TTestFrame> frame_;
    TStringsTab* tab_ = nullptr;
    QStringList errors_;
    QStringList questions_;
    int choice_ = QMessageBox::Cancel;
    QStringList inputs_;
    QString answer_;

    std::string folder() const { return dir_ + "lib/"; }
    QString status() const { return frame_->status->toPlainText(); }

    void open(const QString& file)
    {
        clickLine(tab_->reLibNames, file);
    }
    // Loads the display library and shows entry name under its letter.
    void showEntry(const QString& name)
    {
        const QString index = tab_->reTop->paneText();
        const int at = index.indexOf(name.left(1).toUpper());
        QVERIFY(at >= 0);
        clickAt(tab_->reTop, at);
        clickLine(tab_->reLeft, name);
        QCOMPARE(tab_->reRight->isReadOnly(), false);
    }

private slots:
    void initTestCase()
    {
        char tmpl[] = "/tmp/qx-strings-XXXXXX";
        dir_ = std::string(::mkdtemp(tmpl)) + "/";
        installHandOver();
        setMessageHandler([this](TQxMessageKind kind, const QString& text) {
            if (kind == TQxMessageKind::mkError)
                errors_ << text;
        });
        setChoiceHandler([this](const QString& text) {
            questions_ << text;
            return choice_;
        });
        TStringsTab::setInputBoxHandler([this](const QString& title, const QString& prompt, const QString& preset) {
            inputs_ << title + "|" + prompt + "|" + preset;
            return answer_.isNull() ? preset : answer_;
        });
    }

    void init()
    {
        std::system(("rm -rf '" + folder() + "' && mkdir -p '" + folder() + "sub.qxt'").c_str());
        writeFileAtomically(folder() + "display.qxt", kDisplay);
        writeFileAtomically(folder() + "OTHER.QXT", "QXTOOLS\n[Other]\nother text\n");
        writeFileAtomically(folder() + "bad.qxt", "// no header word\n[Valid]\nx\n");
        writeFileAtomically(folder() + "notes.txt", "qxtools\n");
        snippetLibrary.clear();
        snippetLibrary.currentEntry = 0;
        snippetLibrary.bodyEdited = false;
        frame_ = std::make_unique<TTestFrame>();
        tab_ = frame_->tab;
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
        tab_->resetStringsTab();
        tab_->setLibraryFolder(folder(), "*.qxt");
        errors_.clear();
        questions_.clear();
        inputs_.clear();
        answer_ = QString();
        choice_ = QMessageBox::Cancel;
    }

    void cleanup()
    {
        frame_.reset();
        tab_ = nullptr;
    }

    void cleanupTestCase()
    {
        TStringsTab::setInputBoxHandler({});
        setChoiceHandler({});
        setMessageHandler({});
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    void filesLettersNamesAndBodiesFollowTheClicks()
    {
        QCOMPARE(tab_->lblNote->text(), QString("This screen is work in progress for this version"));
        QCOMPARE(tab_->lblCurrentPath->text(), QString::fromStdString(folder()));
        QCOMPARE(lines(tab_->reLibNames), QStringList({"bad.qxt", "display.qxt", "OTHER.QXT", "sub.qxt"}));
        QVERIFY(!tab_->tbAddNew->isEnabled());

        open("display.qxt");
        QCOMPARE(tab_->lblCurrentName->text(), QString("display.qxt"));
        QVERIFY(status().endsWith("[display.qxt]\n"));
        QCOMPARE(tab_->reTop->paneText(), QString("A  B  C  Z  "));
        QVERIFY(formatAt(tab_->reTop, 3).font().bold());
        QCOMPARE(formatAt(tab_->reTop, 3).foreground().color(), QColor(0, 0, 255));
        QVERIFY(!formatAt(tab_->reTop, 4).font().bold());
        QVERIFY(tab_->tbAddNew->isEnabled());
        QVERIFY(!tab_->tbSaveLib->isEnabled());
        QCOMPARE(tab_->saveImage(), TStringsTab::kImageNothingToSave);

        clickAt(tab_->reTop, 3); // on "B"
        QCOMPARE(lines(tab_->reLeft), QStringList({"beta", "Beta2"}));
        clickCaret(tab_->reTop, 2); // between the two spaces after "A": nothing
        QVERIFY(tab_->reLeft->paneText().isEmpty());

        clickAt(tab_->reTop, 0);
        clickLine(tab_->reLeft, "Alpha");
        QCOMPARE(tab_->reRight->paneText(), QString("// first entry\nalpha text\n"));
        QCOMPARE(snippetLibrary.currentEntry, 1);
        // A click below the names changes nothing.
        QTest::mouseClick(tab_->reLeft->viewport(), Qt::LeftButton, {}, QPoint(5, tab_->reLeft->viewport()->height() - 3));
        QCOMPARE(snippetLibrary.currentEntry, 1);
        QCOMPARE(tab_->reRight->paneText(), QString("// first entry\nalpha text\n"));

        // A file with the wrong header: the panes are emptied and say so; the library stays.
        open("bad.qxt");
        QCOMPARE(tab_->reTop->paneText(), QString("Not a Valid QXT file"));
        QVERIFY(tab_->reRight->paneText().isEmpty());
        QVERIFY(!tab_->tbSaveLib->isEnabled());
        QVERIFY(!tab_->tbAddNew->isEnabled());
        QCOMPARE(snippetLibrary.libraryEntries[1].name, std::string("Alpha"));
        QVERIFY(errors_.isEmpty());
    }

    void editsStayInTheLibraryAndAnotherFileAsksFirst()
    {
        open("display.qxt");
        showEntry("Alpha");
        QTest::keyClick(tab_->reRight, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClicks(tab_->reRight, "more");
        QVERIFY(tab_->tbSaveLib->isEnabled());
        QCOMPARE(tab_->saveImage(), TStringsTab::kImageSomethingToSave);
        showEntry("beta");
        QCOMPARE(snippetLibrary.libraryEntries[1].body, std::string("// first entry\nalpha text\nmore"));
        showEntry("Alpha");
        QCOMPARE(tab_->reRight->paneText(), QString("// first entry\nalpha text\nmore\n"));

        // Cancel: nothing changes, the edited library stays loaded.
        choice_ = QMessageBox::Cancel;
        open("OTHER.QXT");
        QCOMPARE(questions_.size(), 1);
        QVERIFY2(questions_[0].contains("display.qxt"), qPrintable(questions_[0]));
        QCOMPARE(tab_->lblCurrentName->text(), QString("display.qxt"));
        QCOMPARE(snippetLibrary.libraryEntries[0].name, std::string("beta"));
        QCOMPARE(tab_->reRight->paneText(), QString("// first entry\nalpha text\nmore\n"));

        // No: the edit is dropped, the file on disk untouched.
        choice_ = QMessageBox::No;
        open("OTHER.QXT");
        QCOMPARE(questions_.size(), 2);
        QCOMPARE(snippetLibrary.libraryEntries[0].name, std::string("Other"));
        QCOMPARE(readFile(folder() + "display.qxt"), std::string(kDisplay));
        QVERIFY(!tab_->hasUnsavedChanges());

        // Yes: saved first, also an edit still in the body pane.
        open("display.qxt");
        QCOMPARE(questions_.size(), 2); // nothing unsaved, no question
        showEntry("zed");
        QTest::keyClick(tab_->reRight, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(tab_->reRight, "new last");
        choice_ = QMessageBox::Yes;
        open("OTHER.QXT");
        QCOMPARE(questions_.size(), 3);
        QCOMPARE(snippetLibrary.libraryEntries[0].name, std::string("Other"));
        const std::string saved = readFile(folder() + "display.qxt");
        QVERIFY2(saved.find("[zed]\r\nnew last\r\n") != std::string::npos, saved.c_str());
        QVERIFY(saved.rfind("// qxtools - updated ", 0) == 0);
        QVERIFY(status().contains("Current index =4\n"));
    }

    void sendWritesTheEditedEntryWithoutCommentsOnlyOnAnOpenPort()
    {
        PtyPeer peer;
        open("display.qxt");
        showEntry("Clear");
        // Closed port: nothing sent, and the status pane says why.
        const QString before = status();
        tab_->cmdSend->click();
        QCOMPARE(status(), before + "Com Port must be open first\n");

        frame_->port.SetDeviceName(peer.SlavePath());
        frame_->port.Open();
        QVERIFY(frame_->port.Active());
        tab_->cmdSend->click();
        QCOMPARE(peerRead(peer, 5), std::string("\x1b[2J "));
        QVERIFY(status().endsWith("[\x1b[2J ]\n"));

        // An edit without a closing line end is sent whole.
        showEntry("zed");
        QTest::keyClick(tab_->reRight, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(tab_->reRight, "Hello // greet");
        QTest::keyClick(tab_->reRight, Qt::Key_Return);
        QTest::keyClicks(tab_->reRight, "World");
        tab_->cmdSend->click();
        QCOMPARE(peerRead(peer, 11), std::string("Hello World"));

        // A "#" without two digits: an error, nothing sent.
        QTest::keyClick(tab_->reRight, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(tab_->reRight, "#2x");
        tab_->cmdSend->click();
        QCOMPARE(errors_.size(), 1);
        QCOMPARE(peerRead(peer, 1, 200), std::string());
        frame_->port.Close();
    }

    void renameAndAddEntries()
    {
        open("display.qxt");
        showEntry("beta");
        answer_ = "Quux";
        tab_->EditID1->trigger();
        QCOMPARE(inputs_.back(), QString("New name for entry |Name|beta"));
        QCOMPARE(lines(tab_->reLeft), QStringList({"Quux"}));
        QCOMPARE(tab_->reTop->paneText(), QString("A  B  C  Z  ")); // the index waits for the next load
        QVERIFY(tab_->tbSaveLib->isEnabled());
        QCOMPARE(snippetLibrary.libraryEntries[0].name, std::string("Quux"));
        // The body of the renamed entry survives the next click.
        clickLine(tab_->reLeft, "Quux");
        QCOMPARE(tab_->reRight->paneText(), QString("b one\n"));

        // The pop-up works on the name last clicked, also with the right button.
        clickAt(tab_->reTop, 0);
        clickLine(tab_->reLeft, "Alpha", Qt::RightButton);
        if (tab_->PopupMenu1->isVisible())
            tab_->PopupMenu1->hide();
        QCOMPARE(tab_->reRight->paneText(), QString("// first entry\nalpha text\n"));
        answer_ = QString(); // dismissed: the old name, nothing happens
        tab_->EditID1->trigger();
        QCOMPARE(snippetLibrary.libraryEntries[1].name, std::string("Alpha"));

        answer_ = "Clear";
        tab_->tbAddNew->click();
        QCOMPARE(inputs_.back(), QString("Add new entry to this file|Name|test"));
        QVERIFY(status().endsWith("Clear already exists duplicates not allowed\n"));
        QCOMPARE(snippetLibrary.lastEntry, 4);

        answer_ = "new one";
        tab_->AddNew1->trigger();
        QCOMPARE(snippetLibrary.lastEntry, 5);
        QCOMPARE(tab_->reTop->paneText(), QString("A  B  C  N  Q  Z  "));
        QCOMPARE(lines(tab_->reLeft), QStringList({"new one"}));
        QCOMPARE(tab_->reRight->paneText(), QString("// New entry for new one\n"));
        QVERIFY(tab_->reRight->hasFocus());
        QVERIFY(tab_->tbSaveLib->isEnabled());

        tab_->tbSaveLib->click();
        QVERIFY(!tab_->tbSaveLib->isEnabled());
        QCOMPARE(tab_->saveImage(), TStringsTab::kImageNothingToSave);
        QVERIFY(!tab_->hasUnsavedChanges());
        const std::string saved = readFile(folder() + "display.qxt");
        QVERIFY2(saved.find("[Quux]\r\nb one\r\n") != std::string::npos, saved.c_str());
        QVERIFY2(saved.find("[new one]\r\n// New entry for new one\r\n") != std::string::npos, saved.c_str());
    }

    void activationEmptiesThePanesAndKeepsTyping()
    {
        open("display.qxt");
        showEntry("Alpha");
        QTest::keyClick(tab_->reRight, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(tab_->reRight, "typed");
        tab_->resetStringsTab();
        for (TSnippetPane* pane : {tab_->reLibNames, tab_->reTop, tab_->reLeft, tab_->reRight})
            QVERIFY2(pane->paneText().isEmpty(), qPrintable(pane->objectName()));
        QCOMPARE(snippetLibrary.libraryEntries[1].body, std::string("typed"));
        QVERIFY(tab_->tbSaveLib->isEnabled()); // still something to save
        QCOMPARE(tab_->lblCurrentName->text(), QString("display.qxt"));
        // Typing into the empty body pane is no edit of any entry.
        QTest::keyClicks(tab_->reRight, "junk");
        QVERIFY(tab_->reRight->paneText().isEmpty());

        // The next device selection lists the files again; a click reloads from disk.
        tab_->setLibraryFolder(folder(), "*.qxt");
        QCOMPARE(lines(tab_->reLibNames).size(), 4);
        writeFileAtomically(folder() + "display.qxt", "qxtools\r\n[Fresh]\r\nfrom disk\r\n");
        choice_ = QMessageBox::No;
        open("display.qxt");
        QCOMPARE(questions_.size(), 1);
        QCOMPARE(tab_->reTop->paneText(), QString("F  "));
        QCOMPARE(snippetLibrary.libraryEntries[0].name, std::string("Fresh"));
    }

    void aFailedSaveKeepsTheWorkOffered()
    {
        open("display.qxt");
        showEntry("Alpha");
        QTest::keyClicks(tab_->reRight, "x");
        // The library's folder turns into a file: the save cannot create its temporary file.
        std::system(("mv '" + folder() + "' '" + dir_ + "moved' && touch '" + folder().substr(0, folder().size() - 1) + "'").c_str());
        tab_->tbSaveLib->click();
        QVERIFY(status().contains("Not saved"));
        QVERIFY(tab_->tbSaveLib->isEnabled());
        QCOMPARE(tab_->saveImage(), TStringsTab::kImageSomethingToSave);
        QVERIFY(tab_->hasUnsavedChanges());
        std::system(("rm -f '" + folder().substr(0, folder().size() - 1) + "' && mv '" + dir_ + "moved' '" + folder() + "'").c_str());
        QCOMPARE(readFile(folder() + "display.qxt"), std::string(kDisplay));
    }
};

QTEST_MAIN(TestStringsTab)
#include "test_strings_tab.moc"
