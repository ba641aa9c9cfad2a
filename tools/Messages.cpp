#include "Messages.h"

#include <QApplication>
#include <QMessageBox>

#include <stdexcept>

namespace {
TQxMessageHandler messageHandler;
std::function<bool(const QString&)> confirmHandler;
std::function<int(const QString&)> choiceHandler;
}

void setChoiceHandler(std::function<int(const QString& text)> handler)
{
    choiceHandler = std::move(handler);
}

int askYesNoCancel(const QString& title, const QString& text)
{
    if (messageHandler)
        messageHandler(TQxMessageKind::mkConfirm, text);
    if (choiceHandler)
        return choiceHandler(text);
    if (messageHandler)
        return QMessageBox::Cancel;
    return QMessageBox::question(QApplication::activeWindow(), title, text,
                                 QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Cancel);
}

void setConfirmHandler(std::function<bool(const QString& text)> handler)
{
    confirmHandler = std::move(handler);
}

bool askConfirmation(const QString& title, const QString& text)
{
    if (messageHandler)
        messageHandler(TQxMessageKind::mkConfirm, text);
    if (confirmHandler)
        return confirmHandler(text);
    if (messageHandler)
        return false;
    return QMessageBox::question(QApplication::activeWindow(), title, text, QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
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
