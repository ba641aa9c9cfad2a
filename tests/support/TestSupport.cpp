#include "TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include <sys/resource.h>

double processCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TTempDir::TTempDir(const std::string& prefix)
{
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    std::vector<char> buffer(tmpl.begin(), tmpl.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("cannot make a temporary folder");
    path_ = std::string(buffer.data()) + "/";
}

std::vector<std::string> folderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* d = ::opendir(folder.c_str());
    while (auto* e = d ? ::readdir(d) : nullptr)
        if (std::string name = e->d_name; name != "." && name != "..")
            names.push_back(name);
    if (d)
        ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

TTempDir::~TTempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool TFakeModemLines::Status(int, uint32_t& bits)
{
    bits = MS_DSR_ON | (cts ? MS_CTS_ON : 0) | (ring ? MS_RING_ON : 0);
    return true;
}

bool TFakeModemLines::Drive(int, bool isDtr, bool on)
{
    if (isDtr) {
        if (dtr.exchange(on) != on)
            ++dtrChanges;
    } else {
        rts = on;
    }
    return true;
}
