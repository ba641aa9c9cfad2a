// For fuzz targets whose code decodes pictures with QtGui: one offscreen application for the run.
#pragma once

#include <QGuiApplication>

namespace fuzz {

inline void ensureGuiApp()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}

} // namespace fuzz
