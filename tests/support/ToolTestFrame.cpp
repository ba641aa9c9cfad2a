#include "ToolTestFrame.h"

#include "VaClasses.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

#include <chrono>

TToolTestFrame::TToolTestFrame()
    : status(new QTextEdit(this)), progress(new QProgressBar(this)), cancel(new QPushButton("Cancel", this)),
      context(port, *this, *this, *status, *progress, *cancel), layout(new QVBoxLayout(this))
{
    layout->addWidget(status);
    layout->addWidget(progress);
    layout->addWidget(cancel);
    // As the main window's Cancel: it asks the running send to stop.
    QObject::connect(cancel, &QPushButton::clicked, [] { cancelFlag = true; });
    // As the main window's receive handler: received text is collected for the reply waits.
    port.OnRxChar = [this](TVaCustomComm*, int32_t) { rxBuffer += port.ReadText(); };
    resize(900, 700);
}

TToolTestFrame::~TToolTestFrame()
{
    if (port.Active())
        port.Close();
}

std::string peerRead(PtyPeer& pty, size_t count, int idleMs)
{
    std::string out;
    auto last = std::chrono::steady_clock::now();
    while (out.size() < count && std::chrono::steady_clock::now() - last < std::chrono::milliseconds(idleMs)) {
        QCoreApplication::processEvents();
        CheckSynchronize();
        const std::string part = pty.ReadSome(5);
        if (!part.empty()) {
            out += part;
            last = std::chrono::steady_clock::now();
        }
    }
    return out;
}
