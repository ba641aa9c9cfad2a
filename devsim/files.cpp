#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim {

bool writeFileAtomic(const std::string& path, std::string_view data, std::string* error)
{
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto failed = [&](const char* what) {
        if (error) *error = std::string(what) + " " + tmp + ": " + std::strerror(errno);
        return false;
    };
    if (fd < 0) return failed("cannot create");
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed("cannot write");
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        failed("cannot flush");
        ::unlink(tmp.c_str());
        return false;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        failed("cannot rename");
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool makeDirectories(const std::string& path, std::string* error)
{
    std::string cur;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!cur.empty() && ::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
                if (error) *error = "cannot create folder " + cur + ": " + std::strerror(errno);
                return false;
            }
        }
        if (i < path.size()) cur += path[i];
    }
    return true;
}

std::string printable(std::string_view bytes, std::size_t max)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == 0x1B) {
            out += "ESC ";
        } else if (c < 32 || c > 126) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "<%02X>", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace devsim
