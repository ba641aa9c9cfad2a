#include "Ser2net.h"

#include <cerrno>
#include <fcntl.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Whether something listens on TCP port (a bind test would be fooled by connections of an
// earlier server that wait out their TIME_WAIT).
bool Listening(int port)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

int freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free TCP port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

Ser2net::Ser2net(std::string device, Kind kind, std::string portOptions, std::vector<std::string> options)
    : device_(std::move(device)), kind_(kind), portOptions_(std::move(portOptions)), options_(std::move(options))
{
    port_ = freeTcpPort();
    start();
}

Ser2net::~Ser2net()
{
    stop();
}

std::string Ser2net::url(const std::string& options) const
{
    return std::string(kind_ == kRfc2217 ? "rfc2217" : "socket") + "://127.0.0.1:" + std::to_string(port_) +
           options;
}

void Ser2net::start()
{
    if (pid_ > 0)
        return;
    const std::string config = dir_ / "ser2net.yaml";
    {
        std::ofstream out(config);
        out << "%YAML 1.1\n---\nconnection: &con0\n"
            << "  accepter: " << (kind_ == kRfc2217 ? "telnet(rfc2217)," : "") << "tcp,127.0.0.1," << port_ << "\n"
            << "  connector: serialdev," << device_ << "," << portOptions_ << ",local\n"
            << "  options:\n    kickolduser: false\n";
        for (const std::string& option : options_)
            out << "    " << option << "\n";
    }
    const std::string pidFile = dir_ / "ser2net.pid";
    const std::string log = dir_ / "ser2net.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const char* argv[] = {"ser2net", "-n", "-d", "-c", config.c_str(), "-P", pidFile.c_str(), nullptr};
    const char* binary = ::access("/usr/sbin/ser2net", X_OK) == 0 ? "/usr/sbin/ser2net" : "ser2net";
    const int error = ::posix_spawnp(&pid_, binary, &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error(std::string("cannot start ser2net (scripts/setup.sh installs it): ") +
                                 std::strerror(error));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Listening(port_)) {
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            std::ifstream in(log);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            throw std::runtime_error("ser2net ended at once: " + text);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("ser2net does not listen on port " + std::to_string(port_));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Ser2net::stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    // The port is free again once the kernel has let go of the listening socket.
    for (int i = 0; i < 200 && Listening(port_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
