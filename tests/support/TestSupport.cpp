#include "TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include <sys/resource.h>

TFakeDeviceTree::TFakeDeviceTree() : dir_("qxtree"), roots_{dir_.path() + "sys/class/tty", dir_.path() + "dev"}
{
    std::filesystem::create_directories(roots_.sysClassTty);
    std::filesystem::create_directories(roots_.dev + "/serial/by-id");
    std::filesystem::create_directories(roots_.dev + "/serial/by-path");
}

std::string TFakeDeviceTree::device(const std::string& path,
                                    std::initializer_list<std::pair<const char*, const char*>> files)
{
    const std::filesystem::path folder = dir_.path() + "sys/" + path;
    std::filesystem::create_directories(folder);
    for (const auto& [name, value] : files)
        std::ofstream(folder / name) << value << "\n";
    return folder.string();
}

void TFakeDeviceTree::driver(const std::string& folder, const std::string& name)
{
    const std::string target = dir_.path() + "sys/bus/drivers/" + name;
    std::filesystem::create_directories(target);
    std::filesystem::create_symlink(target, folder + "/driver");
}

void TFakeDeviceTree::tty(const std::string& name, const std::string& folder, const std::string& node)
{
    const std::filesystem::path entry = std::filesystem::path(roots_.sysClassTty) / name;
    std::filesystem::create_directories(entry);
    std::filesystem::create_symlink(folder, entry / "device");
    const std::string dev = roots_.dev + "/" + name;
    if (node.empty())
        std::ofstream{dev};
    else
        std::filesystem::create_symlink(node, dev);
}

void TFakeDeviceTree::link(const std::string& where, const std::string& target)
{
    std::filesystem::create_symlink(target, roots_.dev + "/" + where);
}

void TFakeDeviceTree::board(const std::string& usb, const std::string& name, const char* serial, const std::string& node)
{
    const std::string base = "devices/pci0000:00/usb1/" + usb;
    const std::string dev =
        device(base, {{"idVendor", "1a86"}, {"idProduct", "55d4"}, {"manufacturer", "QX"}, {"product", "QX Board2"}});
    if (serial)
        std::ofstream(dev + "/serial") << serial << "\n";
    const std::string interface = device(base + "/" + usb + ":1.0", {{"bInterfaceNumber", "00"}});
    driver(interface, "cdc_acm");
    tty(name, interface, node);
}

void TFakeDeviceTree::unplug(const std::string& name)
{
    std::filesystem::remove_all(std::filesystem::path(roots_.sysClassTty) / name);
    std::filesystem::remove(roots_.dev + "/" + name);
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double processCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TSpread spreadOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
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
