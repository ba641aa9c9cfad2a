// The XMODEM transfer dialog: sends a file to the device or receives one from it over the main
// window's port (XMODEM family), or a batch of files with YMODEM, and can send a text of the user's
// whenever it becomes active or inactive.
#pragma once

#include "ToolContext.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TToolContext;
class TVaComm;
class TVaXModem;
class TVaXYModem;
class TVaYModem;

// The "#n" notation of the dialog's texts: "#" and the characters up to the next blank, CR, LF or
// the end give one character by their decimal value (low 8 bits); the output ends at a character
// 0 and holds at most 100 characters.
std::string expandSpecialChars(const std::string& text);

// The files of the file name box: one path, or several each in double quotes (as the file dialog
// writes a multiple choice).
std::vector<std::string> fileNameList(const std::string& text);

class TfrmXModem : public QDialog {
    Q_OBJECT
public:
    explicit TfrmXModem(TToolContext& context, QWidget* parent = nullptr);
    ~TfrmXModem() override;

    QLabel* Label4;
    QPlainTextEdit* Memo1;
    QLabel* Label5;
    QLineEdit* txtXModemFileName;
    QPushButton* btnXModemBrowes;
    QLabel* Label7;
    QComboBox* cboXModemProtocol;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label6;
    QLabel* Label8;
    QLabel* Label10;
    QLabel* Label9;
    QLabel* Label11;
    QLabel* Label12;
    QLineEdit* txtStringOnOpen;
    QCheckBox* chkOnOpen;
    QLabel* Label13;
    QLineEdit* txtStringOnClose;
    QCheckBox* chkOnClose;
    QCheckBox* chkOnComplete;
    QPushButton* cmdXModemAbort;
    QPushButton* cmdOK;
    QPushButton* cmdXModemRecieve;
    QPushButton* cmdXModemSend;
    QLabel* Label14;
    QLineEdit* txtYModemFolder;
    QPushButton* btnYModemFolder;

    std::unique_ptr<TVaXModem> VaXModem1;
    std::unique_ptr<TVaYModem> VaYModem1;
    std::unique_ptr<TVaComm> VaComm2;

    void GetSettings();
    void WriteSettings();
    void FormActivate();
    void FormDeactivate();
    void cboXModemProtocolChange();
    void btnXModemBrowesClick();
    void btnYModemFolderClick();
    void cmdXModemSendClick();
    void cmdXModemRecieveClick();
    void cmdXModemAbortClick();
    void cmdOKClick();
    // The device went away: a running transfer is told so and cancelled.
    void deviceDisconnected();

protected:
    void hideEvent(QHideEvent* event) override;

    // The component of the chosen protocol: VaYModem1 for the YMODEM entries, else VaXModem1.
    TVaXYModem& transfer() const;
    bool batchChosen() const;
    // A transfer of either component runs.
    bool busy() const;
    std::array<TVaXYModem*, 2> components() const;

private:
    void wire(TVaXYModem& component);
    // Sets up VaYModem1 for the transfer; false (with a line in the log) when it cannot start.
    bool prepareBatch(bool download);
    void startTransfer(bool download);
    void park();
    // A running transfer marks the program busy, so that no other operation starts on the port
    // meanwhile; Send and Receive are offered only while nothing runs.
    void setTransferRunning(bool running);
    void enableStartButtons();
    void addLine(const QString& line);

    TToolContext& context_;
    std::optional<TBusyState> transferBusy_;
    int64_t received_ = 0; // bytes of the file being received so far
};

extern TfrmXModem* frmXModem;
