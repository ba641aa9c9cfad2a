// Helpers that tests and benchmarks of every layer share: a temporary folder and modem lines whose
// CTS and RING the test sets (what a pseudo-terminal cannot do).
#pragma once

#include "VaComm.h"

#include <atomic>
#include <string>
#include <vector>

// The CPU seconds (user and system) the process has used so far.
double processCpuSeconds();

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
