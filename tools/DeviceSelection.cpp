#include "DeviceSelection.h"

#include "AsiTab.h"
#include "BmpTab.h"
#include "FlashPanel.h"
#include "Catalogue.h"
#include "Download.h"
#include "InfoTab.h"
#include "IniFile.h"
#include "Latin1.h"
#include "Messages.h"
#include "Places.h"
#include "ToolContext.h"
#include "Values.h"

#include "VaComm.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTabBar>
#include <QTabWidget>

#include <strings.h>

TDeviceSelection::TDeviceSelection(TToolContext& context, QComboBox& cboDevice, QTabWidget& PageControl1,
                                   TInfoTab& info, TBmpTab& bmp, TAsiTab& asi)
    : context_(context), cboDevice_(cboDevice), PageControl1_(PageControl1), info_(info), bmp_(bmp), asi_(asi)
{
}

std::string TDeviceSelection::webToolAddress()
{
    return makerSite() + "/qxtools/";
}

QWidget* TDeviceSelection::tabSheet(const std::string& name) const
{
    for (int i = 0; i < PageControl1_.count(); ++i) {
        QWidget* sheet = PageControl1_.widget(i);
        if (::strcasecmp(bytes(sheet->objectName()).c_str(), name.c_str()) == 0)
            return sheet;
    }
    return nullptr;
}

void TDeviceSelection::loadIntroPage(const std::string& address)
{
    // The marker is fetched once per run (per address); later activations do not wait on the network.
    const std::string marker = markerText(address, [](const std::string& url) { return fetchUrl(url); });
    const TIntroChoice choice = introChoice(marker, address, "file://" + placeOf(TQxPlace::qpToolFolder));
    toolsBaseUrl = choice.toolsBaseUrl;
    publishedVersion = choice.publishedVersion;
    homeUrl = toolsBaseUrl + choice.page;
    info_.wbIntro->navigate(homeUrl);
    PageControl1_.setCurrentIndex(0);
}

void TDeviceSelection::loadDeviceList()
{
    const TIniFile catalogue(catalogueFile(placeOf(TQxPlace::qpToolFolder)));
    // The list is read afresh; the device shown stays shown when the catalogue still lists it.
    const QString shown = cboDevice_.currentText();
    cboDevice_.clear();
    for (const auto& name : deviceNames(catalogue))
        cboDevice_.addItem(latin1(name));
    const int keep = shown.isEmpty() ? -1 : cboDevice_.findText(shown);
    cboDevice_.setCurrentIndex(keep >= 0 ? keep : 0);
    // The flash grid starts over white at each activation.
    bmp_.flash->Grid->resetColours();
}

void TDeviceSelection::selectDevice()
{
    const TBusyState busy(context_);
    const std::string name = bytes(cboDevice_.currentText());
    const std::string path = catalogueFile(placeOf(TQxPlace::qpToolFolder));
    context_.addStatus("Device " + name + " selected\n");
    offerCatalogueUpdate(path);

    const TIniFile catalogue(path);
    const TDeviceEntry device = readDevice(catalogue, name);
    context_.addStatus(device.description + "\n", fsBold);
    if (name == kNoDevice) {
        loadIntroPage(webToolAddress());
        PageControl1_.setCurrentWidget(&info_);
        return;
    }
    deviceType = device.type;
    if (context_.VaComm1.Active())
        identify(name, device);
    else
        context_.addStatus("Com port not set so no device checking can be done\n");

    loadFileList(catalogue, bmp_.cboBFFfileName, name, "BFFFILE");
    loadFileList(catalogue, bmp_.cboBMPfileName, name, "BMPFILE");
    context_.frame.setDeviceMarks(device.echo, device.cts);
    enableTabs(device);
    showDevicePages(device);
    bmp_.cboBFFfileName->setCurrentIndex(device.bffPosition);
    bmp_.cboBMPfileName->setCurrentIndex(device.bmpPosition);
    context_.frame.setUpdatePosition(device.updatePosition);
}

void TDeviceSelection::offerCatalogueUpdate(const std::string& path)
{
    // A newer catalogue announced by the marker file is offered.
    if (!catalogueUpdateOffered(TIniFile(path), publishedVersion)
        || !askConfirmation("Device catalogue", "More devices have been added would you like to update the ini file"))
        return;
    const std::string downloaded = fetchUrl(toolsBaseUrl + "devices.ini");
    if (downloaded.compare(0, 7, "[TOOLS]") == 0) {
        context_.addStatus("Updating int file ");
        replaceCatalogue(path, downloaded, publishedVersion);
        context_.addStatus(" ok\n", fsBold, kOkGreen);
    } else {
        context_.addStatus("Could not update ini file does not exist\n");
    }
}

void TDeviceSelection::identify(const std::string& name, const TDeviceEntry& device)
{
    TVaComm& port = context_.VaComm1;
    // Decoded before anything is sent: a malformed character code stops the selection here.
    const TDeviceStrings strings = deviceStrings(device);
    context_.frame.setLineChoice(TLineChoice{device.baud, device.stopBits, device.dataBits});

    // Wake the device, then initialise it.
    port.WriteChar('\r');
    context_.waitMs(350);
    port.WriteChar('\r');
    context_.waitMs(150);
    context_.addStatus("Sending initialisation string\n");
    context_.rx.clear();
    for (const std::string& field : strings.init) {
        port.WriteText(field);
        context_.waitMs(100);
    }
    context_.waitMs(100); // the pause of the list's empty end

    if (device.isAsi()) {
        deviceAddress = context_.rx.empty() ? std::string() : context_.rx.substr(0, context_.rx.size() - 1);
        asi_.txtAddress->setText(latin1(deviceAddress));
        context_.terminator = ">";
    }
    context_.addStatus("checking to see if " + name + " connected");
    std::string id = strings.id;
    if (device.isAsi() && !id.empty())
        id = deviceAddress + id;
    const TReply reply = context_.channel.sendAndWait(id, name, 100);
    if (reply.found)
        context_.addStatus(" - ok\n", fsBold, kOkGreen);
    else
        context_.addStatus("\nNo device found, Device returns [" + reply.text + "]\n");
    if (!getField(device.update, 1, ',').empty())
        context_.frame.enableUpdate();
}

void TDeviceSelection::enableTabs(const TDeviceEntry& device)
{
    // The listed tabs are enabled and moved to the front one after the other, so they end up
    // first in reverse order of the list. A name that is no tab sheet is passed over.
    context_.addStatus("Enabling tabs [" + device.tabs + "]\n");
    for (int n = 1;; ++n) {
        const std::string tab = getField(device.tabs, n, ',');
        if (tab.empty())
            break;
        QWidget* sheet = tabSheet(tab);
        if (!sheet)
            continue;
        const int from = PageControl1_.indexOf(sheet);
        const QString caption = PageControl1_.tabText(from);
        PageControl1_.removeTab(from);
        PageControl1_.insertTab(0, sheet, caption);
        PageControl1_.setTabEnabled(0, true);
        PageControl1_.tabBar()->setTabTextColor(0, context_.window.palette().color(QPalette::WindowText));
        sheet->setCursor(Qt::ArrowCursor);
    }
    PageControl1_.setCurrentIndex(device.currentPage);
}

void TDeviceSelection::showDevicePages(const TDeviceEntry& device)
{
    // A device without an intro page keeps the page shown (the bare tool folder is no page).
    if (!device.introUrl.empty()) {
        homeUrl = toolsBaseUrl + device.introUrl;
        info_.wbIntro->navigate(homeUrl);
    }
    if (device.stringFilePath.size() > 1 && onLibraryFolder) {
        std::string folder = placeOf(TQxPlace::qpToolFolder) + device.stringFilePath;
        if (folder.back() != '/')
            folder += '/';
        onLibraryFolder(folder, device.stringFileMask.size() > 1 ? device.stringFileMask : std::string());
    }
}

void TDeviceSelection::saveDeviceStatus()
{
    const std::string name = bytes(cboDevice_.currentText());
    // An empty selector names no section.
    if (name.empty())
        return;
    TIniFile catalogue(catalogueFile(placeOf(TQxPlace::qpToolFolder)));
    context_.addStatus("Saving current status \n");
    saveFileList(catalogue, bmp_.cboBFFfileName, name, "BFFFILE");
    saveFileList(catalogue, bmp_.cboBMPfileName, name, "BMPFILE");
    if (name == kNoDevice)
        return;
    const TLineChoice line = context_.frame.lineChoice();
    catalogue.WriteInteger(name, "Baud", line.baud);
    catalogue.WriteInteger(name, "StopBits", line.stopBits);
    catalogue.WriteInteger(name, "DataBits", line.dataBits);
    catalogue.WriteInteger(name, "CurrentPage", PageControl1_.currentIndex());
    catalogue.WriteInteger(name, "BFFPosition", bmp_.cboBFFfileName->currentIndex());
    catalogue.WriteInteger(name, "BMPPosition", bmp_.cboBMPfileName->currentIndex());
    catalogue.WriteInteger(name, "UpdatePosition", context_.frame.updatePosition());
}
