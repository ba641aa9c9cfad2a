// Reads the line settings a terminal has put on the slave side of a pty.
#pragma once

#include "device.h"

namespace devsim {

// masterFd is the pty master; on Linux the terminal attribute requests on a
// master reach the slave's settings. Returns false when they cannot be read.
bool readLineSettings(int masterFd, LineSettings& out);

}  // namespace devsim
