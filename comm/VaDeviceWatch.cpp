#include "VaDeviceWatch.h"

#include "VaClasses.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// The folder itself when it exists, else the nearest existing one above it.
fs::path existingFolder(fs::path folder)
{
    std::error_code ec;
    while (!folder.empty() && !fs::is_directory(folder, ec)) {
        if (folder == folder.parent_path())
            return {};
        folder = folder.parent_path();
    }
    return folder;
}

} // namespace

TVaDeviceWatch::TVaDeviceWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

TVaDeviceWatch::~TVaDeviceWatch()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void TVaDeviceWatch::Watch(const std::vector<std::string>& folders)
{
    if (fd_ < 0)
        return;
    std::set<std::string> wanted;
    for (const auto& folder : folders) {
        const fs::path existing = existingFolder(fs::path(folder).lexically_normal());
        if (!existing.empty())
            wanted.insert(existing.string());
    }
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (wanted.count(it->first) == 0) {
            ::inotify_rm_watch(fd_, it->second);
            it = watches_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& folder : wanted) {
        // Added again even when known: a folder removed and made anew needs a new watch, and
        // adding an existing one only updates it.
        const int wd = ::inotify_add_watch(fd_, folder.c_str(), kFolderEvents | IN_ONLYDIR);
        if (wd >= 0)
            watches_[folder] = wd;
        else
            watches_.erase(folder);
    }
}

bool TVaDeviceWatch::Drain()
{
    if (fd_ < 0)
        return false;
    alignas(inotify_event) char buffer[8192];
    bool any = false;
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got <= 0)
            return any;
        any = true;
    }
}

std::vector<std::string> VaWatchFolders(const std::vector<std::string>& paths, const std::string& devRoot)
{
    const fs::path dev = fs::path(devRoot).lexically_normal();
    std::vector<std::string> folders{dev.string(), (dev / "serial" / "by-id").string(),
                                     (dev / "serial" / "by-path").string(), (dev / "pts").string()};
    auto add = [&folders](const fs::path& folder) {
        const std::string text = folder.lexically_normal().string();
        if (!text.empty() && std::find(folders.begin(), folders.end(), text) == folders.end())
            folders.push_back(text);
    };
    for (const auto& path : paths) {
        if (path.find('/') == std::string::npos || path.find("://") != std::string::npos)
            continue;
        // Every link on the way: a by-id link leads to /dev/ttyACM0, a simulator's link to a
        // pseudo-terminal; each of their folders shows the device going and coming.
        fs::path at = fs::path(path).lexically_normal();
        for (int hop = 0; hop < 8; ++hop) {
            add(at.parent_path());
            std::error_code ec;
            const fs::path next = fs::read_symlink(at, ec);
            if (ec)
                break;
            at = (next.is_absolute() ? next : at.parent_path() / next).lexically_normal();
        }
    }
    return folders;
}

TVaOpenResult VaWaitForPort(const std::string& path, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    TVaDeviceWatch watch;
    auto tryOpen = [&path]() -> TVaOpenResult {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return TVaOpenResult::Failure(VaErrorKindOf(errno), errno);
        const int locked = ::flock(fd, LOCK_EX | LOCK_NB);
        const int error = errno;
        ::close(fd);
        return locked == 0 ? TVaOpenResult{} : TVaOpenResult::Failure(VaErrorKindOf(error), error);
    };
    int pauseMs = 20;
    for (;;) {
        // Watched before each try, so nothing that happens between the try and the wait is missed.
        watch.Watch(VaWatchFolders({path}));
        watch.Drain();
        const TVaOpenResult result = tryOpen();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (result.ok || left <= 0)
            return result;
        // A node that is there but refuses (its group not set yet, or held by another program)
        // changes without a notice when its holder lets go: look again after a growing pause.
        int wait = static_cast<int>(left);
        if (result.kind == ekPermission || result.kind == ekBusy) {
            wait = std::min(wait, pauseMs);
            pauseMs = std::min(pauseMs * 2, 500);
        }
        pollfd p{watch.Handle(), POLLIN, 0};
        if (p.fd < 0)
            wait = std::min(wait, 100); // no inotify: look now and then
        (void)::poll(&p, p.fd < 0 ? 0 : 1, wait);
    }
}
