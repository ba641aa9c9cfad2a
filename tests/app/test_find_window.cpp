// The find bar in the main window offscreen, with a pseudo-terminal as the device: finding over a
// full pane, match case, hex terms in both views, a search while data keeps arriving, and its keys.
#include "FindBar.h"
#include "PtyPeer.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>

#include <cstdio>
#include <thread>

namespace {

std::string paneText()
{
    return TWindowFixture::paneText();
}

QString countText()
{
    return frmTerm->findBar->lblFindCount->text();
}

// The line the current match is on, and whether that line is in view.
QString currentLine()
{
    return frmTerm->findBar->currentMatch().block().text();
}

bool currentInView()
{
    QPlainTextEdit* pane = frmTerm->mmoTerm;
    const int line = frmTerm->findBar->currentMatch().blockNumber();
    const int first = pane->verticalScrollBar()->value();
    const int last = pane->cursorForPosition(QPoint(0, pane->viewport()->height() - 1)).blockNumber();
    return line >= first && line <= last;
}

// The highlights: how many, and how many in the current match's colour.
std::pair<int, int> marks()
{
    const QList<QTextEdit::ExtraSelection> all = frmTerm->mmoTerm->extraSelections();
    int current = 0;
    for (const QTextEdit::ExtraSelection& mark : all) {
        if (mark.format.background().color() == QColor(255, 150, 30))
            ++current;
    }
    return {static_cast<int>(all.size()), current};
}

// Ctrl with a letter, with its control code as the text, as the window system delivers it.
void controlKey(QWidget* widget, Qt::Key letter)
{
    const QChar code(letter - Qt::Key_A + 1);
    QTest::sendKeyEvent(QTest::Press, widget, letter, QString(code), Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Release, widget, letter, QString(code), Qt::ControlModifier);
}

void typeTerm(const QString& term)
{
    frmTerm->findBar->edtFind->clear();
    QTest::keyClicks(frmTerm->findBar->edtFind, term);
}

} // namespace

class TestFindBar : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;
    std::unique_ptr<PtyPeer> pty_;

    void startConnected()
    {
        fx_->start("[Comms]\nExtraPorts=" + pty_->SlavePath() + "\nPort=1\n");
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
    }

    // Lines "0000" ... up to count, "Ok" after those numbered 7 in each thousand; as CR LF lines.
    static std::string numberedLines(int count)
    {
        std::string text;
        for (int i = 0; i < count; ++i) {
            char line[32];
            std::snprintf(line, sizeof line, "%04d%s\r\n", i, i % 1000 == 7 ? " Ok" : "");
            text += line;
        }
        return text;
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxfind"); }

    void init()
    {
        pty_ = std::make_unique<PtyPeer>();
        QVERIFY(!pty_->SlavePath().empty());
    }

    void cleanup()
    {
        fx_->stop();
        pty_.reset();
    }

    void cleanupTestCase() { fx_.reset(); }

    void findsOverTenThousandLines()
    {
        startConnected();
        pty_->Write(numberedLines(10000));
        QTRY_VERIFY_WITH_TIMEOUT(paneText().ends_with("9999\n"), 10000);
        const std::string pane = paneText();
        const std::string received = rxBuffer;

        // Ctrl+F from the terminal opens the bar with the focus in its field; nothing is sent.
        frmTerm->mmoTerm->setFocus();
        controlKey(frmTerm->mmoTerm, Qt::Key_F);
        QVERIFY(frmTerm->findBar->isVisible());
        QCOMPARE(QApplication::focusWidget(), frmTerm->findBar->edtFind);
        QCOMPARE(pty_->ReadSome(100), std::string());

        // Typing finds from the top of the view (at the end): the search wraps to the first.
        QTest::keyClicks(frmTerm->findBar->edtFind, "ok");
        QCOMPARE(countText(), QString("1 of 10"));
        QCOMPARE(currentLine(), QString("0007 Ok"));
        QVERIFY(currentInView());
        QCOMPARE(frmTerm->findBar->currentMatch().selectedText(), QString("Ok"));
        QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_Return);
        QCOMPARE(countText(), QString("2 of 10"));
        QCOMPARE(currentLine(), QString("1007 Ok"));
        QVERIFY(currentInView());
        QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(countText(), QString("10 of 10"));
        QCOMPARE(currentLine(), QString("9007 Ok"));
        QVERIFY(currentInView());
        QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_F3);
        QCOMPARE(currentLine(), QString("0007 Ok"));
        QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_F3, Qt::ShiftModifier);
        QCOMPARE(currentLine(), QString("9007 Ok"));
        frmTerm->findBar->btnFindPrev->click();
        QCOMPARE(currentLine(), QString("8007 Ok"));
        frmTerm->findBar->btnFindNext->click();
        QCOMPARE(currentLine(), QString("9007 Ok"));
        // F3 works from the terminal pane as well while the bar is open.
        frmTerm->mmoTerm->setFocus();
        QTest::keyClick(frmTerm->mmoTerm, Qt::Key_F3);
        QCOMPARE(currentLine(), QString("0007 Ok"));
        QCOMPARE(pty_->ReadSome(100), std::string());

        // Only the matches in view are marked, the current one in its own colour.
        QCOMPARE(marks(), std::make_pair(1, 1));
        typeTerm("00");
        QVERIFY(frmTerm->findBar->matchCount() > 100);
        const auto [shown, current] = marks();
        QCOMPARE(current, 1);
        QVERIFY(shown > 1);
        QVERIFY(shown < 200);

        // Match case; a new term is found from the current match on (here "00" in line 0008).
        QCOMPARE(currentLine(), QString("0008"));
        typeTerm("OK");
        QCOMPARE(countText(), QString("2 of 10"));
        frmTerm->findBar->chkMatchCase->setChecked(true);
        QCOMPARE(countText(), QString("not found"));
        QCOMPARE(marks(), std::make_pair(0, 0));
        typeTerm("Ok");
        QCOMPARE(countText(), QString("2 of 10"));
        QCOMPARE(currentLine(), QString("1007 Ok"));

        // Finding changes neither the pane nor what the waits see.
        QCOMPARE(paneText(), pane);
        QCOMPARE(rxBuffer, received);
        QVERIFY(fx_->errors.isEmpty());
    }

    void hexTermsInTheTextAndTheHexView()
    {
        startConnected();
        pty_->Write("temp 2\x1b[1m\xB0" "C bold ok\r\nOK\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("OK") != std::string::npos, 5000);
        frmTerm->Find1->trigger();
        frmTerm->findBar->chkFindHex->setChecked(true);

        // The text view: the characters as shown, as Latin-1 byte values.
        typeTerm("B0 43");
        QCOMPARE(countText(), QString("1 of 1"));
        QCOMPARE(frmTerm->findBar->currentMatch().selectedText(), QString("\u00B0C"));
        typeTerm("6f6B");
        QCOMPARE(countText(), QString("1 of 1")); // hex is bytes: the case matters
        typeTerm("1B 5B"); // the escape is not shown in the text view
        QCOMPARE(countText(), QString("not found"));

        // Bad hex: a red note in the bar and no matches.
        for (const char* bad : {"1G", "1B 5"}) {
            typeTerm(bad);
            QVERIFY2(countText().contains(bad[1] == 'G' ? "is not hex" : "odd number of hex digits"),
                     qPrintable(countText()));
            QVERIFY(frmTerm->findBar->lblFindCount->styleSheet().contains("red"));
            QCOMPARE(frmTerm->findBar->matchCount(), 0);
            QCOMPARE(marks(), std::make_pair(0, 0));
            QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_Return);
        }

        // The hex view: the received bytes, across the gap after the eighth byte of a row.
        frmTerm->HexView1->trigger();
        typeTerm("1B 5B 31 6D");
        QCOMPARE(countText(), QString("1 of 1"));
        QCOMPARE(frmTerm->findBar->currentMatch().selectedText(), QString("1B 5B  31 6D"));
        // The hex pairs and, where the view is wide enough, the characters.
        QVERIFY(marks().second >= 1);
        QCOMPARE(marks().first, marks().second);
        frmTerm->findBar->chkFindHex->setChecked(false);
        typeTerm("ok");
        QCOMPARE(countText(), QString("1 of 2"));
        QVERIFY(!frmTerm->findBar->lblFindCount->styleSheet().contains("red"));
        QVERIFY(fx_->errors.isEmpty());
    }

    void searchWhileDataArrives()
    {
        startConnected();
        // An almost full pane (59 000 of the 64 000 characters it holds), one line near its end
        // marked.
        std::string fill;
        int lines = 0;
        for (; fill.size() - static_cast<size_t>(lines) < 59000; ++lines)
            fill += "line " + std::to_string(lines) + " MARK\r\n";
        const QString marked = QString("line %1 MARK MARK").arg(lines);
        fill += marked.toStdString() + "\r\n";
        for (int i = 1; i <= 20; ++i)
            fill += "line " + std::to_string(lines + i) + " MARK\r\n";
        pty_->Write(fill);
        QTRY_VERIFY_WITH_TIMEOUT(paneText().ends_with("line " + std::to_string(lines + 20) + " MARK\n"), 10000);
        const std::string firstLine = paneText().substr(0, paneText().find('\n'));
        frmTerm->Find1->trigger();
        typeTerm("mark mark");
        QCOMPARE(countText(), QString("1 of 1"));
        QCOMPARE(currentLine(), marked);
        typeTerm("mark");
        const int before = frmTerm->findBar->matchCount();
        QCOMPARE(currentLine(), marked);
        const int index = frmTerm->findBar->currentIndex();

        // A device keeps sending lines that match; the pane fills and trims its start (keeping
        // 16 384 characters, more than all that follows the marked line).
        std::jthread device([this] {
            for (int chunk = 0; chunk < 20; ++chunk) {
                std::string more;
                for (int i = 0; i < 25; ++i)
                    more += "more " + std::to_string(chunk * 25 + i) + " mark\r\n";
                pty_->Write(more);
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        });
        // While it does, the current match stays on its line, in view.
        bool trimmed = false;
        for (int wait = 0; wait < 1000 && !paneText().ends_with("more 499 mark\n"); ++wait) {
            QTest::qWait(20);
            QCOMPARE(currentLine(), marked);
            QCOMPARE(frmTerm->findBar->currentMatch().selectedText(), QString("MARK"));
            QVERIFY(currentInView());
            trimmed = trimmed || !paneText().starts_with(firstLine);
        }
        device.join();
        QVERIFY(paneText().ends_with("more 499 mark\n"));
        QVERIFY(trimmed);

        // At a calm rate the count follows: lines left at the top, matching lines came.
        const QString now = QString::fromStdString(paneText()).toLower();
        const int expected = static_cast<int>(now.count("mark"));
        QVERIFY(expected != before);
        QTRY_COMPARE(frmTerm->findBar->matchCount(), expected);
        QVERIFY(frmTerm->findBar->currentIndex() < index); // lines before it left the pane
        QCOMPARE(countText(), QString("%1 of %2").arg(frmTerm->findBar->currentIndex() + 1).arg(expected));
        QCOMPARE(currentLine(), marked);
        QVERIFY(currentInView());
        frmTerm->findBar->findNext();
        QCOMPARE(currentLine(), marked);
        QCOMPARE(frmTerm->findBar->currentMatch().selectionStart(),
                 frmTerm->findBar->currentMatch().block().position() + marked.lastIndexOf("MARK"));

        // Closed, the pane follows the end again.
        QTest::keyClick(frmTerm->findBar->edtFind, Qt::Key_Escape);
        pty_->Write("last line\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().ends_with("last line\n"), 5000);
        QVERIFY(frmTerm->mmoTerm->textCursor().atEnd());
        QVERIFY(frmTerm->mmoTerm->viewport()->rect().contains(frmTerm->mmoTerm->cursorRect()));
        QVERIFY(fx_->errors.isEmpty());
    }

    void escapeClosesAndTheTerminalKeepsItsKeys()
    {
        startConnected();
        pty_->Write("abc abc\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("abc") != std::string::npos, 5000);
        // A selection of one line in the pane becomes the term.
        QTextCursor select(frmTerm->mmoTerm->document());
        select.setPosition(4);
        select.setPosition(7, QTextCursor::KeepAnchor);
        frmTerm->mmoTerm->setTextCursor(select);
        controlKey(frmTerm->mmoTerm, Qt::Key_F);
        QCOMPARE(frmTerm->findBar->edtFind->text(), QString("abc"));
        QCOMPARE(countText(), QString("2 of 2"));

        // While the bar has the focus, keys go to it; Escape closes it and the terminal gets the focus.
        QTest::keyClicks(frmTerm->findBar->edtFind, "x");
        QCOMPARE(frmTerm->findBar->edtFind->text(), QString("x"));
        QCOMPARE(countText(), QString("not found"));
        QCOMPARE(pty_->ReadSome(100), std::string());
        typeTerm("abc");
        frmTerm->findBar->chkMatchCase->setFocus();
        QTest::keyClick(frmTerm->findBar->chkMatchCase, Qt::Key_Escape);
        QVERIFY(!frmTerm->findBar->isVisible());
        QCOMPARE(QApplication::focusWidget(), frmTerm->mmoTerm);
        QCOMPARE(marks(), std::make_pair(0, 0));

        // The terminal sends its keys as before, Escape and Ctrl with other letters included, also
        // while the bar is open; F3 does nothing with the bar closed.
        QTest::keyClick(frmTerm->mmoTerm, Qt::Key_F3);
        QTest::keyClick(frmTerm->mmoTerm, Qt::Key_Escape);
        controlKey(frmTerm->mmoTerm, Qt::Key_G);
        QCOMPARE(pty_->Read(2, std::chrono::seconds(5)), std::string("\x1b\x07"));
        frmTerm->Find1->trigger();
        QVERIFY(frmTerm->findBar->isVisible());
        QCOMPARE(frmTerm->findBar->edtFind->selectedText(), QString("abc")); // ready to be typed over
        frmTerm->mmoTerm->setFocus();
        QTest::keyClicks(frmTerm->mmoTerm, "q");
        QTest::keyClick(frmTerm->mmoTerm, Qt::Key_Escape);
        QCOMPARE(pty_->Read(2, std::chrono::seconds(5)), std::string("q\x1b"));
        QVERIFY(frmTerm->findBar->isVisible());
        frmTerm->findBar->btnFindClose->click();
        QVERIFY(!frmTerm->findBar->isVisible());
        QVERIFY(fx_->errors.isEmpty());
    }
};

QTEST_MAIN(TestFindBar)
#include "test_find_window.moc"
