// Tells the window when the set of ports may have changed: the kernel's notices about device nodes
// and links (inotify, read in the main thread), gathered so that a burst of them (a device that
// comes and goes many times a second, udev making its links) is answered once.
#pragma once

#include "VaDeviceWatch.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

class TPortWatcher : public QObject {
    Q_OBJECT
public:
    explicit TPortWatcher(QObject* parent = nullptr);
    ~TPortWatcher() override;

    // Follows the system's ports (in devRoot) and these path ports (ExtraPorts entries, a port
    // named on the command line).
    void follow(const std::vector<std::string>& paths, const std::string& devRoot);

    // How long notices are gathered before changed() is raised.
    static constexpr int kGatherMs = 15;

signals:
    void changed();

private:
    void noticed();

    TVaDeviceWatch watch_;
    std::vector<std::string> paths_;
    std::string devRoot_ = "/dev";
    QSocketNotifier* notifier_ = nullptr;
    QTimer gather_;
};
