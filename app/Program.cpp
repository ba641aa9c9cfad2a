#include "Program.h"

#include "DeviceSelection.h"
#include "Latin1.h"
#include "Messages.h"
#include "StringsTab.h"
#include "TextSet.h"
#include "Update.h"
#include "XModem.h"
#include "about.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// The five windows, owned here for the program's run; the window globals point at them.
struct TWindows {
    std::unique_ptr<TfrmTerm> term;
    std::unique_ptr<TfrmTransfer> transfer;
    std::unique_ptr<TAboutBox> about;
    std::unique_ptr<TfrmXModem> xmodem;
    std::unique_ptr<TfrmUpdate> update;
};
TWindows windows;

// The pipe from the signal handler to the event loop.
int signalPipe[2] = {-1, -1};

void onEndingSignal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void createWindows()
{
    windows.term = std::make_unique<TfrmTerm>();
    frmTerm = windows.term.get();
    windows.transfer = std::make_unique<TfrmTransfer>();
    frmTransfer = windows.transfer.get();
    windows.about = std::make_unique<TAboutBox>();
    AboutBox = windows.about.get();
    windows.xmodem = std::make_unique<TfrmXModem>(*frmTerm->context);
    frmXModem = windows.xmodem.get();
    windows.update = std::make_unique<TfrmUpdate>(*frmTerm->context);
    frmUpdate = windows.update.get();
}

void destroyWindows()
{
    frmUpdate = nullptr;
    windows.update.reset();
    frmXModem = nullptr;
    windows.xmodem.reset();
    AboutBox = nullptr;
    windows.about.reset();
    frmTransfer = nullptr;
    windows.transfer.reset();
    frmTerm = nullptr;
    windows.term.reset();
}

TCommandLine parseCommandLine(const QStringList& arguments)
{
    TCommandLine line;
    bool help = false, version = false, options = true;
    for (const QString& argument : arguments) {
        if (options && argument == "--") {
            options = false;
        } else if (options && (argument == "--help" || argument == "-h")) {
            help = true;
        } else if (options && argument == "--version") {
            version = true;
        } else if (options && argument.size() > 1 && argument.startsWith('-')) {
            if (line.error.isEmpty())
                line.error = "unknown option '" + argument + "'";
        } else if (line.port.isEmpty()) {
            line.port = argument;
            if (argument.isEmpty() && line.error.isEmpty())
                line.error = "the port name is empty";
        } else if (line.error.isEmpty()) {
            line.error = "only one port can be given ('" + line.port + "' and '" + argument + "')";
        }
    }
    line.action = help ? TCommandLine::caHelp
                  : version ? TCommandLine::caVersion
                  : line.error.isEmpty() ? TCommandLine::caRun : TCommandLine::caError;
    return line;
}

QString usageText()
{
    return "usage: qx-com [PORT]\n"
           "       qx-com --help | --version\n"
           "\n"
           "QX-Com, a serial terminal with tools for serial display modules and micro-controller boards.\n"
           "\n"
           "  PORT       connect to this port at start: a name of the port list (ttyUSB0), a device\n"
           "             path (/dev/ttyACM0, /dev/serial/by-id/...), a pseudo-terminal, or a remote port\n"
           "             served over the network: rfc2217://HOST:PORT[?OPTIONS] or socket://HOST:PORT\n"
           "  --help     show this text and end\n"
           "  --version  show the version and end\n"
           "\n"
           "Without PORT the port list offers the serial ports of the system; the red button connects.\n"
           "Settings: $XDG_CONFIG_HOME/qx-com/qx-com-103.ini (beside the program in a portable copy).\n"
           "SIGTERM, SIGINT and SIGHUP close the program as closing its window does.\n";
}

void connectAtStart(const std::string& port)
{
    QComboBox* box = frmTerm->cboPort;
    const QString entry = latin1(port);
    int at = box->findText(entry);
    for (int i = 1; at < 0 && i < box->count(); ++i) {
        if (frmTerm->portPath(i) == port)
            at = i;
    }
    // Listed from now on, in its place in the list's text order ("<none>" stays first).
    if (at < 0)
        at = frmTerm->addPortPath(port);
    box->setCurrentIndex(at);
    guarded([] {
        // An open port moves to the new entry by itself; a closed one is opened.
        frmTerm->cboPortChange();
        if (!frmTerm->VaComm1->Active())
            frmTerm->spdConnectClick();
    });
}

void endWithoutQuestions(const QString& why)
{
    static bool ending = false;
    if (ending)
        return;
    ending = true;
    std::fprintf(stderr, "qx-com: %s: closing\n", qPrintable(why));
    setMessageHandler([](TQxMessageKind, const QString& text) {
        std::fprintf(stderr, "qx-com: %s\n", qPrintable(text.trimmed()));
    });
    if (frmTerm) {
        const QString kept = frmTerm->Strings->keepUnsavedWork();
        if (!kept.isEmpty())
            std::fprintf(stderr, "qx-com: %s", qPrintable(kept));
        frmTerm->FormClose();
    }
    QCoreApplication::exit(0);
    ending = false;
}

void installEndingSignals()
{
    if (signalPipe[0] >= 0)
        return;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "qx-com: signals will end the program at once: %s\n", std::strerror(errno));
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        unsigned char number = 0;
        while (::read(signalPipe[0], &number, 1) == 1) {
        }
        if (number != 0)
            endWithoutQuestions(QString::fromLocal8Bit(::sigabbrev_np(number)).prepend("SIG"));
    });
    struct sigaction action {};
    action.sa_handler = onEndingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &action, nullptr);
}
