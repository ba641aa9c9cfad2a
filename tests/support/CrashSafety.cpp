#include "CrashSafety.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string fileText(const std::string& path)
{
    std::string data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "(no file: " + std::string(std::strerror(errno)) + ")";
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        data.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return data;
}

bool writeText(const std::string& path, const std::string& text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

void writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0 && errno != EINTR)
            return;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

bool restore(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".restore";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    writeAll(fd, text);
    ::close(fd);
    return ::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

std::string killWhileSaving(const std::string& path, const std::function<void(int round)>& save,
                            const std::vector<std::string>& whole, int kills, std::vector<int>* seen)
{
    if (seen)
        seen->assign(whole.size(), 0);
    // How long a save takes here, so that the kills can be spread over a few of them.
    const auto t0 = std::chrono::steady_clock::now();
    save(0);
    save(1);
    const auto perSave = std::max<std::chrono::microseconds>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0) / 2,
        std::chrono::microseconds(50));

    // Every child starts from the file as these two saves left it.
    const std::string start = fileText(path);
    for (int k = 0; k < kills; ++k) {
        if (!restore(path, start))
            return "cannot restore " + path + ": " + std::strerror(errno);
        const pid_t pid = ::fork();
        if (pid < 0)
            return "fork: " + std::string(std::strerror(errno));
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            try {
                for (int round = 0;; ++round)
                    save(round);
            } catch (...) {
            }
            ::_exit(3);
        }
        // From the child's first moments to three saves later, a different moment each time.
        std::this_thread::sleep_for(perSave * 3 * k / kills + std::chrono::microseconds(37 * (k % 7)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFSIGNALED(status))
            return "the saving child ended by itself (status " + std::to_string(status) + ")";
        const std::string got = fileText(path);
        const auto found = std::find(whole.begin(), whole.end(), got);
        if (found == whole.end())
            return "kill " + std::to_string(k) + " left a file of " + std::to_string(got.size())
                   + " bytes that is none of the saves: " + got.substr(0, 120);
        if (seen)
            ++(*seen)[static_cast<size_t>(found - whole.begin())];
    }
    return {};
}

std::string onSmallFileSystem(int sizeKb, const std::function<std::string(const std::string& folder)>& test)
{
    char tmpl[] = "/tmp/qx-smallfs-XXXXXX";
    if (!::mkdtemp(tmpl))
        return "mkdtemp: " + std::string(std::strerror(errno));
    const std::string folder = tmpl;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return "pipe: " + std::string(std::strerror(errno));
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        auto report = [&](const std::string& text) {
            writeAll(pipeFds[1], text);
            ::_exit(0);
        };
        // Root makes a mount namespace directly; anyone else through a user namespace of their own.
        if (uid == 0 ? ::unshare(CLONE_NEWNS) != 0
                     : ::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0
                           || !writeText("/proc/self/setgroups", "deny")
                           || !writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1")
                           || !writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            report("skip: no mount namespace here: " + std::string(std::strerror(errno)));
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            report("skip: cannot make the mounts private: " + std::string(std::strerror(errno)));
        const std::string options = "size=" + std::to_string(sizeKb) + "k";
        if (::mount("qx-small", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            report("skip: cannot mount a tmpfs: " + std::string(std::strerror(errno)));
        try {
            report(test(folder + "/"));
        } catch (const std::exception& e) {
            report(std::string("exception: ") + e.what());
        }
        report("exception");
    }
    ::close(pipeFds[1]);
    std::string result;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            result.append(buf, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::rmdir(folder.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the child ended with status " + std::to_string(status) + (result.empty() ? "" : ": " + result);
    return result;
}

bool fillFileSystem(const std::string& folder)
{
    const int fd = ::open((folder + "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string chunk(4096, 'f');
    bool full = false;
    for (int i = 0; i < 1 << 20 && !full; ++i)
        full = ::write(fd, chunk.data(), chunk.size()) < 0 && errno == ENOSPC;
    ::close(fd);
    return full;
}
