// QX-Com: a serial terminal with tools for serial graphic display modules.
#include "Program.h"
#include "qx_com.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("QX-Com");
    installHandOver();
    createWindows();
    frmTerm->show();
    frmTerm->activateWindow();
    const int result = QApplication::exec();
    destroyWindows();
    return result;
}
