// The main window's log to a file: File > "Log to File…" and "Stop Log", the hand-over of what is
// received and sent to the log's writing thread, and the log's panel in the status bar.
#include "qx_com.h"

#include "LogDialog.h"
#include "ToolContext.h"
#include "VaComm.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QStatusBar>
#include <QTimer>

namespace {

// How often the status bar's log panel shows the size: calm, whatever the port's pace.
constexpr int kLogStateMs = 500;

std::string fileBytes(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

} // namespace

void TfrmTerm::buildLog()
{
    staLog = new QLabel(staBar1);
    staLog->setObjectName("staLog");
    staBar1->addPermanentWidget(staLog);
    staLog->hide();
    logTimer_ = new QTimer(this);
    logTimer_->setInterval(kLogStateMs);
    connect(logTimer_, &QTimer::timeout, this, [this] { showLogState(); });
    // Writes come from the window and from the tools' threads; the log is kept by the window.
    VaComm1->OnWritten = [this](const uint8_t* data, int32_t count) {
        if (!logTakesSent_.load())
            return;
        QMetaObject::invokeMethod(
            this, [this, sent = std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(count))] {
                logSent(sent);
            });
    };
}

bool TfrmTerm::logRunning() const
{
    return logTimer_->isActive();
}

void TfrmTerm::LogToFile1Click()
{
    TLogDialog dialog(this);
    dialog.setChoice(logFile_, logFormat_, logSent_);
    if (dialog.exec() != QDialog::Accepted)
        return;
    startLog(dialog.file(), dialog.format(), dialog.withSent());
    focusTerminal();
}

void TfrmTerm::StopLog1Click()
{
    if (!logRunning())
        return;
    const QString file = logFile_;
    endLog();
    addStatus("Log to " + file + " ended\n");
}

bool TfrmTerm::startLog(const QString& file, TLogFormat format, bool withSent)
{
    endLog();
    logFile_ = file;
    logFormat_ = format;
    logSent_ = withSent;
    const bool sentApart = withSent && format == TLogFormat::raw;
    const bool existed = QFileInfo::exists(file);
    const std::string error =
        log_.open(fileBytes(file), sentApart ? fileBytes(file) + kSentLogSuffix : std::string());
    if (!error.empty()) {
        addStatus("Log not started: " + QFile::decodeName(QByteArray::fromStdString(error)) + "\n", fsPlain,
                  kErrorRed);
        return false;
    }
    logText_ = TLogText{};
    logLastArrival_ = -1;
    logTakesSent_ = withSent;
    logTimer_->start();
    LogToFile1->setEnabled(false);
    StopLog1->setEnabled(true);
    addStatus(QString("Logging to %1 (%2%3)\n")
                  .arg(file, existed ? "appended to it" : "a new file",
                       sentApart ? QString(", what is sent to ") + QFileInfo(file).fileName() + kSentLogSuffix
                                 : QString()));
    showLogState();
    return true;
}

void TfrmTerm::endLog()
{
    logTakesSent_ = false;
    log_.stop();
    if (!logTimer_->isActive())
        return;
    logTimer_->stop();
    staLog->hide();
    LogToFile1->setEnabled(true);
    StopLog1->setEnabled(false);
}

void TfrmTerm::showLogState()
{
    const std::string failure = log_.failure();
    if (!failure.empty()) {
        const QString path = QFile::decodeName(QByteArray::fromStdString(log_.failedPath()));
        endLog();
        addStatus("Log stopped: " + path + ": " + QString::fromStdString(failure)
                      + " (what was written is kept)\n",
                  fsPlain, kErrorRed);
        return;
    }
    // A quiet port writes nothing: the writing thread looks now whether the file is still there.
    log_.check();
    staLog->setText("Log: " + QFileInfo(logFile_).fileName() + " "
                    + QLocale::c().formattedDataSize(static_cast<qint64>(log_.written()), 1,
                                                     QLocale::DataSizeTraditionalFormat));
    staLog->show();
}

void TfrmTerm::logReceived(const std::string& chunk)
{
    if (!logRunning())
        return;
    if (logFormat_ == TLogFormat::raw) {
        log_.write(TLogWriter::Stream::main, chunk);
        return;
    }
    // Stamped as the pane stamps: a line that starts in the chunk, and after a pause.
    if (!arrivalClock_.isValid())
        arrivalClock_.start();
    const qint64 now = arrivalClock_.elapsed();
    const bool afterPause = logLastArrival_ >= 0 && now - logLastArrival_ > stampPauseMs_;
    logLastArrival_ = now;
    TTermOptions options = termOptions();
    options.sendingText = false;
    log_.write(TLogWriter::Stream::main, logText_.received(options, chunk, stampNow(), afterPause));
}

void TfrmTerm::logSent(std::string_view bytes)
{
    if (!logRunning() || !logSent_)
        return;
    if (logFormat_ == TLogFormat::raw)
        log_.write(TLogWriter::Stream::sent, bytes);
    else
        log_.write(TLogWriter::Stream::main, logText_.sent(bytes, stampNow()));
}
