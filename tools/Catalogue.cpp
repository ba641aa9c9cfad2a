#include "Catalogue.h"

#include "AtomicFile.h"
#include "Values.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <unistd.h>

std::string deviceType;
std::string deviceAddress;
std::string toolsBaseUrl;
std::string homeUrl;
std::string publishedVersion;

std::string catalogueFile(const std::string& toolFolder)
{
    return toolFolder + "devices.ini";
}

std::vector<std::string> deviceNames(const TIniFile& catalogue)
{
    return loadFileList(catalogue.ReadString("TOOLS", "Devices", kNoDevice));
}

TDeviceEntry readDevice(const TIniFile& ini, const std::string& name)
{
    TDeviceEntry d;
    d.description = ini.ReadString(name, "Description", "");
    d.type = ini.ReadString(name, "Type", "VT100");
    d.baud = ini.ReadInteger(name, "Baud", 6);
    d.stopBits = ini.ReadInteger(name, "StopBits", 2);
    d.dataBits = ini.ReadInteger(name, "DataBits", 4);
    d.init = ini.ReadString(name, "Init", "");
    d.idString = ini.ReadString(name, "IDstring", "");
    d.update = ini.ReadString(name, "Update", "");
    d.echo = ini.ReadString(name, "Echo", "off") == "on";
    d.cts = ini.ReadString(name, "CTS", "off") == "on";
    d.tabs = ini.ReadString(name, "Tabs", "");
    d.currentPage = ini.ReadInteger(name, "CurrentPage", 0);
    d.introUrl = ini.ReadString(name, "IntroUrl", "");
    d.stringFilePath = ini.ReadString(name, "StringFilePath", "");
    d.stringFileMask = ini.ReadString(name, "StringFileMask", "");
    d.bffPosition = ini.ReadInteger(name, "BFFPosition", 0);
    d.bmpPosition = ini.ReadInteger(name, "BMPPosition", 0);
    d.updatePosition = ini.ReadInteger(name, "UpdatePosition", 0);
    return d;
}

TDeviceStrings deviceStrings(const TDeviceEntry& device)
{
    TDeviceStrings s;
    for (int n = 1;; ++n) {
        const std::string field = getField(device.init, n, ',');
        if (field.empty())
            break;
        s.init.push_back(decodeEscapes(stripComment(field, ";")));
    }
    s.id = decodeEscapes(stripComment(device.idString, ";"));
    return s;
}

TIntroChoice introChoice(const std::string& marker, const std::string& webToolAddress, const std::string& localToolUrl)
{
    TIntroChoice c;
    c.page = "defaultLocal.htm";
    if (getField(marker, 1, ',') == "QXT") {
        c.toolsBaseUrl = webToolAddress;
        c.page = "defaultInet.htm";
        c.publishedVersion = getField(marker, 3, ',');
        if (getField(marker, 2, ',') != kProgramVersion)
            c.page = "defaultUpdate.htm";
    } else {
        c.toolsBaseUrl = localToolUrl;
    }
    return c;
}

std::string markerText(const std::string& webToolAddress, const std::function<std::string(const std::string&)>& fetch)
{
    static std::map<std::string, std::string> remembered;
    const auto it = remembered.find(webToolAddress);
    if (it != remembered.end())
        return it->second;
    // Remembered as failed while the fetch runs: an activation inside it does not fetch again.
    remembered[webToolAddress] = std::string();
    std::string text = fetch(webToolAddress + "marker.txt");
    remembered[webToolAddress] = text;
    return text;
}

bool catalogueUpdateOffered(const TIniFile& catalogue, const std::string& announcedVersion)
{
    if (announcedVersion.empty())
        return false;
    const std::string own = catalogue.ReadString("TOOLS", "Version", "");
    return !own.empty() && own != announcedVersion;
}

bool replaceCatalogue(const std::string& path, const std::string& downloaded, const std::string& version)
{
    if (downloaded.compare(0, 7, "[TOOLS]") != 0)
        return false;
    // The download gets its version in a file beside the catalogue, which then replaces the
    // catalogue in one step: a crash leaves the old catalogue or the new one, never the download
    // without its version.
    const std::string next = path + ".new";
    if (!writeFileAtomically(next, downloaded)) {
        const int error = errno;
        throw EIniFileError("Cannot write " + path + ": " + std::strerror(error));
    }
    try {
        TIniFile(next).WriteString("TOOLS", "Version", version);
    } catch (...) {
        ::unlink(next.c_str());
        throw;
    }
    if (::rename(next.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(next.c_str());
        throw EIniFileError("Cannot write " + path + ": " + std::strerror(error));
    }
    return true;
}
