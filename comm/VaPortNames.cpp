#include "VaPortNames.h"
#include "VaNetTransport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <glob.h>

std::vector<std::string> VaSystemPortNames(const std::string& sysClassTty)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(sysClassTty, ec)) {
        // Only ttys backed by a device are serial ports; virtual consoles and ptys have none.
        if (!fs::exists(entry.path() / "device", ec))
            continue;
        const std::string name = entry.path().filename().string();
        if (name.rfind("ttyS", 0) == 0) {
            // The kernel lists every possible 8250 port; those without a UART report type 0.
            std::ifstream type(entry.path() / "type");
            int value = -1;
            if (type >> value && value == 0)
                continue;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void VaAppendPortPatterns(std::vector<std::string>& list, const std::string& patterns)
{
    size_t start = 0;
    while (start <= patterns.size()) {
        size_t end = patterns.find(',', start);
        if (end == std::string::npos)
            end = patterns.size();
        std::string pattern = patterns.substr(start, end - start);
        const auto first = pattern.find_first_not_of(" \t");
        const auto last = pattern.find_last_not_of(" \t");
        pattern = first == std::string::npos ? "" : pattern.substr(first, last - first + 1);
        start = end + 1;
        if (pattern.empty())
            continue;
        // A remote port's URL is no path: its "?" would be a wildcard.
        if (VaIsPortUrl(pattern)) {
            if (std::find(list.begin(), list.end(), pattern) == list.end())
                list.push_back(pattern);
            continue;
        }
        glob_t matches{};
        if (::glob(pattern.c_str(), 0, nullptr, &matches) == 0) {
            for (size_t i = 0; i < matches.gl_pathc; ++i) {
                const std::string path = matches.gl_pathv[i];
                if (std::find(list.begin(), list.end(), path) == list.end())
                    list.push_back(path);
            }
        }
        ::globfree(&matches);
    }
}

std::string VaDevicePath(const std::string& namePattern, int32_t portNum)
{
    std::string name;
    bool used = false;
    for (size_t i = 0; i < namePattern.size(); ++i) {
        if (namePattern[i] == '%' && i + 1 < namePattern.size()) {
            if (namePattern[i + 1] == '%') {
                name += '%';
                ++i;
                continue;
            }
            if (namePattern[i + 1] == 'd' && !used) {
                name += std::to_string(portNum);
                used = true;
                ++i;
                continue;
            }
        }
        name += namePattern[i];
    }
    return name.find('/') == std::string::npos ? "/dev/" + name : name;
}
