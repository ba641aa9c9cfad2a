#include "Activation.h"

#include <QApplication>
#include <QEvent>

TProgramActivation& TProgramActivation::instance()
{
    static TProgramActivation tracker;
    return tracker;
}

void TProgramActivation::watch(QWidget* window, std::function<void()> onActivate,
                               std::function<void()> onDeactivate)
{
    if (!installed_ && qApp) {
        qApp->installEventFilter(this);
        installed_ = true;
    }
    hooks_[window] = Hooks{std::move(onActivate), std::move(onDeactivate)};
    connect(window, &QObject::destroyed, this, [this, window] { hooks_.erase(window); });
}

void TProgramActivation::hidden(QWidget* window)
{
    if (current_ == window) {
        current_ = nullptr;
        deactivate(window);
    }
}

void TProgramActivation::activated(QWidget* window)
{
    if (current_ == window)
        return; // back from another program, or from a common dialog or message box
    // Only the program's own windows take activation over; a file, font or colour dialog or a
    // message box is part of the window that opened it.
    if (hooks_.find(window) == hooks_.end())
        return;
    QWidget* previous = current_;
    current_ = window;
    if (previous)
        deactivate(previous);
    const auto it = hooks_.find(window);
    if (it != hooks_.end() && it->second.onActivate)
        it->second.onActivate();
}

void TProgramActivation::deactivate(QWidget* window)
{
    const auto it = hooks_.find(window);
    if (it != hooks_.end() && it->second.onDeactivate)
        it->second.onDeactivate();
}

bool TProgramActivation::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::WindowActivate && watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        if (widget->isWindow())
            activated(widget);
    }
    return QObject::eventFilter(watched, event);
}
