// Touch read-out for touch-screen displays: the display raises the ring indicator line on a touch
// and is then asked for the touched co-ordinates, which the panel shows.
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class TToolContext;
class TVaCustomComm;

class TTouchPanel : public QWidget {
    Q_OBJECT
public:
    // Attaches VaComm1Ring to the port's ring event (OnRing) for the panel's lifetime.
    explicit TTouchPanel(TToolContext& context, QWidget* parent = nullptr);

    QCheckBox* chkRing; // "Touch on"
    QLabel* lblXc;
    QLabel* lblYc;

    // Switches touch reporting on or off: the port's monitored events follow the box, and an open
    // port is closed and opened again with them. A closed port stays closed (the connect button
    // shows it so); the events apply from its next opening.
    void chkRingClick();
    // The port's ring event: further rings find no handler until the read has ended.
    void VaComm1Ring(TVaCustomComm* sender);
    // Asks the display for the co-ordinates and shows them; the ring handler is attached again
    // before it returns.
    void readTouch();

private:
    void attachRing();

    TToolContext& context_;
    bool reading_ = false;
    // The box changed during a read: the port is switched once the read has ended.
    bool switchPending_ = false;
};
