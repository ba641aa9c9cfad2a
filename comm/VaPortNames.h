// Port names: the serial devices the system knows, further ports the user lists by pattern, and
// the path a name pattern with a port number stands for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The serial devices under sysClassTty (normally /sys/class/tty), as names such as ttyUSB0 or ttyS0,
// in text order. Only ttys backed by a device count, and a ttyS without a UART is left out.
std::vector<std::string> VaSystemPortNames(const std::string& sysClassTty);

// Appends every existing path matched by the comma-separated glob patterns that list does not
// hold yet; a remote port's URL ("rfc2217://HOST:PORT?OPTIONS") is appended as it stands.
void VaAppendPortPatterns(std::vector<std::string>& list, const std::string& patterns);

// The device a name pattern stands for: the pattern with portNum in place of its one "%d" ("%%" is
// a "%"); a bare name (no "/") is a device under /dev/, and a URL ("scheme://...") stays as it is.
std::string VaDevicePath(const std::string& namePattern, int32_t portNum);
