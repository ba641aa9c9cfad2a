// Which of the program's windows is active, the way the windows' activation handlers need it:
// a window is activated when it takes over from another window of the program (or is the first),
// and deactivated when another window of the program takes over or it is hidden. The program's
// windows are the watched ones; common dialogs (file, font, colour, input boxes) and message boxes
// belong to the window that opened them. Focus that goes to another program or such a dialog and
// comes back changes nothing, so it does not repeat a window's activation work (the start-up
// hints, the texts sent by the XMODEM dialog).
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>

class TProgramActivation : public QObject {
public:
    static TProgramActivation& instance();

    // Makes window one of the program's windows: onActivate / onDeactivate (either may be empty)
    // run for it from now on, until it is destroyed.
    void watch(QWidget* window, std::function<void()> onActivate, std::function<void()> onDeactivate = {});
    // A watched window is being hidden: it is deactivated if it was the active one.
    void hidden(QWidget* window);
    // Another window of the program was activated.
    void activated(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Hooks {
        std::function<void()> onActivate;
        std::function<void()> onDeactivate;
    };
    void deactivate(QWidget* window);

    std::map<QWidget*, Hooks> hooks_;
    QPointer<QWidget> current_;
    bool installed_ = false;
};
