// The main window: the terminal pane and status pane, the port and its line settings, the menus
// and tool bars, and the text and binary file sends.
#pragma once

#include "TermText.h"

#include <QColor>
#include <QMainWindow>

#include <functional>
#include <memory>
#include <string>

class QAction;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTextEdit;
class QToolBar;
class QToolButton;
class QWidget;
class TVaComm;
class QLineEdit;
class TDeviceChannel;
class TInfoTab;
class TIntroBrowser;
struct TReply;

// Shared with every Part that waits for device replies or sends: received bytes for whoever waits
// for a reply, the text-send flag and the cancel request of the sending loops.
extern std::string rxBuffer;
extern bool sendingText;
extern bool cancelFlag;

enum TFontStyle { fsPlain, fsBold };

class TfrmTerm : public QMainWindow {
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
    QAction* Xmodem1;
    QAction* SendBinary1;
    QAction* Settings1;
    QAction* Font1;
    QAction* Background1;
    QAction* Echo1;
    QAction* RefreshPorts1;
    QAction* mnuCtrl;
    QAction* Reset1;
    QAction* DTRlow1;
    QAction* HWFlow1;
    QAction* Update1;
    QAction* About1;

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
    QTextEdit* reStatus;
    QWidget* PanelTools;
    QTabWidget* PageControl1;
    // The tool tab sheets; the catalogue's "Tabs" names them.
    TInfoTab* Info;
    QWidget* BMP;
    QWidget* Strings;
    QWidget* ASI;
    TIntroBrowser* wbIntro;
    QComboBox* cboBFFfileName;
    QComboBox* cboBMPfileName;
    QLineEdit* txtAddress;
    QLabel* lblCurrentPath;
    QWidget* pnlBot;
    QPushButton* btnCancel;
    QProgressBar* ProgressBar1;
    QStatusBar* staBar1;
    QLabel* staPanel0;
    QLabel* staPanel1;

    // ---- Shared routines
    // Pauses ms milliseconds while window messages and port events are handled; one round of
    // message handling when ms <= 0.
    void waitMs(int ms);
    // The port number of an entry of the port list: the number after "COM", else 0.
    int getPortNumber(int index) const;
    // The device path of an entry of the port list; empty for "<none>" or no entry.
    std::string portPath(int index) const;
    void addStatus(const QString& text, TFontStyle style = fsPlain, const QColor& colour = Qt::black);
    void writeToCom(const std::string& text);
    void showTermText(const std::string& text);
    void showText(const std::string& text);
    // The current file: status bar panel 0.
    QString currentFile() const;
    void setCurrentFile(const QString& path);

    // ---- Settings and line settings
    void getSettings();
    void WriteSettings();
    void reSetAll();
    void PortChange();

    // ---- Device tools
    // The web tool address: the maker's web site followed by "/qxtools/".
    std::string webToolAddress() const;
    void loadIntroPage(const std::string& address);
    void loadDeviceList();
    void selectDevice();
    void saveDeviceStatus();
    void refreshTools();
    void cboDeviceChange();
    TReply sendAndWait(const std::string& command, const std::string& expected, int tries);
    TReply sendAndWaitDirect(const std::string& command, const std::string& expected, int tries);
    size_t sendPaced(const std::string& data, size_t count, int progressMax);

    // ---- Handlers
    void FormActivate();
    void FormClose();
    void RefreshPorts1Click();
    void spdConnectClick();
    void cboPortChange();
    void cboBaudRateChange();
    void cboStopBitsChange();
    void cboDataBitsChange();
    void HWFlow1Click();
    void DTRlow1Click();
    void Reset1Click();
    void VaComm1RxChar();
    void VaComm1Disconnect();
    bool mmoTermKeyPress(const QString& text);
    void Clearscreen1Click();
    void Font1Click();
    void Background1Click();
    void SendText1Click();
    void ResendText1Click();
    void CancelSend1Click();
    void Settings1Click();
    void SendTextFile();
    bool runAutomation();
    void SendBinary1Click();
    void ToolButton9Click();
    void SendBinaryFile();
    void SendxClick();
    void UpdateClick();
    void About1Click();

    // The pane's font and colours as the settings file holds them (colours as blue-green-red values).
    QString termFontName() const { return termFontName_; }
    int termFontSize() const { return termFontSize_; }
    int32_t termFontColour() const { return termFontColour_; }
    int32_t termBackColour() const { return termBackColour_; }
    void setTermFont(const QString& name, int size);
    void setTermColours(int32_t fontColour, int32_t backColour);

    bool closing() const { return closing_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    void buildToolBars();
    void buildPanes();
    void buildToolTabs();
    QWidget* tabSheet(const std::string& name) const;
    void setConnectDown(bool down);
    void applyStopBits();
    void applyPortSelection();
    // Waits handling messages until done() holds, the send is cancelled or the window closes;
    // pollMs is how often done() is looked at when no message arrives.
    void waitUntil(const std::function<bool()>& done, int pollMs);
    QString openFileDialog();
    // Asks for a file; a chosen one becomes the current file and send runs.
    void chooseFileAndSend(void (TfrmTerm::*send)());
    TTermOptions termOptions() const;
    void applyPaneColours(const QColor& background);

    bool firstActivation_ = true;
    bool closing_ = false;
    QString termFontName_ = "Fixedsys";
    int termFontSize_ = 9;
    int32_t termFontColour_ = 65535;
    int32_t termBackColour_ = 10485760;
    int filterIndex_ = 1;
    QString initialDir_;
    std::unique_ptr<TDeviceChannel> channel_;
};

extern TfrmTerm* frmTerm;

// Windows colour values (blue-green-red) and Qt colours. Values that are not plain RGB (system
// colours with the high byte set) show as the window colour and are kept as they are.
QColor colourFromWindows(int32_t value);
int32_t colourToWindows(const QColor& colour);
