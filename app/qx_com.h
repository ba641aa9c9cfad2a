// The main window: the terminal pane and status pane, the port and its line settings, the menus
// and tool bars; the text and binary sends, the tool tabs and the dialogs do their work through
// the tool context it hands them.
#pragma once

#include "LogWriter.h"
#include "TermText.h"
#include "TermTools.h"
#include "ToolContext.h"
#include "VaClasses.h"
#include "VaPortIdentity.h"
#include "VaTransport.h"

#include <QColor>
#include <QElapsedTimer>
#include <QIcon>
#include <QMainWindow>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTextEdit;
class QTimer;
class QToolBar;
class QToolButton;
class QWidget;
class TVaComm;
class TAsiTab;
class TBinarySend;
class TTextSend;
struct TCommsSettings;
struct TFormSettings;
struct TTermSettings;
struct TTransferSettings;
class TBmpTab;
class TDeviceSelection;
class TInfoTab;
class TStringsTab;
class TPortWatcher;
class TFindBar;

// The frame: menus, tool bars, the port and its line settings, the terminal and status panes, the
// progress bar and Cancel. The tool tabs and dialogs work through the tool context it hands them.
class TfrmTerm : public QMainWindow, public TToolFrame {
    Q_OBJECT
public:
    explicit TfrmTerm(QWidget* parent = nullptr);
    ~TfrmTerm() override;

    // ---- Components
    std::unique_ptr<TVaComm> VaComm1;

    QAction* SendText1;
    QAction* ResendText1;
    QAction* CancelSend1;
    QAction* Clearscreen1;
    QAction* Find1;
    QAction* Xmodem1;
    QAction* SendBinary1;
    // File > "Log to File…" and "Stop Log" (enabled while a log runs).
    QAction* LogToFile1;
    QAction* StopLog1;
    QAction* Settings1;
    QAction* Font1;
    QAction* Background1;
    QAction* Echo1;
    QAction* RefreshPorts1;
    QAction* mnuCtrl;
    QAction* SendBox1;
    QAction* HexView1;
    // Settings > "Timestamps": off, time of day, seconds since connect (one of them checked).
    QAction* StampOff1;
    QAction* StampTime1;
    QAction* StampElapsed1;
    QAction* Reset1;
    QAction* DTRlow1;
    QAction* HWFlow1;
    QAction* Reconnect1;
    QAction* Update1;
    QAction* About1;
    QAction* Exit1;

    QToolBar* ToolBar1;
    QAction* ToolButton9;
    QComboBox* cboDevice;
    QToolBar* ToolBar2;
    QToolButton* spdConnect;
    QAction* tbRefreshPorts;
    QComboBox* cboPort;
    QComboBox* cboBaudRate;
    QComboBox* cboStopBits;
    QComboBox* cboDataBits;

    QSplitter* splH;
    QSplitter* splV;
    QWidget* PanelTerm;
    QWidget* PanelStatus;
    QPlainTextEdit* mmoTerm;
    // Over the terminal pane, opened with Ctrl+F: finds text or bytes in it.
    TFindBar* findBar;
    // The send box under the terminal pane: the line, its line end and its hex choice.
    QWidget* pnlSend;
    QLineEdit* edtSend;
    QComboBox* cboSendLineEnd;
    QCheckBox* chkSendHex;
    QTextEdit* reStatus;
    QWidget* PanelTools;
    QTabWidget* PageControl1;
    // The tool tab sheets; the catalogue's "Tabs" names them.
    TInfoTab* Info;
    TBmpTab* BMP;
    TStringsTab* Strings;
    TAsiTab* ASI;
    QWidget* pnlBot;
    QPushButton* btnCancel;
    QProgressBar* ProgressBar1;
    QStatusBar* staBar1;
    QLabel* staPanel0;
    QLabel* staPanel1;
    // Shown while a log runs: its file's name and how much it has written.
    QLabel* staLog;

    // What the tool tabs and dialogs may use of the program, the device selection and the sends.
    std::unique_ptr<TToolContext> context;
    std::unique_ptr<TDeviceSelection> deviceSelection;
    std::unique_ptr<TTextSend> textSend;
    std::unique_ptr<TBinarySend> binarySend;

    // ---- Shared routines
    // The port number of an entry of the port list: the number after "COM", else 0.
    int getPortNumber(int index) const;
    // The device path of an entry of the port list; empty for "<none>" or no entry.
    std::string portPath(int index) const;
    // Lists a port given by its path (from the command line) from now on; its entry.
    int addPortPath(const std::string& path);
    // The ports as the system has them now, in the port box; the selection stays (see
    // portsChanged). Refresh and the kernel's notices of ports coming and going call it.
    void refreshPortList();
    // Waiting for the device of the port that vanished to come back.
    bool waitingForDevice() const { return waiting_; }
    // Where the system's serial ports are (sysfs and /dev); tests point them at a fake tree.
    static TVaDeviceRoots deviceRoots;
    void addStatus(const QString& text, TFontStyle style = fsPlain, const QColor& colour = Qt::black);
    // Both show what was received before them first.
    void showTermText(const std::string& text) override;
    void showText(const std::string& text);
    // Empties the pane, with the received text not shown yet.
    void clearPane();
    // The current file: status bar panel 0.
    QString currentFile() const;
    void setCurrentFile(const QString& path);

    // ---- Settings and line settings
    void getSettings();
    void WriteSettings();
    void reSetAll();
    // Reopens an open port with the current settings; the terminal gets the focus unless told not.
    void PortChange(bool focusTerminal = true);

    // ---- What the tools ask of the frame
    void setLineChoice(const TLineChoice& choice) override;
    TLineChoice lineChoice() const override;
    void setDeviceMarks(bool echo, bool ctsFlow) override;
    void enableUpdate() override;
    void refreshTools() override;
    void focusTerminal() override;
    std::string selectedDevice() const override;
    bool dtrLowMark() const override;
    bool ctsFlowMark() const override;
    QColor terminalColour() const override;
    void paintTerminal(const QColor& background) override;
    void showPortClosed() override;
    void showNote(const QString& text) override;
    void setUpdatePosition(int position) override;
    int updatePosition() const override;

    // ---- Handlers
    void FormActivate();
    void FormClose();
    void RefreshPorts1Click();
    void spdConnectClick();
    void cboPortChange();
    void cboBaudRateChange(bool typed = false);
    void cboStopBitsChange();
    void cboDataBitsChange();
    void HWFlow1Click();
    void DTRlow1Click();
    void Reset1Click();
    void Reconnect1Click();
    void VaComm1RxChar();
    void VaComm1Disconnect();
    bool mmoTermKeyPress(const QString& text);
    // Enter in the send box: its line, parsed, with the chosen line end goes to the port.
    void sendBoxEnter();
    // Up (older) and Down (newer) in the send box's history.
    void sendBoxHistory(int step);
    TStampMode stampMode() const;
    void Clearscreen1Click();
    void Find1Click();
    void Font1Click();
    void Background1Click();
    void SendText1Click();
    void ResendText1Click();
    void CancelSend1Click();
    void Settings1Click();
    void SendTextFile();
    void SendBinary1Click();
    void ToolButton9Click();
    void SendBinaryFile();
    void SendxClick();
    void UpdateClick();
    void About1Click();
    void LogToFile1Click();
    void StopLog1Click();
    // Starts a log of what is received (and sent, when asked) to a file, appended to when it
    // exists; false with a red status line when the file cannot be opened.
    bool startLog(const QString& file, TLogFormat format, bool withSent);
    bool logRunning() const;
    void cboDeviceChange();

    // The pane's font and colours as the settings file holds them (colours as blue-green-red values).
    QString termFontName() const { return termFontName_; }
    int termFontSize() const { return termFontSize_; }
    int32_t termFontColour() const { return termFontColour_; }
    int32_t termBackColour() const { return termBackColour_; }
    void setTermFont(const QString& name, int size);
    void setTermColours(int32_t fontColour, int32_t backColour);

    bool closing() const { return context->closing(); }

    // Runs once, at the end of the first activation (after the settings are applied): start-up
    // steps the program entry adds, such as connecting to a port named on the command line.
    std::function<void()> afterFirstActivation;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    void buildToolBars();
    void buildPanes();
    void buildToolTabs();
    void setConnectDown(bool down);
    void applyStopBits();
    void applyPortSelection();
    // After a port that could not be opened: how to get access when permission was refused, and
    // who holds the port when it is in use.
    void explainOpenFailure(TVaErrorKind kind);
    void selectPortByName(const QString& name);
    // Reconnect: waiting (no CPU) for the device that vanished, by its identity; each change of the
    // port set tries it; a port refused for a moment (its group not set yet, held by another
    // program) is tried a few times more with a growing pause. A remote port's server gives no
    // notice when it is back: it is tried with a pause that grows to a few seconds, each attempt
    // on a thread of its own so that a slow name lookup or connect never holds the window.
    void startWaiting();
    void stopWaiting(const QString& why);
    void showWaiting(bool waiting);
    // The device waited for, by name and description.
    QString awaitedDevice() const;
    // Called with the port list just read.
    void tryReconnect();
    void reconnectRefused(const EVaCommError& error);
    void startRemoteAttempt(const std::string& url);
    void remoteAttemptDone(const std::string& url, const std::shared_ptr<TVaTransport>& transport,
                           const TVaOpenResult& result);
    void reconnected();
    // A rate other than the one asked for (a remote port's server chose it): the rate box shows
    // the rate in force, unless the user is typing a rate there.
    void showRateInForce();
    void noteOnce(const QString& text, const QColor& colour);
    // An attempt to reconnect was refused for why (ending with a line end): said once, in red.
    void noteStillWaiting(const QString& why);
    // The port box's text was entered: a typed port name is taken.
    void portTyped();
    QString openFileDialog();
    // Asks for a file (not while busy or with the port closed); a chosen one becomes the current
    // file and send runs.
    void chooseFileAndSend(void (TfrmTerm::*send)());
    TTermOptions termOptions() const;
    int paneLength() const;
    // Received text goes to the pane as one block once a paint interval (at once after a quiet
    // spell); paintPane shows what is held now.
    void queueForPane(const std::string& chunk);
    void paintPane();
    void applyPaneEdit(const TPaneEdit& edit);
    void applyPaneColours(const QColor& background);
    // The stamp for received text arriving now, and whether it comes after a pause.
    void noteArrival();
    // A stamp for now as the Timestamps setting makes it; empty when off.
    std::string stampNow() const;
    // The log: received chunks as they come from the port, sent bytes as the port takes them; the
    // status bar's log panel, refreshed twice a second, which also ends a log that stopped by
    // itself and says why; the end of a log.
    void logReceived(const std::string& chunk);
    void logSent(std::string_view bytes);
    void showLogState();
    void endLog();
    // The log's status bar panel, its timer and the port's record of what it sends.
    void buildLog();
    // A block of received text as the pane took it, kept (the last 64 KiB) so that switching
    // between the text and the hex view draws again what was received since the last clear.
    struct TReceivedBlock {
        std::string stamp;
        bool afterPause = false;
        std::string bytes;
    };
    void showReceived(const TReceivedBlock& block);
    void keepReceived(TReceivedBlock block);
    void redrawReceived();
    // The text transfer settings as the text transfer dialog holds them now.
    static const TTransferSettings& transferSettings();
    // Parts of the settings: the line boxes and menu marks, the window's size, place and splitters;
    // and everything the window holds, as the settings file keeps it.
    void applyLineMarks(const TCommsSettings& comms);
    void applyForm(const TFormSettings& form);
    TTermSettings currentSettings() const;
    // While an operation runs, the commands that would start another are disabled.
    void watchBusy();

    std::string paneBacklog_; // received, not shown yet
    // Time stamps: the first arrival of the backlog gives its stamp; a pause is measured from the
    // last arrival before it.
    QElapsedTimer connectClock_;
    QElapsedTimer arrivalClock_;
    qint64 lastArrival_ = -1;
    std::string backlogStamp_;
    bool backlogAfterPause_ = false;
    int stampPauseMs_ = 500;
    QColor stampColour_;
    std::deque<TReceivedBlock> received_;
    size_t receivedBytes_ = 0;
    uint64_t receivedDropped_ = 0; // bytes received since the last clear that are no longer kept
    THexRows hexRows_;
    int hexPaneLength_ = 0; // the pane's length after the hex view's last edit
    std::vector<std::string> sendHistory_; // oldest first
    int sendHistoryAt_ = 0;                // where Up and Down are in it; its size for the new line
    QTimer* paneTimer_ = nullptr;
    // The log, its file, format and sent choice (remembered between logs and starts), and
    // the text format's line state and the pause before the chunk being logged.
    TLogWriter log_;
    QString logFile_;
    TLogFormat logFormat_ = TLogFormat::raw;
    bool logSent_ = false;
    TLogText logText_;
    qint64 logLastArrival_ = -1;
    QTimer* logTimer_ = nullptr;
    std::atomic<bool> logTakesSent_{false}; // read by whichever thread writes to the port
    QElapsedTimer lastPaint_;
    bool firstActivation_ = true;
    std::string settingsUnreadable_; // why the settings file could not be read at start
    bool updateAllowed_ = false;     // the device selection enabled the Update menu item
    bool deviceChoice_ = false;      // the device selector may be used (after a connect)
    QString termFontName_ = "Fixedsys";
    int termFontSize_ = 9;
    int32_t termFontColour_ = 65535;
    int32_t termBackColour_ = 10485760;
    int filterIndex_ = 1;
    QString initialDir_;

    TPortWatcher* portWatcher_ = nullptr;
    std::vector<std::string> addedPorts_; // paths given on the command line
    std::string chosenKey_;               // the identity of the device the user chose
    bool dtrSet_ = false;                 // the user set DTR since the port was opened by hand
    bool rateTyped_ = false;              // the port reopens for a rate being typed
    QIcon connectIcon_, waitIcon_;
    // The device waited for, since when, how often it refused in a row, the last note about it.
    bool waiting_ = false;
    std::string awaitedKey_;
    QString awaitedName_, awaitedDescription_;
    QElapsedTimer awaitedSince_;
    int refusals_ = 0;
    QString lastNote_;
    QTimer retry_;
    int remotePauseMs_ = 0;      // the pause before the next attempt on a remote port
    bool remoteAttempting_ = false;
    std::thread remoteAttempt_;  // the last attempt to connect a remote port again
};

extern TfrmTerm* frmTerm;

// Windows colour values (blue-green-red) and Qt colours. Values that are not plain RGB (system
// colours with the high byte set) show as the window colour and are kept as they are.
QColor colourFromWindows(int32_t value);
int32_t colourToWindows(const QColor& colour);
