#include "VaLinux.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>

bool VaEncodeLineFlags(const VaLineSettings& s, uint32_t& cflag, uint32_t& iflag)
{
    cflag = CLOCAL | CREAD;
    iflag = 0;
    switch (s.dataBits) {
    case 5: cflag |= CS5; break;
    case 6: cflag |= CS6; break;
    case 7: cflag |= CS7; break;
    case 8: cflag |= CS8; break;
    default: return false; // no UART here sends 4-bit characters
    }
    switch (s.parity) {
    case 0: break;
    case 1: cflag |= PARENB | PARODD; break;
    case 2: cflag |= PARENB; break;
    case 3: cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: cflag |= PARENB | CMSPAR; break;
    default: return false;
    }
    if (s.stopBits != 0)
        cflag |= CSTOPB; // one and a half stop bits with 5 data bits, two otherwise
    if (s.ctsFlow)
        cflag |= CRTSCTS;
    if (s.xonXoffOut)
        iflag |= IXON;
    if (s.xonXoffIn)
        iflag |= IXOFF;
    if (s.parityCheck)
        iflag |= INPCK;
    return s.baudrate > 0;
}

void VaDecodeLineFlags(uint32_t cflag, uint32_t iflag, VaLineSettings& s)
{
    switch (cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8; break;
    }
    if (!(cflag & PARENB))
        s.parity = 0;
    else if (cflag & CMSPAR)
        s.parity = (cflag & PARODD) ? 3 : 4;
    else
        s.parity = (cflag & PARODD) ? 1 : 2;
    s.stopBits = (cflag & CSTOPB) ? 2 : 0;
    s.ctsFlow = (cflag & CRTSCTS) != 0;
    s.xonXoffOut = (iflag & IXON) != 0;
    s.xonXoffIn = (iflag & IXOFF) != 0;
    s.parityCheck = (iflag & INPCK) != 0;
}

int VaApplyLineSettings(int fd, const VaLineSettings& s)
{
    // Built from zeros: nothing of what the device had is kept, so the result is always raw mode.
    struct termios2 t;
    std::memset(&t, 0, sizeof t);
    uint32_t cflag, iflag;
    if (!VaEncodeLineFlags(s, cflag, iflag))
        return EINVAL;
    t.c_cflag = cflag | BOTHER | (BOTHER << IBSHIFT);
    t.c_iflag = iflag;
    t.c_ispeed = static_cast<speed_t>(s.baudrate);
    t.c_ospeed = static_cast<speed_t>(s.baudrate);
    t.c_cc[VSTART] = s.xonChar;
    t.c_cc[VSTOP] = s.xoffChar;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

int VaReadLineSettings(int fd, VaLineSettings& s)
{
    struct termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    s.baudrate = static_cast<int32_t>(t.c_ospeed);
    VaDecodeLineFlags(t.c_cflag, t.c_iflag, s);
    s.xonChar = t.c_cc[VSTART];
    s.xoffChar = t.c_cc[VSTOP];
    return 0;
}

int VaGetModemStatus(int fd, uint32_t& msBits)
{
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0)
        return errno;
    msBits = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0u) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0u) |
             ((bits & TIOCM_RNG) ? MS_RING_ON : 0u) | ((bits & TIOCM_CD) ? MS_RLSD_ON : 0u);
    return 0;
}

int VaDriveModemLine(int fd, bool dtr, bool on)
{
    int bit = dtr ? TIOCM_DTR : TIOCM_RTS;
    return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : errno;
}

int VaGetLineCounters(int fd, VaLineCounters& c)
{
    struct serial_icounter_struct ic;
    std::memset(&ic, 0, sizeof ic);
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0)
        return errno;
    c.cts = ic.cts;
    c.dsr = ic.dsr;
    c.rng = ic.rng;
    c.dcd = ic.dcd;
    c.frame = ic.frame;
    c.overrun = ic.overrun;
    c.parity = ic.parity;
    c.brk = ic.brk;
    c.bufOverrun = ic.buf_overrun;
    return 0;
}
