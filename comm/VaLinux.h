// The Linux side of the serial layer: line settings through termios2 (any rate, with BOTHER) and
// the modem-control lines. Kept apart because <asm/termbits.h> clashes with <termios.h>.
#pragma once

#include <cstdint>

struct VaLineSettings {
    int32_t baudrate = 9600;
    int dataBits = 8;   // 5 to 8
    int parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;   // 0 one, 1 one and a half, 2 two
    bool ctsFlow = false;
    bool xonXoffOut = false;
    bool xonXoffIn = false;
    bool parityCheck = false;
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
};

// The termios flags (c_cflag, c_iflag) that stand for the settings; false when the device cannot
// take them. Decoding gives the settings back from flags.
bool VaEncodeLineFlags(const VaLineSettings& settings, uint32_t& cflag, uint32_t& iflag);
void VaDecodeLineFlags(uint32_t cflag, uint32_t iflag, VaLineSettings& settings);
// Writes the settings as a raw-mode termios2; returns 0 or the errno of the failure.
int VaApplyLineSettings(int fd, const VaLineSettings& settings);
// Reads the settings back from either end of a tty; returns 0 or an errno.
int VaReadLineSettings(int fd, VaLineSettings& settings);

// Modem-control lines; each returns 0 or an errno (ENOTTY or EINVAL: the tty has no such lines).
// Status bits are the MS_* values: CTS 0x10, DSR 0x20, RING 0x40, RLSD 0x80.
int VaGetModemStatus(int fd, uint32_t& msBits);
int VaDriveModemLine(int fd, bool dtr, bool on);

struct VaLineCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};
int VaGetLineCounters(int fd, VaLineCounters& counters);
