// The program's start-up pieces shared by the entry and the tests: the hand-over of the serial
// library's worker-thread calls into the Qt event loop, and the creation of the five windows.
#pragma once

#include "HandOver.h"

// Creates the windows in their order: the main window, the text transfer settings, the about box,
// the XMODEM dialog and the update dialog. Each reads its settings as it is created.
void createWindows();
// Destroys them again (in reverse order).
void destroyWindows();
