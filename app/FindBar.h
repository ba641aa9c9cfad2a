// The find bar over the terminal pane: a term (text, or bytes as hex pairs), Next and Previous,
// Match case, every match in view highlighted and the current one in a colour of its own, and a
// count. While the pane keeps receiving, the matches are searched again at a calm rate (not for
// every block the pane takes) and the current match stays on its text.
#pragma once

#include "PaneFind.h"

#include <QElapsedTimer>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QToolButton;

class TFindBar : public QWidget {
    Q_OBJECT
public:
    // The matches are searched again at most this often while the pane changes.
    static constexpr int kCalmMs = 200;

    TFindBar(QPlainTextEdit* pane, QWidget* parent);

    QLineEdit* edtFind;
    QCheckBox* chkFindHex;
    QCheckBox* chkMatchCase;
    QToolButton* btnFindPrev;
    QToolButton* btnFindNext;
    QToolButton* btnFindClose;
    QLabel* lblFindCount;

    // Whether the pane shows the hex view (searched in the bytes of its rows).
    std::function<bool()> hexView;

    // Shows the bar with the focus in its field (its text selected; a selection of one line in the
    // pane becomes the term).
    void openBar();
    // Hides the bar and its highlights; the pane gets the focus.
    void closeBar();
    void findNext();
    void findPrevious();

    int matchCount() const { return matches_.count(); }
    // The current match: its number from 0, or -1 when there is none; its text in the pane.
    int currentIndex() const { return currentIndex_; }
    QTextCursor currentMatch() const { return current_; }

    // While the bar shows a current match, the pane keeps its view on it instead of following the
    // end: heldTop gives the first line in view (a null cursor when the view is not held), and
    // after the pane's edit keepTop scrolls back to that line, wherever trimming has moved it.
    QTextCursor heldTop() const;
    void keepTop(const QTextCursor& top);

    // Searches the pane again now and shows the matches in view.
    void refresh();

private:
    bool readTerm(std::u16string& term);
    void termChanged();
    void schedule();
    void highlight();
    void showCount();
    void step(int direction);
    void select(int index);
    int viewTop() const;
    // Where the last line in view is.
    QTextCursor viewBottom() const;

    QPlainTextEdit* pane_;
    TPaneMatches matches_;
    QTextCursor current_;
    int currentIndex_ = -1;
    QString error_;
    bool dirty_ = true; // the pane changed since the last search
    QTimer calm_;
    QElapsedTimer lastRefresh_;
};
