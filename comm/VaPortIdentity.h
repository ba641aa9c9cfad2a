// What the system knows about a port (sysfs and the /dev/serial/by-id and by-path links), and the
// identity that finds the same device again when it comes back under another name.
#pragma once

#include <string>
#include <vector>

// Where the system's device trees are; tests point them at a fake tree.
struct TVaDeviceRoots {
    std::string sysClassTty = "/sys/class/tty";
    std::string dev = "/dev";
};

struct TVaPortIdentity {
    std::string name;       // the name in the port list: ttyACM0, or a path
    std::string devicePath; // what is opened: /dev/ttyACM0, or the path itself
    std::string vendorId, productId; // USB ids, four hex digits each
    std::string manufacturer, product, serial;
    std::string usbPath;   // bus topology and interface, e.g. 1-1.2:1.0
    std::string interface; // USB interface number, e.g. 00
    std::string driver;    // e.g. cdc_acm, ftdi_sio, serial8250
    std::string byId, byPath; // links under /dev/serial that name this device
    std::string target;       // for a path: where it leads now (empty when nowhere)

    bool usb() const { return !vendorId.empty(); }
    // How the device is known again: its serial number (with the USB ids and the interface, as a
    // board may offer several ports), else its place on the USB bus, else the device path. A port
    // given as a path is its own identity.
    std::string key() const;
    // One line for people: "QX Board2 (1a86:55d4 SN 0042)"; empty when nothing is known.
    std::string description() const;
    // Everything known, one fact a line.
    std::string details() const;
};

// The identity of a port of the list: a name such as ttyUSB0 is looked up in sysfs and the
// /dev/serial links; a path (a pseudo-terminal, a link) is its own identity, described by the tty
// it leads to where that is a known one. Missing files or links pointing nowhere leave fields empty.
TVaPortIdentity VaPortIdentity(const std::string& name, const TVaDeviceRoots& roots = {});

// The entry of ports whose identity key is key; -1 when none.
int VaFindPortByKey(const std::vector<TVaPortIdentity>& ports, const std::string& key);
