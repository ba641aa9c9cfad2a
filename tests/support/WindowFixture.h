// What the window tests share: the program's windows offscreen in a temporary folder with its own
// settings file and tool folder, the message boxes recorded instead of shown, qx-devsim and a local
// web server as child processes, and reading the far end of a pty while the windows keep working.
#pragma once

#include "PtyPeer.h"
#include "TestSupport.h"
#include "ToolTestFrame.h"

#include <QProcess>
#include <QTextCharFormat>
#include <QStringList>

#include <memory>
#include <string>

class QComboBox;
class QImage;

class TWindowFixture {
public:
    // Call from initTestCase: a temporary folder (with "qxtools/") becomes the program's folder.
    explicit TWindowFixture(const std::string& prefix);
    ~TWindowFixture();

    const std::string& dir() const { return dir_.path(); }
    std::string tools() const { return dir() + "qxtools/"; }
    std::string settingsPath() const { return dir() + "qx-com-103.ini"; }

    // Writes the settings file (none when settings is empty and keepFile is false), creates the
    // five windows as the program entry does and activates the main window.
    void start(const std::string& settings, bool keepFile = false);
    // Closes the main window and destroys the windows (nothing when none are there).
    void stop();

    // Recorded message boxes, error boxes and questions since start (or the last clear).
    QStringList messages, errors, questions;
    bool answerYes = true;
    void clearMessages();

    // The text of the status pane and of the terminal pane.
    static std::string statusText();
    static std::string paneText();
    // The character format the status pane shows a text in (its last occurrence); none when absent.
    static QTextCharFormat statusFormatOf(const QString& text);

private:
    TTempDir dir_;
};

QStringList itemsOf(const QComboBox* box);

// qx-devsim on a pseudo-terminal reached through a link in folder dir.
class TDevsim {
public:
    TDevsim(const std::string& exe, const std::string& dir, const std::string& profile);
    ~TDevsim();
    bool ok() const;
    const std::string& link() const { return link_; }
    std::string outDir() const { return dir_ + "devsim-out/"; }
    // Sends the simulator a signal (SIGUSR1: write screen.png, SIGUSR2: start the block transfer test).
    void signal(int number) const;
    // Writes the screen picture and gives it (waits until the simulator has written it).
    QImage screen() const;

private:
    std::string dir_;
    std::string link_;
    QProcess process_;
};

// python3's web server on a free local port, serving a folder.
class TWebServer {
public:
    explicit TWebServer(const std::string& root);
    ~TWebServer();
    std::string site() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    quint16 port_;
    QProcess process_;
};

// A port on 127.0.0.1 that nothing listens on (free when asked).
quint16 freeLocalPort();
