// The Strings tab: lists the snippet library files of the selected device's folder, loads the one
// the user clicks, shows an index of the entries' first letters, the names under a letter and the
// body of a name, lets the user edit, add, rename and save, and sends the chosen entry to the
// device on the main window's port.
#pragma once

#include <QTextEdit>
#include <QWidget>

#include <functional>
#include <string>

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QToolButton;
class TToolContext;

// A text pane of the tab that reports the mouse button going down at a place and, for the body
// pane, every key pressed.
class TSnippetPane : public QTextEdit {
    Q_OBJECT
public:
    using QTextEdit::QTextEdit;

    // Appends text at the end in plain or bold and a colour.
    void append(const QString& text, bool bold, const QColor& colour);
    // The whole text, line breaks as line feeds, every character as it is (no-break spaces too).
    QString paneText() const;
    // The text of the line at a point of the viewport and the character position at it.
    QString lineAt(const QPoint& point) const;
    int positionAt(const QPoint& point) const;

signals:
    void mouseDown(const QPoint& point);
    void keyDown();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

class TStringsTab : public QWidget {
    Q_OBJECT
public:
    // The pictures of the Save button: something to save, nothing to save.
    static constexpr int kImageSomethingToSave = 26;
    static constexpr int kImageNothingToSave = 27;

    explicit TStringsTab(TToolContext& context, QWidget* parent = nullptr);
    ~TStringsTab() override;

    QLabel* lblNote;
    TSnippetPane* reLibNames; // library files of the current folder, one per line
    QLabel* lblCurrentPath;   // current folder
    QLabel* lblCurrentName;   // current library file
    TSnippetPane* reTop;      // letter index
    TSnippetPane* reLeft;     // names under the chosen letter
    TSnippetPane* reRight;    // body of the chosen entry
    QPushButton* cmdSend;
    QToolButton* tbSaveLib;
    QToolButton* tbAddNew;
    QToolButton* tbbLibOpen;
    QMenu* PopupMenu1; // pop-up of reLeft
    QAction* AddNew1;
    QAction* EditID1;

    // Empties the four panes and clears bodyEdited; run at every activation of the main window. An
    // edit in the body pane is first copied into the library, and Save stays offered while the
    // library holds unsaved changes; the library, the folder and the file labels stay.
    void resetStringsTab();
    // The device's snippet folder (full path ending "/") and file mask: lblCurrentPath shows the
    // folder; when mask is longer than one character the matching library files are listed.
    void setLibraryFolder(const std::string& folder, const std::string& mask);
    // Shows folder in lblCurrentPath and lists the names of every directory entry matching mask
    // (files and folders alike, letter case ignored), in name order.
    void listLibraryFiles(const std::string& folder, const std::string& mask);
    // The letter index of the loaded library; enables Add new.
    void buildLetterIndex();
    // The names of the entries whose first character, upper-cased, is letter; nothing for an empty
    // letter.
    void listEntryNames(const std::string& letter);
    // The bodies of the entries named exactly name in the body pane.
    void showEntryBody(const std::string& name);
    // Copies an edit of the body pane into the current entry.
    void commitBody();
    // Sends a body without its comments and with its "#" codes decoded; with the port closed it
    // says so and sends nothing.
    void sendEntry(const std::string& body);

    // True when the library holds work that is not in its file, the body pane included.
    bool hasUnsavedChanges() const;
    // Asks whether unsaved work is saved first: Yes saves (false when the save fails), No drops it,
    // Cancel gives false. True straight away when there is nothing unsaved.
    bool offerToSave(const QString& next);
    // For an end where no one can be asked: unsaved work is written beside the library file as
    // NAME-recovered.EXT (NAME-recovered-1.EXT ... when that exists), the library file itself is
    // left as it was. Says where in the status pane and gives that text; empty when there was
    // nothing unsaved.
    QString keepUnsavedWork();
    // The file the library in memory was loaded from (empty before the first load).
    const std::string& libraryPath() const { return libraryPath_; }
    // The picture the Save button shows.
    int saveImage() const { return saveImage_; }

    // Event handlers.
    void reLibNamesMouseDown(const QPoint& point);
    void reTopMouseDown(const QPoint& point);
    void reLeftMouseDown(const QPoint& point);
    void reRightKeyDown();
    void tbSaveLibClick();
    void cmdSendClick();
    void tbAddNewClick();
    void EditID1Click();

    // The input box of the tab (title, prompt, preset text); a dismissed box gives the preset.
    // Tests replace it; an empty handler restores the box.
    using TInputBoxHandler = std::function<QString(const QString& title, const QString& prompt, const QString& preset)>;
    static void setInputBoxHandler(TInputBoxHandler handler);

private:
    QString inputBox(const QString& title, const QString& prompt, const QString& preset);
    void setSaveImage(int image);
    void markEdited();
    void emptyBody();
    void emptyPanes();
    bool saveCurrentLibrary();
    void loadClickedFile(const QString& name);

    TToolContext& context_;
    std::string folder_;      // the text of lblCurrentPath once a folder was set
    std::string libraryPath_; // where the library in memory came from
    QString shownText_;       // what showEntryBody put into the body pane
    bool bodyShown_ = false;  // the body pane shows an entry (and may be edited)
    bool filling_ = false;    // the tab itself is changing the body pane
    int saveImage_ = kImageNothingToSave;
};
