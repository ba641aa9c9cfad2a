#include "Messages.h"

#include <QApplication>
#include <QMessageBox>

#include <stdexcept>

namespace {
TQxMessageHandler messageHandler;
}

void setMessageHandler(TQxMessageHandler handler)
{
    messageHandler = std::move(handler);
}

static void deliver(TQxMessageKind kind, const QString& text)
{
    if (messageHandler) {
        messageHandler(kind, text);
        return;
    }
    QWidget* parent = QApplication::activeWindow();
    if (kind == TQxMessageKind::mkError)
        QMessageBox::critical(parent, QStringLiteral("QX-Com"), text);
    else
        QMessageBox::information(parent, QStringLiteral("QX-Com"), text);
}

void showMessage(const QString& text)
{
    deliver(TQxMessageKind::mkMessage, text);
}

void showError(const QString& text)
{
    deliver(TQxMessageKind::mkError, text);
}

void showException(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    } catch (...) {
        showError(QStringLiteral("Unknown error"));
    }
}
