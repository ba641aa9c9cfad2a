// Hot-plug without polling: the kernel's inotify reports device nodes and links that appear, go or
// change their permissions in the folders that hold ports, and a wait for one port to become
// openable sleeps on it.
#pragma once

#include "VaTransport.h"

#include <map>
#include <string>
#include <vector>

class TVaDeviceWatch {
public:
    TVaDeviceWatch();
    ~TVaDeviceWatch();
    TVaDeviceWatch(const TVaDeviceWatch&) = delete;
    TVaDeviceWatch& operator=(const TVaDeviceWatch&) = delete;

    // Readable when something changed in a watched folder; -1 when inotify is not available.
    int Handle() const { return fd_; }
    // Watches these folders from now on (and no others). A folder that does not exist yet is
    // watched through the nearest one above it that does, so its creation is seen.
    void Watch(const std::vector<std::string>& folders);
    // Takes every pending notice; true when there was any (the caller looks at the ports again).
    bool Drain();

private:
    int fd_ = -1;
    std::map<std::string, int> watches_; // folder -> watch descriptor
};

// The folders whose changes show ports coming and going: /dev (in devRoot), its serial/by-id and
// serial/by-path, its pts, and for each path port the folder of the path and of every link on the
// way to the device.
std::vector<std::string> VaWatchFolders(const std::vector<std::string>& paths, const std::string& devRoot = "/dev");

// Waits at most timeoutMs for the device at path to exist and to open for exclusive use (a node
// that refuses access or is held by another program is tried again for as long as the wait
// lasts, as udev may set its group a moment after it appears). Returns how the last try ended.
TVaOpenResult VaWaitForPort(const std::string& path, int timeoutMs);
