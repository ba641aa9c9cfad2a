#include "StringsTab.h"

#include "AtomicFile.h"
#include "Latin1.h"
#include "Messages.h"
#include "Places.h"
#include "SnippetLibrary.h"
#include "ToolContext.h"
#include "Values.h"

#include "VaComm.h"
#include "VaFileName.h"

#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QToolButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>

namespace {

const QColor kCream(255, 251, 240);
const QColor kBlue(0, 0, 255);

TStringsTab::TInputBoxHandler& inputBoxHandler()
{
    static TStringsTab::TInputBoxHandler handler;
    return handler;
}

QColor statusColour(TSnippetColour colour)
{
    switch (colour) {
    case TSnippetColour::scRed:
        return kErrorRed;
    case TSnippetColour::scTeal:
        return kTeal;
    case TSnippetColour::scBlack:
        break;
    }
    return Qt::black;
}

// The date and time written into the header of a saved library, in the system's short formats.
std::string saveStamp()
{
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    return bytes(locale.toString(now.date(), QLocale::ShortFormat) + " "
                 + locale.toString(now.time(), QLocale::ShortFormat));
}

std::string upperFirst(const std::string& name)
{
    return name.empty() ? std::string() : std::string(1, upperByte(name[0]));
}

} // namespace

// ---- TSnippetPane ---------------------------------------------------------------------------------

void TSnippetPane::append(const QString& text, bool bold, const QColor& colour)
{
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setForeground(colour);
    format.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    cursor.insertText(text, format);
}

QString TSnippetPane::paneText() const
{
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text;
}

QString TSnippetPane::lineAt(const QPoint& point) const
{
    return cursorForPosition(point).block().text();
}

int TSnippetPane::positionAt(const QPoint& point) const
{
    return cursorForPosition(point).position();
}

void TSnippetPane::mousePressEvent(QMouseEvent* event)
{
    QTextEdit::mousePressEvent(event);
    if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton)
        emit mouseDown(event->position().toPoint());
}

void TSnippetPane::keyPressEvent(QKeyEvent* event)
{
    emit keyDown();
    QTextEdit::keyPressEvent(event);
}

// ---- TStringsTab ----------------------------------------------------------------------------------

TStringsTab::TStringsTab(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("Strings");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);

    lblNote = new QLabel("This screen is work in progress for this version", this);
    lblNote->setObjectName("lblNote");
    layout->addWidget(lblNote);

    auto* bar = new QHBoxLayout;
    bar->setSpacing(2);
    auto toolButton = [this, bar](const char* name, const QIcon& icon, const char* hint) {
        auto* b = new QToolButton(this);
        b->setObjectName(name);
        b->setIcon(icon);
        b->setToolTip(hint);
        b->setAutoRaise(true);
        bar->addWidget(b);
        return b;
    };
    tbbLibOpen = toolButton("tbbLibOpen", style()->standardIcon(QStyle::SP_DialogOpenButton), "Open");
    tbSaveLib = toolButton("tbSaveLib", style()->standardIcon(QStyle::SP_DialogSaveButton), "Save");
    tbAddNew = toolButton("tbAddNew", style()->standardIcon(QStyle::SP_FileIcon), "Add new");
    tbbLibOpen->setEnabled(false);
    tbSaveLib->setEnabled(false);
    tbAddNew->setEnabled(false);
    lblCurrentPath = new QLabel("Files Path", this);
    lblCurrentPath->setObjectName("lblCurrentPath");
    lblCurrentPath->setTextFormat(Qt::PlainText);
    bar->addWidget(lblCurrentPath, 1);
    lblCurrentName = new QLabel("Select File", this);
    lblCurrentName->setObjectName("lblCurrentName");
    lblCurrentName->setTextFormat(Qt::PlainText);
    QFont bold = lblCurrentName->font();
    bold.setBold(true);
    lblCurrentName->setFont(bold);
    bar->addWidget(lblCurrentName);
    layout->addLayout(bar);

    auto pane = [this](const char* name, bool readOnly) {
        auto* p = new TSnippetPane(this);
        p->setObjectName(name);
        p->setReadOnly(readOnly);
        p->setAcceptRichText(false);
        p->setLineWrapMode(QTextEdit::NoWrap);
        // Small enough that the tab fits the main window's smallest size; the splitters share the rest.
        p->setMinimumHeight(p->fontMetrics().height() * 2);
        if (readOnly) {
            QPalette palette = p->palette();
            palette.setColor(QPalette::Base, kCream);
            p->setPalette(palette);
        }
        return p;
    };
    reLibNames = pane("reLibNames", true);
    reTop = pane("reTop", true);
    reLeft = pane("reLeft", true);
    reRight = pane("reRight", false);
    reTop->setLineWrapMode(QTextEdit::WidgetWidth);
    reTop->setFixedHeight(reTop->fontMetrics().height() * 3);
    // The body pane is editable only while it shows an entry, so nothing typed into an empty pane
    // can later be taken for the current entry's body.
    reRight->setReadOnly(true);

    auto* columns = new QSplitter(Qt::Horizontal, this);
    columns->addWidget(reLibNames);
    auto* library = new QWidget(columns);
    auto* libraryLayout = new QVBoxLayout(library);
    libraryLayout->setContentsMargins(0, 0, 0, 0);
    libraryLayout->setSpacing(2);
    libraryLayout->addWidget(reTop);
    auto* entries = new QSplitter(Qt::Horizontal, library);
    entries->addWidget(reLeft);
    entries->addWidget(reRight);
    entries->setStretchFactor(1, 3);
    entries->setSizes({100, 300}); // the body pane gets the most room from the start
    libraryLayout->addWidget(entries, 1);
    auto* sendRow = new QHBoxLayout;
    cmdSend = new QPushButton("Send", library);
    cmdSend->setObjectName("cmdSend");
    sendRow->addWidget(cmdSend);
    sendRow->addStretch(1);
    libraryLayout->addLayout(sendRow);
    columns->addWidget(library);
    columns->setStretchFactor(1, 4);
    columns->setSizes({100, 400});
    layout->addWidget(columns, 1);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    AddNew1 = PopupMenu1->addAction("Add New");
    AddNew1->setObjectName("AddNew1");
    EditID1 = PopupMenu1->addAction("Edit ID");
    EditID1->setObjectName("EditID1");
    reLeft->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(reLeft, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& point) { PopupMenu1->popup(reLeft->viewport()->mapToGlobal(point)); });

    setSaveImage(kImageNothingToSave);

    connect(reLibNames, &TSnippetPane::mouseDown, this, [this](const QPoint& p) { guarded([&] { reLibNamesMouseDown(p); }); });
    connect(reTop, &TSnippetPane::mouseDown, this, [this](const QPoint& p) { guarded([&] { reTopMouseDown(p); }); });
    connect(reLeft, &TSnippetPane::mouseDown, this, [this](const QPoint& p) { guarded([&] { reLeftMouseDown(p); }); });
    connect(reRight, &TSnippetPane::keyDown, this, &TStringsTab::reRightKeyDown);
    // A paste or a drop changes the body without a key: it counts as an edit too.
    connect(reRight->document(), &QTextDocument::contentsChanged, this, [this] {
        if (!filling_ && bodyShown_)
            markEdited();
    });
    connect(tbSaveLib, &QToolButton::clicked, this, [this] { guarded([&] { tbSaveLibClick(); }); });
    connect(tbAddNew, &QToolButton::clicked, this, [this] { guarded([&] { tbAddNewClick(); }); });
    connect(AddNew1, &QAction::triggered, this, [this] { guarded([&] { tbAddNewClick(); }); });
    connect(EditID1, &QAction::triggered, this, [this] { guarded([&] { EditID1Click(); }); });
    connect(cmdSend, &QPushButton::clicked, this, [this] { guarded([&] { cmdSendClick(); }); });
    context_.disableWhileBusy(cmdSend);

    snippetLibrary.setStatusSink([this](const std::string& text, TSnippetStyle style, TSnippetColour colour) {
        context_.addStatus(latin1(text), style == ssBold ? fsBold : fsPlain, statusColour(colour));
    });
}

TStringsTab::~TStringsTab()
{
    snippetLibrary.setStatusSink({});
}

void TStringsTab::setInputBoxHandler(TInputBoxHandler handler)
{
    inputBoxHandler() = std::move(handler);
}

QString TStringsTab::inputBox(const QString& title, const QString& prompt, const QString& preset)
{
    if (inputBoxHandler())
        return inputBoxHandler()(title, prompt, preset);
    bool ok = false;
    const QString answer = QInputDialog::getText(&context_.window, title, prompt, QLineEdit::Normal, preset, &ok);
    return ok ? answer : preset;
}

void TStringsTab::setSaveImage(int image)
{
    saveImage_ = image;
    const QIcon save = style()->standardIcon(QStyle::SP_DialogSaveButton);
    if (image == kImageSomethingToSave) {
        tbSaveLib->setIcon(save);
    } else {
        // Nothing to save: the same picture, greyed.
        const QSize size = tbSaveLib->iconSize();
        tbSaveLib->setIcon(QIcon(save.pixmap(size, QIcon::Disabled)));
    }
}

void TStringsTab::markEdited()
{
    setSaveImage(kImageSomethingToSave);
    tbSaveLib->setEnabled(true);
    snippetLibrary.bodyEdited = true;
}

void TStringsTab::emptyBody()
{
    filling_ = true;
    reRight->clear();
    reRight->setReadOnly(true);
    filling_ = false;
    bodyShown_ = false;
    shownText_.clear();
}

void TStringsTab::emptyPanes()
{
    reLeft->clear();
    emptyBody();
    reTop->clear();
}

void TStringsTab::resetStringsTab()
{
    // What was typed into the body pane goes into the library rather than being thrown away.
    commitBody();
    emptyPanes();
    reLibNames->clear();
    snippetLibrary.bodyEdited = false;
    const bool unsaved = snippetLibrary.changed();
    setSaveImage(unsaved ? kImageSomethingToSave : kImageNothingToSave);
    tbSaveLib->setEnabled(unsaved);
}

void TStringsTab::setLibraryFolder(const std::string& folder, const std::string& mask)
{
    folder_ = folder;
    lblCurrentPath->setText(QFile::decodeName(QByteArray::fromStdString(folder)));
    if (mask.size() > 1)
        listLibraryFiles(folder, mask);
}

void TStringsTab::listLibraryFiles(const std::string& folder, const std::string& mask)
{
    reLibNames->clear();
    folder_ = folder;
    lblCurrentPath->setText(QFile::decodeName(QByteArray::fromStdString(folder)));
    const QDir dir(QFile::decodeName(QByteArray::fromStdString(folder)));
    const QStringList names =
        dir.entryList({QFile::decodeName(QByteArray::fromStdString(mask))},
                      QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names)
        reLibNames->append(name + "\n", false, Qt::black);
}

void TStringsTab::buildLetterIndex()
{
    emptyPanes();
    for (const char letter : snippetLibrary.entryLetters()) {
        reTop->append(latin1(std::string(1, letter)), true, kBlue);
        reTop->append("  ", false, kBlue);
    }
    reTop->setFocus();
    tbAddNew->setEnabled(true);
}

void TStringsTab::listEntryNames(const std::string& letter)
{
    reLeft->clear();
    emptyBody();
    if (letter.size() != 1)
        return;
    for (const std::string& name : snippetLibrary.namesUnder(letter[0]))
        reLeft->append(latin1(name) + "\n", true, kBlue);
}

void TStringsTab::showEntryBody(const std::string& name)
{
    emptyBody();
    filling_ = true;
    // Each body is followed by a line feed unless it already ends with one, so the pane holds the
    // body as it is and an unchanged pane gives the same body back.
    for (const std::string& body : snippetLibrary.bodiesOf(name)) {
        QString text = latin1(body);
        if (!text.endsWith('\n'))
            text += '\n';
        reRight->append(text, false, Qt::black);
    }
    reRight->setReadOnly(false);
    reRight->moveCursor(QTextCursor::Start);
    filling_ = false;
    shownText_ = reRight->paneText();
    bodyShown_ = true;
}

void TStringsTab::commitBody()
{
    if (!snippetLibrary.bodyEdited)
        return;
    const QString text = reRight->paneText();
    if (bodyShown_ && text != shownText_) {
        snippetLibrary.commitBody(bytes(text));
        shownText_ = text;
    }
    snippetLibrary.bodyEdited = false;
}

void TStringsTab::sendEntry(const std::string& body)
{
    if (!context_.VaComm1.Active()) {
        context_.addStatus("Com Port must be open first\n", fsPlain, kErrorRed);
        return;
    }
    const std::string text = decodeEscapes(removeComments(body));
    context_.addStatus("[" + latin1(text) + "]\n", fsPlain, kTeal);
    if (!text.empty() && !context_.VaComm1.WriteText(text))
        context_.addStatus("The port did not take the whole text; not all of it was sent\n", fsBold, kErrorRed);
}

bool TStringsTab::hasUnsavedChanges() const
{
    return snippetLibrary.changed()
           || (snippetLibrary.bodyEdited && bodyShown_ && reRight->paneText() != shownText_);
}

bool TStringsTab::saveCurrentLibrary()
{
    setSaveImage(kImageNothingToSave);
    tbSaveLib->setEnabled(false);
    if (snippetLibrary.bodyEdited) {
        context_.addStatus("Current index =" + QString::number(snippetLibrary.currentEntry) + "\n", fsPlain, kTeal);
        commitBody();
    }
    if (libraryPath_.empty() || !snippetLibrary.saveLibrary(libraryPath_, saveStamp())) {
        // Nothing was written: the work is still only in memory, so Save stays offered.
        setSaveImage(kImageSomethingToSave);
        tbSaveLib->setEnabled(true);
        return false;
    }
    return true;
}

bool TStringsTab::offerToSave(const QString& next)
{
    if (!hasUnsavedChanges())
        return true;
    const QString file = QFile::decodeName(QByteArray::fromStdString(libraryPath_));
    const int answer = askYesNoCancel("Unsaved changes", "The library " + file + " has changes that are not saved.\n"
                                                             "Save them before " + next + "?");
    if (answer == QMessageBox::Yes)
        return saveCurrentLibrary();
    return answer == QMessageBox::No;
}

QString TStringsTab::keepUnsavedWork()
{
    if (!hasUnsavedChanges())
        return {};
    commitBody();
    const std::string library = libraryPath_.empty() ? placeOf(TQxPlace::qpToolFolder) + "library.qxt" : libraryPath_;
    const size_t slash = library.rfind('/') + 1;
    const size_t dot = library.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > slash;
    const std::string recovery = MakeUniqueFileName(library.substr(0, hasExtension ? dot : library.size()) + "-recovered"
                                                    + (hasExtension ? library.substr(dot) : std::string()));
    const QString name = QFile::decodeName(QByteArray::fromStdString(library));
    const bool kept = writeFileAtomically(recovery, snippetLibrary.libraryText(saveStamp()));
    const int error = errno;
    if (kept) {
        const QString text = "The unsaved changes of " + name + " are kept in "
                             + QFile::decodeName(QByteArray::fromStdString(recovery)) + "\n";
        context_.addStatus(text, fsBold, Qt::black);
        return text;
    }
    const QString text = "The unsaved changes of " + name + " could not be kept: " + QString::fromLocal8Bit(std::strerror(error)) + "\n";
    context_.addStatus(text, fsBold, kErrorRed);
    return text;
}

void TStringsTab::reLibNamesMouseDown(const QPoint& point)
{
    const QString name = reLibNames->lineAt(point);
    if (name.isEmpty())
        return;
    loadClickedFile(name);
}

void TStringsTab::loadClickedFile(const QString& name)
{
    if (!offerToSave("loading " + name))
        return;
    tbAddNew->setEnabled(false);
    lblCurrentName->setText(name);
    context_.addStatus("[" + name + "]\n", fsPlain, kTeal);
    const std::string path = folder_ + QFile::encodeName(name).toStdString();
    switch (snippetLibrary.loadLibrary(path)) {
    case TLoadResult::lrLoaded:
        libraryPath_ = path;
        setSaveImage(kImageNothingToSave);
        tbSaveLib->setEnabled(false);
        buildLetterIndex();
        break;
    case TLoadResult::lrNotValid:
        emptyPanes();
        reTop->append("Not a Valid QXT file", false, kErrorRed);
        setSaveImage(kImageNothingToSave);
        tbSaveLib->setEnabled(false);
        break;
    case TLoadResult::lrUnreadable:
        emptyPanes();
        setSaveImage(kImageNothingToSave);
        tbSaveLib->setEnabled(false);
        break;
    case TLoadResult::lrNotFound:
        break;
    }
}

void TStringsTab::reTopMouseDown(const QPoint& point)
{
    commitBody();
    const QString text = reTop->paneText();
    const int at = reTop->positionAt(point);
    const QString around = at <= 0 ? text.left(1) : text.mid(at - 1, 2);
    listEntryNames(bytes(around.trimmed()));
}

void TStringsTab::reLeftMouseDown(const QPoint& point)
{
    commitBody();
    // The caret marks the name last clicked (Edit ID works on it), for either mouse button.
    reLeft->setTextCursor(reLeft->cursorForPosition(point));
    const std::string name = bytes(reLeft->lineAt(point));
    if (name.empty())
        return;
    showEntryBody(name);
    snippetLibrary.currentEntry = snippetLibrary.findEntry(name);
}

void TStringsTab::reRightKeyDown()
{
    if (bodyShown_)
        markEdited();
}

void TStringsTab::tbSaveLibClick()
{
    saveCurrentLibrary();
}

void TStringsTab::cmdSendClick()
{
    commitBody();
    if (context_.refuseWhileBusy())
        return;
    const int entry = snippetLibrary.currentEntry;
    if (entry < 0 || entry > snippetLibrary.lastEntry)
        return;
    sendEntry(snippetLibrary.libraryEntries[entry].body);
}

void TStringsTab::tbAddNewClick()
{
    // An edit of the shown entry is kept before another entry becomes current.
    commitBody();
    const std::string name = bytes(inputBox("Add new entry to this file", "Name", "test"));
    if (!snippetLibrary.addEntry(name))
        return;
    buildLetterIndex();
    listEntryNames(upperFirst(name));
    showEntryBody(name);
    reRight->setFocus();
    markEdited();
}

void TStringsTab::EditID1Click()
{
    commitBody();
    const std::string name = bytes(reLeft->textCursor().block().text());
    if (name.empty())
        return;
    showEntryBody(name);
    snippetLibrary.currentEntry = snippetLibrary.findEntry(name);
    const std::string newName = bytes(inputBox("New name for entry ", "Name", latin1(name)));
    if (newName == name || !snippetLibrary.renameEntry(snippetLibrary.currentEntry, newName))
        return;
    listEntryNames(upperFirst(newName));
    markEdited();
}
