#include "WindowFixture.h"

#include "AtomicFile.h"
#include "Messages.h"
#include "Places.h"
#include "Program.h"
#include "qx_com.h"


#include <QComboBox>
#include <QImage>
#include <QPlainTextEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

namespace {
bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}
} // namespace

TWindowFixture::TWindowFixture(const std::string& prefix) : dir_(prefix)
{
    ::mkdir(tools().c_str(), 0755);
    overridePlaces(dir(), dir() + "config", dir() + "data");
    installHandOver();
    setMessageHandler([this](TQxMessageKind kind, const QString& text) {
        (kind == TQxMessageKind::mkError ? errors : kind == TQxMessageKind::mkConfirm ? questions : messages)
            .append(text);
    });
    setConfirmHandler([this](const QString&) { return answerYes; });
}

TWindowFixture::~TWindowFixture()
{
    stop();
    setConfirmHandler({});
    setMessageHandler({});
    overridePlaces({});
}

void TWindowFixture::start(const std::string& settings, bool keepFile)
{
    if (!keepFile) {
        if (settings.empty())
            ::unlink(settingsPath().c_str());
        else
            writeFileAtomically(settingsPath(), settings);
    }
    createWindows();
    frmTerm->show();
    frmTerm->activateWindow();
    if (!QTest::qWaitForWindowActive(frmTerm, 2000))
        frmTerm->FormActivate();
    clearMessages();
}

void TWindowFixture::stop()
{
    if (!frmTerm)
        return;
    frmTerm->close();
    destroyWindows();
}

void TWindowFixture::clearMessages()
{
    messages.clear();
    errors.clear();
    questions.clear();
}

std::string TWindowFixture::statusText()
{
    return frmTerm->reStatus->toPlainText().toStdString();
}

std::string TWindowFixture::paneText()
{
    return frmTerm->mmoTerm->toPlainText().toStdString();
}

QTextCharFormat TWindowFixture::statusFormatOf(const QString& text)
{
    QTextDocument* doc = frmTerm->reStatus->document();
    const QTextCursor found = doc->find(text, doc->characterCount(), QTextDocument::FindBackward);
    if (found.isNull())
        return {};
    QTextCursor at(doc);
    at.setPosition(found.selectionEnd());
    return at.charFormat();
}

QStringList itemsOf(const QComboBox* box)
{
    QStringList list;
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

TDevsim::TDevsim(const std::string& exe, const std::string& dir, const std::string& profile)
    : dir_(dir), link_(dir + "devsim-tty")
{
    writeFileAtomically(dir + "profile.ini", profile);
    process_.setProgram(QString::fromStdString(exe));
    process_.setArguments({"--profile", QString::fromStdString(dir + "profile.ini"), "--link",
                           QString::fromStdString(link_), "--out", QString::fromStdString(outDir())});
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.start();
    for (int i = 0; i < 400 && !exists(link_); ++i)
        QTest::qWait(5);
}

TDevsim::~TDevsim()
{
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(2000);
}

bool TDevsim::ok() const
{
    return exists(link_);
}

void TDevsim::signal(int number) const
{
    ::kill(static_cast<pid_t>(process_.processId()), number);
}

QImage TDevsim::screen() const
{
    // The simulator writes the picture atomically when told, so a file that exists is whole.
    const std::string png = outDir() + "screen.png";
    std::remove(png.c_str());
    signal(SIGUSR1);
    for (int i = 0; i < 400 && !exists(png); ++i)
        QTest::qWait(5);
    return QImage(QString::fromStdString(png));
}

quint16 freeLocalPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

TWebServer::TWebServer(const std::string& root) : port_(freeLocalPort())
{
    process_.setProgram("python3");
    process_.setArguments({"-m", "http.server", QString::number(port_), "--bind", "127.0.0.1", "--directory",
                           QString::fromStdString(root)});
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start();
    for (int i = 0; i < 200; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port_);
        if (probe.waitForConnected(100))
            return;
        QTest::qWait(25);
    }
}

TWebServer::~TWebServer()
{
    process_.terminate();
    if (!process_.waitForFinished(5000))
        process_.kill();
    process_.waitForFinished(2000);
}
