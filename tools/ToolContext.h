// What a tool tab or dialog may use of the program: the port, the command channel to the device,
// the receive text, the status pane, pauses that keep the window alive, the progress bar with its
// Cancel button, refreshTools and whether the window is closing. A tab gets this and nothing else
// of the main window, so it can be built and tested with a small window of its own.
#pragma once

#include "DeviceChannel.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <string>

class QAction;
class QProgressBar;
class QTextEdit;
class QWidget;
class TVaComm;

// Shared by the receive path and every tool that waits for a device reply or sends: the received
// bytes, the text-send flag (the terminal shows nothing while it is set) and the Cancel request.
extern std::string rxBuffer;
extern bool sendingText;
extern bool cancelFlag;

enum TFontStyle { fsPlain, fsBold };

// The status pane's colours besides black: errors, success, the bus test.
inline const QColor kErrorRed = Qt::red;
inline const QColor kOkGreen = QColor(0, 128, 0);
inline const QColor kTeal = QColor(0, 128, 128);

// The line-setting choices of a device: entry numbers of the baud, stop bit and data bit boxes.
struct TLineChoice {
    int baud = 6;
    int stopBits = 2;
    int dataBits = 4;
};

// What the tools ask of the window that holds them.
class TToolFrame {
public:
    virtual ~TToolFrame() = default;
    // Selects the entries in the line-setting boxes, applies them and reopens an open port.
    virtual void setLineChoice(const TLineChoice& choice) = 0;
    virtual TLineChoice lineChoice() const = 0;
    // The check marks of Echo and CTS flow control.
    virtual void setDeviceMarks(bool echo, bool ctsFlow) = 0;
    // Enables the Update menu item (it stays enabled).
    virtual void enableUpdate() = 0;
    // The refresh that ends every tool action.
    virtual void refreshTools() = 0;
    // The terminal pane: text shown by its display rules, and the keyboard focus.
    virtual void showTermText(const std::string& text) = 0;
    virtual void focusTerminal() = 0;
    // The device update's needs: the device selector's text (the device's catalogue section), the
    // "DTR low" and "CTS Flow Control" marks, and the terminal pane's background, which
    // paintTerminal sets and shows at once (the window is repainted without waiting for the loop).
    virtual std::string selectedDevice() const { return {}; }
    virtual bool dtrLowMark() const { return false; }
    virtual bool ctsFlowMark() const { return false; }
    virtual QColor terminalColour() const { return {}; }
    virtual void paintTerminal(const QColor&) {}
    // A tool closed the port to reopen it and could not: the connect button shows it closed.
    virtual void showPortClosed() {}
    // A note on the status bar (what a send waits for); an empty text clears it.
    virtual void showNote(const QString&) {}
    // The firmware update dialog's file history: the entry the selected device was last updated
    // with (selected by the device selection, saved with the device).
    virtual void setUpdatePosition(int) {}
    virtual int updatePosition() const { return 0; }
};

class TToolContext : public QObject {
    Q_OBJECT
public:
    // window is the frame's top-level window (the parent of the tools' own dialogs); status the
    // status pane; progress and cancelButton the bottom bar's progress bar and Cancel.
    TToolContext(TVaComm& port, TToolFrame& frame, QWidget& window, QTextEdit& status, QProgressBar& progress,
                 QWidget& cancelButton);
    TToolContext(const TToolContext&) = delete;
    TToolContext& operator=(const TToolContext&) = delete;
    ~TToolContext() override;

    TVaComm& VaComm1;
    TDeviceChannel channel;
    // The shared state: the received text (rxBuffer) and the text that ends a device reply.
    std::string& rx = rxBuffer;
    std::string& terminator = replyTerminator;
    TToolFrame& frame;
    QWidget& window;
    QProgressBar& progress;
    QWidget& cancelButton;

    // Appends text at the end of the status pane with a style and colour; nothing stays selected
    // and the pane has the keyboard focus.
    void addStatus(const QString& text, TFontStyle style = fsPlain, const QColor& colour = Qt::black);
    void addStatus(const std::string& text, TFontStyle style = fsPlain, const QColor& colour = Qt::black);
    void addStatus(const char* text, TFontStyle style = fsPlain, const QColor& colour = Qt::black)
    {
        addStatus(std::string(text), style, colour);
    }
    QTextEdit& statusPane() { return status_; }
    // Pauses ms milliseconds while window messages and port events are handled; one round of
    // message handling when ms <= 0.
    void waitMs(int ms);
    // Sends a text byte by byte on the port; nothing when it is closed.
    void writeToCom(const std::string& text);
    void refreshTools() { frame.refreshTools(); }

    // Set when the main window starts closing: every wait and send ends.
    bool closing() const { return closing_; }
    void setClosing(bool closing) { closing_ = closing; }
    // Set when the device went away while connected, until the port is opened again: every wait
    // and send ends, as nothing more will come from the device or reach it.
    bool deviceGone() const { return deviceGone_; }
    void setDeviceGone(bool gone) { deviceGone_ = gone; }
    // A text file send runs: the terminal shows no received text meanwhile (the busy guard clears it).
    void setSendingText(bool on) { sendingText = on; }
    // True when a running send should stop: Cancel was pressed, the window closes or the device
    // has gone.
    bool stopRequested() const { return cancelFlag || closing_ || deviceGone_; }

    // Waits until done() holds or a stop is requested, handling messages; pollMs is how often
    // done() is looked at when no message arrives. Returns done().
    bool waitUntil(const std::function<bool()>& done, int pollMs);

    // Busy: an operation on the port is running (a send, an upload, a device query or selection,
    // an update). Its waits handle window messages, so the commands that would start another
    // operation are disabled meanwhile, and refuse when called all the same.
    bool busy() const { return busyDepth_ > 0; }
    // True, after a status line that says so, when an operation is running.
    bool refuseWhileBusy();
    // A widget or action that starts an operation: disabled exactly while one runs. (For one with
    // enabling rules of its own, follow busyChanged instead.)
    void disableWhileBusy(QWidget* widget);
    void disableWhileBusy(QAction* action);

signals:
    void busyChanged(bool busy);

private:
    friend class TBusyState;
    void enterBusy();
    void leaveBusy();

    QTextEdit& status_;
    bool closing_ = false;
    bool deviceGone_ = false;
    int busyDepth_ = 0;
};

// The context is busy for the lifetime of this object (they nest).
class TBusyState {
public:
    explicit TBusyState(TToolContext& context);
    ~TBusyState();
    TBusyState(const TBusyState&) = delete;
    TBusyState& operator=(const TBusyState&) = delete;

private:
    TToolContext& context_;
};

// Shown progress for the length of one operation: shows the progress bar and Cancel at position 0
// with the given maximum and clears cancelFlag; on leaving, normally or by an exception, hides
// both, resets the position and clears cancelFlag and sendingText. Every operation that shows
// the progress bar holds one, so no error path leaves the bar, Cancel or a blind terminal behind.
// Also marks the context busy.
class TBusyGuard {
public:
    TBusyGuard(TToolContext& context, int maximum);
    ~TBusyGuard();
    TBusyGuard(const TBusyGuard&) = delete;
    TBusyGuard& operator=(const TBusyGuard&) = delete;

    void setMaximum(int maximum);
    void setValue(int value);
    void setValue(size_t value);

private:
    TToolContext& context_;
    TBusyState busy_;
};

// How a byte-wise send is paced and when it stops.
struct TPacing {
    // Each byte only while the device asserts CTS (a wait that a stop also ends).
    bool waitForCts = true;
    // Whether to stop; by default when the context requests a stop (Cancel, closing, a device that
    // has gone). A closed port always stops the send.
    std::function<bool()> stopped;
    // Told the number of bytes written so far, at most once a millisecond and at the end.
    std::function<void(size_t)> progress;
};

// Writes the bytes that next() gives, one WriteChar each, handling window messages at most once a
// millisecond (a pass of the event loop costs more than a byte; a millisecond keeps the window
// and Cancel live). A stop ends it after the current byte. Returns the number of bytes written.
size_t sendBytes(TToolContext& context, const std::function<bool(char&)>& next, const TPacing& pacing);

// sendBytes paced by CTS, with the progress on the guard's bar.
size_t sendCtsPaced(TToolContext& context, TBusyGuard& busy, const std::function<bool(char&)>& next);
// The same for count bytes from data.
size_t sendCtsPaced(TToolContext& context, TBusyGuard& busy, const char* data, size_t count);

// sendPaced: the first count bytes of data, with progress maximum progressMax.
size_t sendPaced(TToolContext& context, const std::string& data, size_t count, int progressMax);
