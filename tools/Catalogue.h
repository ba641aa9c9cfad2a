// The device catalogue "devices.ini" of the tool folder and the marker file of the maker's web
// site: the known devices with their line settings, init and identification strings and tool tabs;
// which intro page the Info tab shows; and the replacement of the catalogue by the published one.
#pragma once

#include "IniFile.h"

#include <functional>
#include <string>
#include <vector>

// The selected device's "Type" and, for an "ASI" device, its bus address.
extern std::string deviceType;
extern std::string deviceAddress;
// Base address of the intro pages and of the published catalogue; where the Info tab's Home goes;
// the catalogue version the marker file announces (empty when none was read).
extern std::string toolsBaseUrl;
extern std::string homeUrl;
extern std::string publishedVersion;

// This program's version as the marker file compares it.
inline constexpr const char* kProgramVersion = "1.02";
inline constexpr const char* kNoDevice = "none";
inline constexpr int kMaxDevices = 8;

// The catalogue file of a tool folder (which ends with "/").
std::string catalogueFile(const std::string& toolFolder);

// The names of [TOOLS] "Devices" (default "none"), at most eight.
std::vector<std::string> deviceNames(const TIniFile& catalogue);

// One device section with every key's default for what the section does not hold.
struct TDeviceEntry {
    std::string description;
    std::string type = "VT100";
    int baud = 6;
    int stopBits = 2;
    int dataBits = 4;
    std::string init;      // comma-separated list
    std::string idString;
    std::string update;    // field 1: loader entry text; field 2: the answer to its prompt
    bool echo = false;
    bool cts = false;
    std::string tabs;      // comma-separated tab names
    int currentPage = 0;
    std::string introUrl;
    std::string stringFilePath;
    std::string stringFileMask;
    int bffPosition = 0;
    int bmpPosition = 0;
    int updatePosition = 0;

    bool isAsi() const { return type == "ASI"; }
};
TDeviceEntry readDevice(const TIniFile& catalogue, const std::string& name);

// The strings a selection sends, decoded before anything goes out: the init fields up to (not
// including) the first empty one, and the identification string. Raises EConvertError for a
// malformed character code.
struct TDeviceStrings {
    std::vector<std::string> init;
    std::string id;
};
TDeviceStrings deviceStrings(const TDeviceEntry& device);

// What the marker file's text means for the Info tab.
struct TIntroChoice {
    std::string toolsBaseUrl;
    std::string page;              // "defaultLocal.htm", "defaultInet.htm" or "defaultUpdate.htm"
    std::string publishedVersion;
};
// webToolAddress is the site's tool address (ending "/"), localToolUrl the tool folder's file:// address.
TIntroChoice introChoice(const std::string& marker, const std::string& webToolAddress, const std::string& localToolUrl);

// The marker file's text for a web tool address: fetched once per address for the run (a failure
// is remembered too), so later calls do not wait on the network.
std::string markerText(const std::string& webToolAddress, const std::function<std::string(const std::string&)>& fetch);

// True when the marker announced a catalogue version and the catalogue's own differs.
bool catalogueUpdateOffered(const TIniFile& catalogue, const std::string& announcedVersion);

// Replaces the catalogue with a downloaded one when it starts with "[TOOLS]": written atomically
// as the complete new content, then [TOOLS] "Version" set to version. Returns false (file
// untouched) for any other download; raises EIniFileError when the file cannot be written.
bool replaceCatalogue(const std::string& path, const std::string& downloaded, const std::string& version);
