#include "VaPortIdentity.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, without trailing white space; empty when unreadable.
std::string attribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\r' || line.back() == '\t'))
        line.pop_back();
    return line;
}

// The name of the driver bound to a sysfs device folder; empty when none.
std::string driverOf(const fs::path& device)
{
    std::error_code ec;
    const fs::path link = fs::read_symlink(device / "driver", ec);
    return ec ? std::string() : link.filename().string();
}

// What sysfs knows of the tty name: the USB interface and device above it, and its driver.
void readSysfs(TVaPortIdentity& id, const TVaDeviceRoots& roots)
{
    std::error_code ec;
    const fs::path device = fs::canonical(fs::path(roots.sysClassTty) / id.name / "device", ec);
    if (ec)
        return;
    id.driver = driverOf(device);
    // Up the device path: a USB interface folder has bInterfaceNumber, the USB device above it
    // idVendor. A tty of a USB serial converter sits one level below its interface.
    fs::path folder = device;
    for (int depth = 0; depth < 8 && folder.has_relative_path(); ++depth, folder = folder.parent_path()) {
        if (id.interface.empty() && fs::exists(folder / "bInterfaceNumber", ec)) {
            id.interface = attribute(folder / "bInterfaceNumber");
            id.usbPath = folder.filename().string();
            if (id.driver.empty())
                id.driver = driverOf(folder);
        }
        if (fs::exists(folder / "idVendor", ec)) {
            id.vendorId = attribute(folder / "idVendor");
            id.productId = attribute(folder / "idProduct");
            id.manufacturer = attribute(folder / "manufacturer");
            id.product = attribute(folder / "product");
            id.serial = attribute(folder / "serial");
            if (id.usbPath.empty())
                id.usbPath = folder.filename().string();
            return;
        }
    }
}

// The links in folder (e.g. /dev/serial/by-id) that lead to devicePath; the first one.
std::string linkTo(const fs::path& folder, const fs::path& devicePath)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry.path(), linkError);
        if (linkError)
            continue;
        const fs::path resolved = (target.is_absolute() ? target : folder / target).lexically_normal();
        if (resolved == devicePath)
            return entry.path().string();
    }
    return {};
}

} // namespace

TVaPortIdentity VaPortIdentity(const std::string& name, const TVaDeviceRoots& roots)
{
    TVaPortIdentity id;
    id.name = name;
    const fs::path devRoot = fs::path(roots.dev).lexically_normal();
    if (name.find('/') != std::string::npos) {
        // A path names itself; where it leads tells what it is, if that is a tty sysfs knows.
        id.devicePath = name;
        std::error_code ec;
        const fs::path target = fs::canonical(name, ec);
        if (ec)
            return id;
        id.target = target.string();
        if (target.parent_path() == devRoot) {
            TVaPortIdentity known = VaPortIdentity(target.filename().string(), roots);
            known.name = id.name;
            known.devicePath = id.devicePath;
            known.target = id.target;
            return known;
        }
        return id;
    }
    id.devicePath = (devRoot / name).string();
    readSysfs(id, roots);
    id.byId = linkTo(devRoot / "serial" / "by-id", id.devicePath);
    id.byPath = linkTo(devRoot / "serial" / "by-path", id.devicePath);
    return id;
}

std::string TVaPortIdentity::key() const
{
    if (name.find('/') != std::string::npos)
        return "path:" + name;
    if (usb() && !serial.empty())
        return "usb:" + vendorId + ":" + productId + ":" + serial + ":" + interface;
    if (usb() && !usbPath.empty())
        return "usb-path:" + vendorId + ":" + productId + ":" + usbPath;
    return "path:" + devicePath;
}

std::string TVaPortIdentity::description() const
{
    if (usb()) {
        const std::string& head = !product.empty() ? product : manufacturer;
        std::string ids = vendorId + ":" + productId;
        if (!serial.empty())
            ids += " SN " + serial;
        return head.empty() ? "(" + ids + ")" : head + " (" + ids + ")";
    }
    if (!driver.empty())
        return driver;
    if (!target.empty() && target != devicePath)
        return "link to " + target;
    return {};
}

std::string TVaPortIdentity::details() const
{
    std::string text = devicePath;
    auto line = [&text](const char* label, const std::string& value) {
        if (!value.empty())
            text += std::string("\n") + label + value;
    };
    line("Leads to ", target != devicePath ? target : std::string());
    line("Manufacturer: ", manufacturer);
    line("Product: ", product);
    line("USB id: ", usb() ? vendorId + ":" + productId : std::string());
    line("Serial number: ", serial);
    line("USB path: ", usbPath);
    line("Driver: ", driver);
    line("", byId);
    line("", byPath);
    return text;
}

int VaFindPortByKey(const std::vector<TVaPortIdentity>& ports, const std::string& key)
{
    for (size_t i = 0; i < ports.size(); ++i)
        if (ports[i].key() == key)
            return static_cast<int>(i);
    return -1;
}
