// The main window's side of the device tools: the tool tab sheets, the intro page, the device
// selector with the selection of a catalogue device, and the device's state saved at close.
#include "qx_com.h"

#include "Catalogue.h"
#include "DeviceChannel.h"
#include "Download.h"
#include "InfoTab.h"
#include "IniFile.h"
#include "Messages.h"
#include "Places.h"
#include "Shells.h"
#include "Values.h"
#include "about.h"

#include "VaComm.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <strings.h>

namespace {

QString latin1(const std::string& s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

std::string bytes(const QString& s)
{
    return s.toLatin1().toStdString();
}

const QColor kOkGreen(0, 128, 0);

} // namespace

void TfrmTerm::buildToolTabs()
{
    Info = new TInfoTab(PageControl1);
    Info->setObjectName("Info");
    wbIntro = Info->wbIntro;

    BMP = new QWidget(PageControl1);
    BMP->setObjectName("BMP");
    auto* bmpLayout = new QFormLayout(BMP);
    cboBFFfileName = new QComboBox(BMP);
    cboBFFfileName->setObjectName("cboBFFfileName");
    cboBMPfileName = new QComboBox(BMP);
    cboBMPfileName->setObjectName("cboBMPfileName");
    bmpLayout->addRow("Font file", cboBFFfileName);
    bmpLayout->addRow("Bitmap file", cboBMPfileName);

    Strings = new QWidget(PageControl1);
    Strings->setObjectName("Strings");
    auto* stringsLayout = new QVBoxLayout(Strings);
    lblCurrentPath = new QLabel(Strings);
    lblCurrentPath->setObjectName("lblCurrentPath");
    stringsLayout->addWidget(lblCurrentPath);
    stringsLayout->addStretch(1);

    ASI = new QWidget(PageControl1);
    ASI->setObjectName("ASI");
    auto* asiLayout = new QFormLayout(ASI);
    txtAddress = new QLineEdit(ASI);
    txtAddress->setObjectName("txtAddress");
    asiLayout->addRow("Address", txtAddress);

    PageControl1->addTab(Info, "Info");
    PageControl1->addTab(BMP, "BMP");
    PageControl1->addTab(Strings, "Stings");
    PageControl1->addTab(ASI, "ASI");
    PageControl1->setTabEnabled(1, false);
    PageControl1->setTabEnabled(2, false);
}

QWidget* TfrmTerm::tabSheet(const std::string& name) const
{
    for (QWidget* sheet : {static_cast<QWidget*>(Info), BMP, Strings, ASI}) {
        if (::strcasecmp(bytes(sheet->objectName()).c_str(), name.c_str()) == 0)
            return sheet;
    }
    return nullptr;
}

std::string TfrmTerm::webToolAddress() const
{
    return bytes(makerSite()) + "/qxtools/";
}

// ---------------------------------------------------------------------------------------------------
// Command channel

TReply TfrmTerm::sendAndWait(const std::string& command, const std::string& expected, int tries)
{
    return channel_->sendAndWait(command, expected, tries);
}

TReply TfrmTerm::sendAndWaitDirect(const std::string& command, const std::string& expected, int tries)
{
    return channel_->sendAndWaitDirect(command, expected, tries);
}

size_t TfrmTerm::sendPaced(const std::string& data, size_t count, int progressMax)
{
    TDeviceChannel::TPacedView view;
    view.progress = ProgressBar1;
    view.cancelButton = btnCancel;
    view.cancel = &cancelFlag;
    view.closing = [this] { return closing(); };
    return channel_->sendPaced(data, count, progressMax, view);
}

// ---------------------------------------------------------------------------------------------------
// Intro page and device list

void TfrmTerm::loadIntroPage(const std::string& address)
{
    // The marker is fetched once per run (per address); later activations do not wait on the network.
    const std::string marker = markerText(address, [](const std::string& url) { return fetchUrl(url); });
    const TIntroChoice choice = introChoice(marker, address, "file://" + placeOf(TQxPlace::qpToolFolder));
    toolsBaseUrl = choice.toolsBaseUrl;
    publishedVersion = choice.publishedVersion;
    homeUrl = toolsBaseUrl + choice.page;
    wbIntro->navigate(homeUrl);
    PageControl1->setCurrentIndex(0);
}

void TfrmTerm::loadDeviceList()
{
    const TIniFile catalogue(catalogueFile(placeOf(TQxPlace::qpToolFolder)));
    // The list is read afresh; the device shown stays shown when the catalogue still lists it.
    const QString shown = cboDevice->currentText();
    cboDevice->clear();
    for (const auto& name : deviceNames(catalogue))
        cboDevice->addItem(latin1(name));
    const int keep = shown.isEmpty() ? -1 : cboDevice->findText(shown);
    cboDevice->setCurrentIndex(keep >= 0 ? keep : 0);
    // The flash grid's colour tables are set up by the flash block manager.
}

void TfrmTerm::refreshTools()
{
    // The bitmap tool's refresh belongs to the bitmap upload.
}

void TfrmTerm::cboDeviceChange()
{
    selectDevice();
    refreshTools();
}

// ---------------------------------------------------------------------------------------------------
// Device selection

void TfrmTerm::selectDevice()
{
    const std::string name = bytes(cboDevice->currentText());
    const std::string path = catalogueFile(placeOf(TQxPlace::qpToolFolder));
    const TIniFile catalogue(path);
    addStatus(latin1("Device " + name + " selected\n"));

    // A newer catalogue announced by the marker file is offered.
    if (catalogueUpdateOffered(catalogue, publishedVersion)
        && askConfirmation("Device catalogue",
                           "More devices have been added would you like to update the ini file")) {
        const std::string downloaded = fetchUrl(toolsBaseUrl + "devices.ini");
        if (downloaded.compare(0, 7, "[TOOLS]") == 0) {
            addStatus("Updating int file ");
            replaceCatalogue(path, downloaded, publishedVersion);
            addStatus(" ok\n", fsBold, kOkGreen);
        } else {
            addStatus("Could not update ini file does not exist\n");
        }
    }

    const TDeviceEntry device = readDevice(catalogue, name);
    addStatus(latin1(device.description + "\n"), fsBold);
    if (name == kNoDevice) {
        loadIntroPage(webToolAddress());
        PageControl1->setCurrentWidget(Info);
        return;
    }
    deviceType = device.type;

    if (VaComm1->Active()) {
        // Decoded before anything is sent: a malformed character code stops the selection here.
        const TDeviceStrings strings = deviceStrings(device);
        cboBaudRate->setCurrentIndex(device.baud);
        cboStopBits->setCurrentIndex(device.stopBits);
        cboDataBits->setCurrentIndex(device.dataBits);
        reSetAll();
        PortChange();

        // Wake the device, then initialise it.
        VaComm1->WriteChar('\r');
        waitMs(350);
        VaComm1->WriteChar('\r');
        waitMs(150);
        addStatus("Sending initialisation string\n");
        rxBuffer.clear();
        for (const std::string& field : strings.init) {
            VaComm1->WriteText(field);
            waitMs(100);
        }
        waitMs(100); // the pause of the list's empty end

        if (device.isAsi()) {
            deviceAddress = rxBuffer.empty() ? std::string() : rxBuffer.substr(0, rxBuffer.size() - 1);
            txtAddress->setText(latin1(deviceAddress));
            replyTerminator = ">";
        }
        addStatus(latin1("checking to see if " + name + " connected"));
        std::string id = strings.id;
        if (device.isAsi() && !id.empty())
            id = deviceAddress + id;
        const TReply reply = sendAndWait(id, name, 100);
        if (reply.found)
            addStatus(" - ok\n", fsBold, kOkGreen);
        else
            addStatus(latin1("\nNo device found, Device returns [" + reply.text + "]\n"));
        if (!getField(device.update, 1, ',').empty())
            Update1->setEnabled(true);
    } else {
        addStatus("Com port not set so no device checking can be done\n");
    }

    loadFileList(catalogue, cboBFFfileName, name, "BFFFILE");
    loadFileList(catalogue, cboBMPfileName, name, "BMPFILE");
    Echo1->setChecked(device.echo);
    HWFlow1->setChecked(device.cts);

    // The listed tabs are enabled and moved to the front one after the other, so they end up
    // first in reverse order of the list. A name that is no tab sheet is passed over.
    addStatus(latin1("Enabling tabs [" + device.tabs + "]\n"));
    for (int n = 1;; ++n) {
        const std::string tab = getField(device.tabs, n, ',');
        if (tab.empty())
            break;
        QWidget* sheet = tabSheet(tab);
        if (!sheet)
            continue;
        const int from = PageControl1->indexOf(sheet);
        const QString caption = PageControl1->tabText(from);
        PageControl1->removeTab(from);
        PageControl1->insertTab(0, sheet, caption);
        PageControl1->setTabEnabled(0, true);
        PageControl1->tabBar()->setTabTextColor(0, palette().color(QPalette::WindowText));
        sheet->setCursor(Qt::ArrowCursor);
    }
    PageControl1->setCurrentIndex(device.currentPage);

    // A device without an intro page keeps the page shown (the bare tool folder is no page).
    if (!device.introUrl.empty()) {
        homeUrl = toolsBaseUrl + device.introUrl;
        wbIntro->navigate(homeUrl);
    }

    if (device.stringFilePath.size() > 1) {
        lblCurrentPath->setText(latin1(placeOf(TQxPlace::qpToolFolder) + device.stringFilePath));
        // The snippet libraries matching "StringFileMask" are listed by the Strings tab.
    }

    cboBFFfileName->setCurrentIndex(device.bffPosition);
    cboBMPfileName->setCurrentIndex(device.bmpPosition);
    if (frmUpdate)
        frmUpdate->cboUpdate->setCurrentIndex(device.updatePosition);
}

void TfrmTerm::saveDeviceStatus()
{
    const std::string name = bytes(cboDevice->currentText());
    // An empty selector names no section.
    if (name.empty())
        return;
    TIniFile catalogue(catalogueFile(placeOf(TQxPlace::qpToolFolder)));
    addStatus("Saving current status \n");
    saveFileList(catalogue, cboBFFfileName, name, "BFFFILE");
    saveFileList(catalogue, cboBMPfileName, name, "BMPFILE");
    if (name == kNoDevice)
        return;
    catalogue.WriteInteger(name, "Baud", cboBaudRate->currentIndex());
    catalogue.WriteInteger(name, "StopBits", cboStopBits->currentIndex());
    catalogue.WriteInteger(name, "DataBits", cboDataBits->currentIndex());
    catalogue.WriteInteger(name, "CurrentPage", PageControl1->currentIndex());
    catalogue.WriteInteger(name, "BFFPosition", cboBFFfileName->currentIndex());
    catalogue.WriteInteger(name, "BMPPosition", cboBMPfileName->currentIndex());
    catalogue.WriteInteger(name, "UpdatePosition", frmUpdate ? frmUpdate->cboUpdate->currentIndex() : 0);
}
