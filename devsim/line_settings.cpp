// Kept apart from the files that include <termios.h>: the kernel's termios2
// definitions in <asm/termbits.h> clash with glibc's.
#include "line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace devsim {

bool readLineSettings(int masterFd, LineSettings& out)
{
    struct termios2 t {};
    if (::ioctl(masterFd, TCGETS2, &t) != 0) return false;
    out.baud = static_cast<long>(t.c_ospeed);
    switch (t.c_cflag & CSIZE) {
    case CS5: out.dataBits = 5; break;
    case CS6: out.dataBits = 6; break;
    case CS7: out.dataBits = 7; break;
    default: out.dataBits = 8; break;
    }
    out.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    out.parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    return true;
}

}  // namespace devsim
