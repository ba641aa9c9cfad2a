// The Linux side of the serial layer: line settings through termios2 (any rate, with BOTHER) and
// the modem-control lines. Kept apart because <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include "VaCommTypes.h"

// The termios flags (c_cflag, c_iflag) that stand for the settings; false when the device cannot
// take them. Decoding gives the settings back from flags.
bool VaEncodeLineFlags(const VaLineSettings& settings, uint32_t& cflag, uint32_t& iflag);
void VaDecodeLineFlags(uint32_t cflag, uint32_t iflag, VaLineSettings& settings);
// Writes the settings as a raw-mode termios2; returns 0 or the errno of the failure.
int VaApplyLineSettings(int fd, const VaLineSettings& settings);
// Reads the settings back from either end of a tty; returns 0 or an errno.
int VaReadLineSettings(int fd, VaLineSettings& settings);

// Modem-control lines; each returns 0 or an errno (ENOTTY or EINVAL: the tty has no such lines).
// Status bits are the MS_* values.
int VaGetModemStatus(int fd, uint32_t& msBits);
int VaDriveModemLine(int fd, bool dtr, bool on);

int VaGetLineCounters(int fd, VaLineCounters& counters);
