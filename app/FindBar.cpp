#include "FindBar.h"

#include "TermTools.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolButton>

#include <algorithm>

namespace {

// Readable on the pane's own colours, whatever they are: dark text on light marks.
QTextCharFormat markFormat(const QColor& background)
{
    QTextCharFormat format;
    format.setBackground(background);
    format.setForeground(Qt::black);
    return format;
}

// Enter and Shift+Enter in the field: the next and the previous match.
class TReturnKeys : public QObject {
public:
    explicit TReturnKeys(TFindBar* bar) : QObject(bar), bar_(bar) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                if (key->modifiers() & Qt::ShiftModifier)
                    bar_->findPrevious();
                else
                    bar_->findNext();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TFindBar* bar_;
};

} // namespace

TFindBar::TFindBar(QPlainTextEdit* pane, QWidget* parent) : QWidget(parent), pane_(pane)
{
    setObjectName("pnlFind");
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 2);
    layout->setSpacing(2);
    edtFind = new QLineEdit(this);
    edtFind->setObjectName("edtFind");
    edtFind->setPlaceholderText("Find (Enter: next, Shift+Enter: previous, Escape: close)");
    edtFind->installEventFilter(new TReturnKeys(this));
    chkFindHex = new QCheckBox("Hex", this);
    chkFindHex->setObjectName("chkFindHex");
    chkFindHex->setToolTip("The term is bytes as hex pairs, as in 1B 5B 32 4A");
    chkMatchCase = new QCheckBox("Match case", this);
    chkMatchCase->setObjectName("chkMatchCase");
    const auto button = [this](const char* name, const QString& text, const QString& tip) {
        auto* b = new QToolButton(this);
        b->setObjectName(name);
        b->setText(text);
        b->setToolTip(tip);
        return b;
    };
    btnFindPrev = button("btnFindPrev", "Previous", "Previous match (Shift+F3)");
    btnFindNext = button("btnFindNext", "Next", "Next match (F3)");
    btnFindClose = button("btnFindClose", QString(QChar(0x00D7)), "Close (Escape)");
    lblFindCount = new QLabel(this);
    lblFindCount->setObjectName("lblFindCount");
    lblFindCount->setMinimumWidth(lblFindCount->fontMetrics().horizontalAdvance("99999 of 99999"));
    layout->addWidget(edtFind, 1);
    layout->addWidget(chkFindHex);
    layout->addWidget(chkMatchCase);
    layout->addWidget(btnFindPrev);
    layout->addWidget(btnFindNext);
    layout->addWidget(lblFindCount);
    layout->addWidget(btnFindClose);
    hide();

    connect(edtFind, &QLineEdit::textEdited, this, &TFindBar::termChanged);
    connect(chkFindHex, &QCheckBox::toggled, this, &TFindBar::termChanged);
    connect(chkMatchCase, &QCheckBox::toggled, this, &TFindBar::termChanged);
    connect(btnFindNext, &QToolButton::clicked, this, &TFindBar::findNext);
    connect(btnFindPrev, &QToolButton::clicked, this, &TFindBar::findPrevious);
    connect(btnFindClose, &QToolButton::clicked, this, &TFindBar::closeBar);
    // F3 and Shift+F3 anywhere in the window while the bar is shown (the terminal sends no
    // function keys); Escape only within the bar, as the terminal sends it to the device.
    auto* next = new QShortcut(QKeySequence(Qt::Key_F3), this);
    auto* previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), this);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(next, &QShortcut::activated, this, &TFindBar::findNext);
    connect(previous, &QShortcut::activated, this, &TFindBar::findPrevious);
    connect(escape, &QShortcut::activated, this, &TFindBar::closeBar);

    // The pane's changes and scrolling bring a search at a calm rate, not one per block received.
    calm_.setSingleShot(true);
    connect(&calm_, &QTimer::timeout, this, [this] {
        if (dirty_)
            refresh();
        else
            highlight();
    });
    connect(pane_->document(), &QTextDocument::contentsChange, this, [this] {
        dirty_ = true;
        schedule();
    });
    connect(pane_->verticalScrollBar(), &QScrollBar::valueChanged, this, &TFindBar::schedule);
    connect(pane_->horizontalScrollBar(), &QScrollBar::valueChanged, this, &TFindBar::schedule);
}

void TFindBar::openBar()
{
    const QTextCursor selection = pane_->textCursor();
    const QString selected = selection.selectedText();
    const bool takeSelection = !selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator);
    if (takeSelection) {
        edtFind->setText(selected);
        chkFindHex->setChecked(false);
        current_ = selection; // found from there
    }
    const bool opening = isHidden();
    show();
    edtFind->setFocus();
    edtFind->selectAll();
    if (opening || takeSelection)
        termChanged();
}

void TFindBar::closeBar()
{
    hide();
    calm_.stop();
    matches_ = TPaneMatches{};
    current_ = QTextCursor();
    currentIndex_ = -1;
    pane_->setExtraSelections({});
    pane_->setFocus();
}

void TFindBar::findNext()
{
    step(1);
}

void TFindBar::findPrevious()
{
    step(-1);
}

QTextCursor TFindBar::heldTop() const
{
    if (isHidden() || !current_.hasSelection())
        return {};
    return QTextCursor(pane_->document()->findBlockByNumber(pane_->verticalScrollBar()->value()));
}

void TFindBar::keepTop(const QTextCursor& top)
{
    if (!top.isNull())
        pane_->verticalScrollBar()->setValue(top.blockNumber());
}

bool TFindBar::readTerm(std::u16string& term)
{
    error_.clear();
    const QString text = edtFind->text();
    if (!chkFindHex->isChecked()) {
        term.assign(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
        return true;
    }
    std::string bytes, error;
    if (!parseHexBytes(text.toStdString(), bytes, error)) {
        error_ = QString::fromStdString(error);
        return false;
    }
    term.clear();
    for (const char c : bytes)
        term += static_cast<char16_t>(static_cast<unsigned char>(c));
    return true;
}

void TFindBar::refresh()
{
    calm_.stop();
    lastRefresh_.start();
    dirty_ = false;
    std::u16string term;
    if (isHidden() || !readTerm(term) || term.empty()) {
        matches_ = TPaneMatches{};
    } else {
        const QString text = pane_->document()->toRawText();
        const std::u16string_view pane(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
        const bool foldCase = !chkFindHex->isChecked() && !chkMatchCase->isChecked();
        matches_ = hexView && hexView() ? findInHexRows(pane, term, foldCase) : findInText(pane, term, foldCase);
    }
    // The current match is the one still on the same text, if the pane kept it.
    currentIndex_ = current_.hasSelection()
        ? matches_.indexOf({current_.selectionStart(), current_.selectionEnd() - current_.selectionStart()})
        : -1;
    if (currentIndex_ < 0)
        current_ = QTextCursor();
    highlight();
    showCount();
}

void TFindBar::termChanged()
{
    // A longer or changed term starts from where the current match was, else from the top of the view.
    const int from = current_.hasSelection() ? current_.selectionStart() : viewTop();
    current_ = QTextCursor();
    refresh();
    if (matches_.count() > 0) {
        const int at = matches_.firstFrom(from);
        select(at < matches_.count() ? at : 0);
    }
}

void TFindBar::schedule()
{
    if (isHidden() || calm_.isActive())
        return;
    const qint64 since = lastRefresh_.isValid() ? lastRefresh_.elapsed() : kCalmMs;
    calm_.start(static_cast<int>(std::clamp<qint64>(kCalmMs - since, 0, kCalmMs)));
}

int TFindBar::viewTop() const
{
    return pane_->document()->findBlockByNumber(pane_->verticalScrollBar()->value()).position();
}

QTextCursor TFindBar::viewBottom() const
{
    return pane_->cursorForPosition(QPoint(0, pane_->viewport()->height() - 1));
}

void TFindBar::step(int direction)
{
    if (isHidden())
        return;
    if (dirty_)
        refresh(); // the text as the pane holds it now
    const int count = matches_.count();
    if (count == 0) {
        showCount();
        return;
    }
    int at;
    if (currentIndex_ >= 0) {
        at = (currentIndex_ + direction + count) % count;
    } else if (direction > 0) {
        at = matches_.firstFrom(viewTop()) % count;
    } else {
        // The last match that starts before the end of the view.
        const QTextBlock last = viewBottom().block();
        at = (matches_.firstFrom(last.position() + last.length()) - 1 + count) % count;
    }
    select(at);
}

void TFindBar::select(int index)
{
    const TPaneRange span = matches_.spans[static_cast<size_t>(index)];
    currentIndex_ = index;
    current_ = QTextCursor(pane_->document());
    current_.setPosition(span.start);
    current_.setPosition(span.end(), QTextCursor::KeepAnchor);

    // Into view: where it is when it is shown already, else in the middle of the pane.
    const int first = pane_->verticalScrollBar()->value();
    const int last = viewBottom().blockNumber();
    const bool shown = current_.block().blockNumber() >= first && current_.block().blockNumber() <= last;
    QTextCursor caret(pane_->document());
    caret.setPosition(span.end());
    pane_->setTextCursor(caret);
    caret.setPosition(span.start);
    pane_->setTextCursor(caret);
    if (!shown)
        pane_->centerCursor();
    highlight();
    showCount();
}

void TFindBar::highlight()
{
    QList<QTextEdit::ExtraSelection> marks;
    if (!isHidden() && !matches_.parts.empty()) {
        const QTextCharFormat other = markFormat(QColor(255, 232, 80));
        const QTextCharFormat current = markFormat(QColor(255, 150, 30));
        QTextDocument* doc = pane_->document();
        const int width = pane_->viewport()->width();
        const int lastLine = viewBottom().blockNumber();
        size_t next = 0; // parts before it are marked already
        // Only what is in view, line by line, as far as the line is in view across.
        for (QTextBlock block = doc->findBlockByNumber(pane_->verticalScrollBar()->value());
             block.isValid() && block.blockNumber() <= lastLine; block = block.next()) {
            const int y = pane_->cursorRect(QTextCursor(block)).center().y();
            const int left = pane_->cursorForPosition(QPoint(0, y)).position();
            const int right = pane_->cursorForPosition(QPoint(width, y)).position();
            auto it = std::lower_bound(matches_.parts.begin() + static_cast<std::ptrdiff_t>(next), matches_.parts.end(),
                                       left - matches_.longestPart,
                                       [](const TPaneMatches::Part& part, int p) { return part.range.start < p; });
            for (; it != matches_.parts.end() && it->range.start <= right; ++it) {
                if (it->range.end() <= left)
                    continue;
                QTextCursor cursor(doc);
                cursor.setPosition(it->range.start);
                cursor.setPosition(it->range.end(), QTextCursor::KeepAnchor);
                marks.append({cursor, it->match == currentIndex_ ? current : other});
                next = static_cast<size_t>(it - matches_.parts.begin()) + 1;
            }
        }
    }
    pane_->setExtraSelections(marks);
}

void TFindBar::showCount()
{
    QString text;
    if (!error_.isEmpty())
        text = error_;
    else if (edtFind->text().isEmpty())
        text.clear();
    else if (matches_.count() == 0)
        text = "not found";
    else if (currentIndex_ >= 0)
        text = QString("%1 of %2").arg(currentIndex_ + 1).arg(matches_.count());
    else
        text = QString("%1 found").arg(matches_.count());
    lblFindCount->setText(text);
    lblFindCount->setStyleSheet(error_.isEmpty() ? QString() : QString("color: red"));
}
