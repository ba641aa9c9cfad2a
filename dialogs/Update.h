// The device update dialog: puts the selected device into its boot loader on the main window's port,
// finds out which loader generation answers and uploads the chosen firmware file to it (XMODEM-1K
// to the first generation, a length-and-chunks exchange to the second).
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class TToolContext;
class TVaComm;
class TVaXModem;

// How an upload ended.
enum class TUpdateOutcome {
    Uploaded,  // the whole file went to the loader
    NoLoader,  // neither loader generation answered the entry command
    Refused,   // the second-generation loader answered NAK
    EndedEarly, // the second-generation loader sent EOT before the whole file
    Failed,    // the XMODEM transfer ended with an exit code other than 0
    Cancelled, // Cancel was pressed
    PortLost,  // the port closed (or the device vanished) during the update
    Closing,   // the program is closing
};

class TfrmUpdate : public QDialog {
    Q_OBJECT
public:
    explicit TfrmUpdate(TToolContext& context, QWidget* parent = nullptr);
    ~TfrmUpdate() override;

    QLabel* lblDeviceName;
    QComboBox* cboUpdate; // firmware files, kept in the settings file's [UPDATE] section
    QLabel* lblFileName;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* lblPacket;
    QProgressBar* pbUpload; // bytes of the file sent so far
    QToolButton* spDelBMP;
    QPushButton* cmdBrows;
    QCheckBox* chkCloseonComplete;
    QPushButton* cmdUpdate;
    QPushButton* cmdCancel;
    QFileDialog* dlgOpen;

    std::unique_ptr<TVaXModem> VaXModem2;
    std::unique_ptr<TVaComm> VaComm3;

    // Readies the dialog for an update of device: its heading, no progress of an earlier run, and
    // the file last chosen for that device when the history still holds it.
    void prepare(const QString& device);
    // The file history (the settings file keeps it); setting it selects its last entry.
    void setFileHistory(const std::vector<std::string>& files);
    std::vector<std::string> fileHistory() const;
    // Selects the file last chosen for device in this run when the history holds it, else the
    // entry at position (the device's catalogue entry); and which entry is selected.
    void selectFileOf(const QString& device, int position);
    int selectedEntry() const;
    void FormShow();
    void cboUpdateChange();
    void cmdBrowsClick();
    void spDelBMPClick();
    void cmdCancelClick();
    void cmdUpdateClick();
    void VaXModem2TransferStart();
    void VaXModem2PacketEvent(int32_t packet, int64_t byteCount);
    void VaXModem2Error(int32_t errorCode);
    void VaXModem2FileInfo();
    void VaXModem2TransferEnd(int32_t exitCode);

    // The outcome of the last update run (Uploaded before the first).
    TUpdateOutcome lastOutcome() const { return outcome_; }
    bool updateCancelled = false;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // The port closed, the program closes or Cancel was pressed: every wait of an update ends.
    bool interrupted() const;
    TUpdateOutcome interruption() const;
    // Waits, handling messages, until done() holds or the update is interrupted; returns done().
    bool waitFor(const std::function<bool()>& done);
    void resetPulse();
    TUpdateOutcome appLoader1Upload(const std::string& answer);
    TUpdateOutcome appLoader2Upload();
    void reportOutcome(TUpdateOutcome outcome);
    void park();

    TToolContext& context_;
    TUpdateOutcome outcome_ = TUpdateOutcome::Uploaded;
    bool running_ = false;                  // an update is in progress
    QString device_;                        // the device the dialog was prepared for
    std::map<QString, QString> lastFiles_;  // the file last chosen for each device
    std::string replyShown_; // what the device answered the entry command with
};

// The characters of a device reply as the status pane shows them: control characters and those
// above 126 as "#" and their decimal code.
std::string visibleReply(const std::string& reply);

extern TfrmUpdate* frmUpdate;
