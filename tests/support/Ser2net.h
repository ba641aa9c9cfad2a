// Debian's ser2net as the server of a remote serial port in tests and benchmarks: started on
// 127.0.0.1 on a free TCP port, with its configuration in a temporary folder, serving a device
// path (normally the slave of a pseudo-terminal whose master the test holds).
#pragma once

#include "TestSupport.h"

#include <string>
#include <vector>
#include <sys/types.h>

class Ser2net {
public:
    enum Kind { kRfc2217, kRaw };
    // Serves device as kind; portOptions are added to the serial device's options ("local" is
    // always there: a pseudo-terminal has no modem lines to wait for), options ("chardelay: false")
    // to the connection's.
    Ser2net(std::string device, Kind kind = kRfc2217, std::string portOptions = "9600n81",
            std::vector<std::string> options = {});
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    int port() const { return port_; }
    // "rfc2217://127.0.0.1:PORT" or "socket://127.0.0.1:PORT", options appended as given.
    std::string url(const std::string& options = "") const;
    // Ends the server (connections drop), and starts it again on the same port.
    void stop();
    void start();
    bool running() const { return pid_ > 0; }

private:
    TTempDir dir_{"qxser2net"};
    std::string device_;
    Kind kind_;
    std::string portOptions_;
    std::vector<std::string> options_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A free TCP port on 127.0.0.1 (free when asked; nothing holds it).
int freeTcpPort();
