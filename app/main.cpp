// QX-Com: a serial terminal with tools for serial graphic display modules.
#include "Program.h"
#include "QxBuildInfo.h"
#include "qx_com.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace {

QStringList argumentsOf(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

// The program's icon at the sizes it is drawn in (rendered from its SVG by the build).
QIcon programIcon()
{
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}

} // namespace

int main(int argc, char* argv[])
{
    // --help and --version are answered before Qt starts, so that they need no display.
    const TCommandLine early = parseCommandLine(argumentsOf(argc, argv));
    if (early.action == TCommandLine::caHelp) {
        std::fputs(qPrintable(usageText()), stdout);
        return 0;
    }
    if (early.action == TCommandLine::caVersion) {
        std::printf("qx-com %s\n", kQxVersion);
        return 0;
    }
    QApplication app(argc, argv);
    // Qt has taken its own options (-platform, -display ...) out of the list by now.
    const TCommandLine line = parseCommandLine(QApplication::arguments().mid(1));
    if (line.action == TCommandLine::caError) {
        std::fprintf(stderr, "qx-com: %s\nTry 'qx-com --help'.\n", qPrintable(line.error));
        return 2;
    }
    QApplication::setApplicationName("QX-Com");
    QApplication::setApplicationVersion(kQxVersion);
    QGuiApplication::setDesktopFileName(kQxDesktopId);
    QApplication::setWindowIcon(programIcon());
    installHandOver();
    installEndingSignals();
    createWindows();
    if (!line.port.isEmpty()) {
        // The name's own bytes, as the port list holds names.
        frmTerm->afterFirstActivation = [port = line.port.toLocal8Bit().toStdString()] { connectAtStart(port); };
    }
    frmTerm->show();
    frmTerm->activateWindow();
    const int result = QApplication::exec();
    destroyWindows();
    return result;
}
