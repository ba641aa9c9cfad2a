// The ASI tab: the address of an addressed (ASI) device on its bus, and a test of the block
// transfer handshake that such a device starts.
#pragma once

#include <QWidget>

#include <functional>

class QLineEdit;
class QPushButton;
class TToolContext;

class TAsiTab : public QWidget {
    Q_OBJECT
public:
    explicit TAsiTab(TToolContext& context, QWidget* parent = nullptr);

    QLineEdit* txtAddress;
    QPushButton* Button1; // the block transfer test

    // The block transfer test: waits for the device's "D", sends the length of 50 bytes (4 bytes,
    // most significant first), waits for ACK or NAK and sends the 50 data bytes either way. Cancel
    // and the window's closing end a wait.
    void Button1Click();

private:
    // Waits until received() holds; false, with a status line saying why, when Cancel, the
    // window's closing or a closed port ended the wait first.
    bool awaitDevice(const std::function<bool()>& received);

    TToolContext& context_;
};
