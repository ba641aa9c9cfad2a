// A small window that gives a tool tab what the main window would: a status pane, a progress bar
// with Cancel, a port and the tool context over them; and reading the far end of a pty while the
// window keeps handling events. For tests and benchmarks of one tab without the main window.
#pragma once

#include "PtyPeer.h"
#include "ToolContext.h"

#include "VaComm.h"

#include <QWidget>

#include <string>

class QProgressBar;
class QPushButton;
class QTextEdit;
class QVBoxLayout;

class TToolTestFrame : public QWidget, public TToolFrame {
public:
    TToolTestFrame();
    ~TToolTestFrame() override;

    void setLineChoice(const TLineChoice&) override {}
    TLineChoice lineChoice() const override { return {}; }
    void setDeviceMarks(bool, bool) override {}
    void enableUpdate() override {}
    void refreshTools() override {}
    void showTermText(const std::string&) override {}
    void focusTerminal() override {}

    TVaComm port;
    QTextEdit* status;
    QProgressBar* progress;
    QPushButton* cancel;
    TToolContext context;
    // The tab under test goes first: layout->insertWidget(0, tab, 1).
    QVBoxLayout* layout;
};

// Reads count bytes from the peer while the main thread keeps handling events (the port's threads
// hand their events to it and wait until they have run).
std::string peerRead(PtyPeer& pty, size_t count, int idleMs = 2000);
