// The program's message boxes: the plain messages with a fixed text ("Select a port first", ...)
// and the error box that reports an exception, after which the program carries on. Both go through
// one replaceable handler so that tests can record them instead of blocking on a box.
#pragma once

#include <QString>

#include <exception>
#include <functional>

enum class TQxMessageKind { mkMessage, mkError, mkConfirm };

using TQxMessageHandler = std::function<void(TQxMessageKind kind, const QString& text)>;

// Replaces the handler; an empty one restores the message boxes.
void setMessageHandler(TQxMessageHandler handler);

void showMessage(const QString& text);
// A question with the buttons Yes and No; true for Yes. A recording handler without an answer
// handler answers No.
bool askConfirmation(const QString& title, const QString& text);
// Replaces the answers to askConfirmation (tests); an empty one restores the box.
void setConfirmHandler(std::function<bool(const QString& text)> handler);
// A question with the buttons Yes, No and Cancel; gives QMessageBox::Yes, No or Cancel. A recording
// handler without a choice handler answers Cancel, which changes nothing.
int askYesNoCancel(const QString& title, const QString& text);
// Replaces the answers to askYesNoCancel (tests); an empty one restores the box.
void setChoiceHandler(std::function<int(const QString& text)> handler);
void showError(const QString& text);
// Shows the message of a caught exception in the error box.
void showException(std::exception_ptr error);

// Runs fn; an exception it raises is shown in the error box instead of leaving the event handler.
template <class F>
void guarded(F&& fn)
{
    try {
        fn();
    } catch (...) {
        showException(std::current_exception());
    }
}
