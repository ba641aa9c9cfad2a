#include "PortWatcher.h"

#include <QSocketNotifier>

TPortWatcher::TPortWatcher(QObject* parent) : QObject(parent)
{
    gather_.setSingleShot(true);
    gather_.setInterval(kGatherMs);
    connect(&gather_, &QTimer::timeout, this, [this] {
        // Links may have been made or removed: the folders on their way are watched anew.
        watch_.Watch(VaWatchFolders(paths_, devRoot_));
        emit changed();
    });
    if (watch_.Handle() >= 0) {
        notifier_ = new QSocketNotifier(watch_.Handle(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { noticed(); });
    }
    watch_.Watch(VaWatchFolders(paths_, devRoot_));
}

TPortWatcher::~TPortWatcher() = default;

void TPortWatcher::follow(const std::vector<std::string>& paths, const std::string& devRoot)
{
    paths_ = paths;
    devRoot_ = devRoot;
    watch_.Watch(VaWatchFolders(paths_, devRoot_));
}

void TPortWatcher::noticed()
{
    // The first notice of a burst starts the gathering; later ones within it add nothing.
    if (watch_.Drain() && !gather_.isActive())
        gather_.start();
}
