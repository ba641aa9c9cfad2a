// Helpers that tests and benchmarks of every layer share: a temporary folder and modem lines whose
// CTS and RING the test sets (what a pseudo-terminal cannot do).
#pragma once

#include "VaComm.h"
#include "VaPortIdentity.h"

#include <atomic>
#include <string>
#include <vector>

// The CPU seconds (user and system) the process has used so far.
double processCpuSeconds();

// A file's bytes; empty when it cannot be read.
std::string fileBytes(const std::string& path);

// The median and the range of a benchmark's figures over its runs; all zero when there are none.
struct TSpread {
    double median = 0, low = 0, high = 0;
};
TSpread spreadOf(std::vector<double> values);

// A fresh folder under /tmp (path ends with "/"), removed with everything in it at the end.
class TTempDir {
public:
    explicit TTempDir(const std::string& prefix = "qxtest");
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

// A sysfs and /dev tree in a temporary folder, with the serial ports a test plugs in and out.
class TFakeDeviceTree {
public:
    TFakeDeviceTree();
    const TVaDeviceRoots& roots() const { return roots_; }
    std::string root() const { return dir_.path(); }

    // A folder under sys/ with attribute files (name, value).
    std::string device(const std::string& path, std::initializer_list<std::pair<const char*, const char*>> files = {});
    // Binds the driver name to the sys/ folder.
    void driver(const std::string& folder, const std::string& name);
    // The tty name in sys/class/tty, backed by the sys/ folder, and its node in dev/: a file, or a
    // link to node (e.g. the slave of a pseudo-terminal, so that it can be opened).
    void tty(const std::string& name, const std::string& folder, const std::string& node = {});
    // A link under dev/ (e.g. "serial/by-id/usb-...") to target.
    void link(const std::string& where, const std::string& target);
    // A QX Board2 (USB 1a86:55d4) at USB path usb, its interface 0 a cdc_acm tty name; serial may
    // be null (none).
    void board(const std::string& usb, const std::string& name, const char* serial, const std::string& node = {});
    // The tty name unplugged: its sysfs entry and node go.
    void unplug(const std::string& name);

private:
    TTempDir dir_;
    TVaDeviceRoots roots_;
};

// The names in a folder (without "." and ".."), sorted; none when it cannot be read.
std::vector<std::string> folderEntries(const std::string& folder);

// Modem lines of a fake device: DSR on, CTS and RING as the test sets them; DTR and RTS changes
// are recorded. With ringPulse set, the next look at the lines reports RING once.
class TFakeModemLines : public TVaModemLines {
public:
    std::atomic<bool> cts{true};
    std::atomic<bool> ring{false};
    std::atomic<bool> dtr{false};
    std::atomic<bool> rts{false};
    std::atomic<int> dtrChanges{0};

    bool Status(int, uint32_t& bits) override;
    bool Drive(int, bool isDtr, bool on) override;
    // Polled, so that a RING the test raises is seen within the port's line poll period.
    bool NeedsPolling(int) override { return true; }
};
