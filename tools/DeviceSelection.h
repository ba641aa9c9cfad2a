// The device selection: the intro page of the Info tab, the device selector filled from the
// catalogue, the selection of a catalogue device (line settings, wake-up, init and identification,
// tool tabs, file histories) and the device's state written back into the catalogue at close.
#pragma once

#include <functional>
#include <string>

class QComboBox;
class QTabWidget;
class QWidget;
class TAsiTab;
class TBmpTab;
class TInfoTab;
class TToolContext;
struct TDeviceEntry;

class TDeviceSelection {
public:
    // cboDevice is the tool bar's device selector; PageControl1 holds the tool tab sheets, named
    // by their object names as the catalogue's "Tabs" names them.
    TDeviceSelection(TToolContext& context, QComboBox& cboDevice, QTabWidget& PageControl1, TInfoTab& info,
                     TBmpTab& bmp, TAsiTab& asi);

    // The Strings tab's part of a selection: the device's snippet folder and file mask.
    std::function<void(const std::string& folder, const std::string& mask)> onLibraryFolder;

    // The web tool address: the maker's web site followed by "/qxtools/".
    static std::string webToolAddress();
    void loadIntroPage(const std::string& address);
    void loadDeviceList();
    void selectDevice();
    void saveDeviceStatus();
    // The tab sheet of PageControl1 with that name (any letter case), or none.
    QWidget* tabSheet(const std::string& name) const;

private:
    // The parts of a selection: a newer catalogue offered; the line set up, the device woken,
    // initialised and identified; its tabs enabled; its intro page and snippet folder shown.
    void offerCatalogueUpdate(const std::string& path);
    void identify(const std::string& name, const TDeviceEntry& device);
    void enableTabs(const TDeviceEntry& device);
    void showDevicePages(const TDeviceEntry& device);

    TToolContext& context_;
    QComboBox& cboDevice_;
    QTabWidget& PageControl1_;
    TInfoTab& info_;
    TBmpTab& bmp_;
    TAsiTab& asi_;
};
