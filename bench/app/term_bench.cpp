// The terminal on a real display: QX-Com (this build's or another binary) connects to a
// pseudo-terminal and shows a flood of 80-byte text lines in a 1000 x 900 window under X. The flood
// is fed the way a device does it: a writer that blocks on the pty's master, the program reading as
// it can. Each run starts the program afresh from a portable copy (its own settings file) and
// prints:
//   MB/s        the flood's size over the time from its first byte until the program is idle again
//   CPU s/MB    the program's processor time (all its threads) over the flood's megabytes
//   RSS         the program's resident memory before the flood, its peak during it, and after it
//   key         the time from a key pressed (XTEST, through xdotool) to its byte on the line: the
//               median on the idle line, the median during the flood, and the longest during the
//               flood; keys go every 20 ms, so the main thread's longest stall lies between that
//               longest wait and 20 ms more
// Runs of plain text, with the "show control characters" option, with time stamps, with the hex
// view, with the find bar open on a term found four times in every line and with a raw log to a file
// (started through File > "Log to File…"; its size is checked against the flood) alternate; the
// medians and the range over the runs close each. --only takes the names of some of them (plain,
// ctrl,stamps,hex,find,log). Without DISPLAY it starts Xvfb itself; without either it says so and
// skips. Usage:
//   term_bench [--runs N] [--mb MB] [--program PATH] [--tools DIR] [--only NAME,...]
// PATH is a QX-Com binary (default: this build's), copied with the tool folder DIR into a
// temporary folder and run from there.
#include "TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool onPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

pid_t spawn(const std::vector<std::string>& args, int outFd = -1)
{
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// The first line a command prints.
std::string firstLine(const std::string& command)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        if (std::fgets(buf, sizeof buf, p))
            out = buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// Processor seconds of a process, all its threads.
double cpuOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14 || i == 15)
            ticks += std::stod(f);
        if (i == 15)
            break;
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double rssMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

bool holds(pid_t pid, const std::string& path)
{
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code ignored;
        if (fs::read_symlink(e.path(), ignored) == path)
            return true;
    }
    return false;
}

// An X display for the runs: DISPLAY, or an Xvfb of our own.
class Display {
public:
    bool open()
    {
        if (const char* d = std::getenv("DISPLAY"); d && *d)
            return true;
        if (!onPath("Xvfb"))
            return false;
        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        pid_ = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-nolisten",
                      "tcp"});
        ::close(fds[1]);
        std::string number;
        char c;
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(fds[0]);
        if (number.empty())
            return false;
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        std::printf("Started Xvfb on :%s\n", number.c_str());
        return true;
    }
    ~Display() { stop(pid_); }

private:
    pid_t pid_ = -1;
};

struct Figures {
    double rate = 0, cpuPerMB = 0, rssStart = 0, rssPeak = 0, rssEnd = 0;
    double keyIdle = 0, keyFlood = 0, keyLongest = 0;
};

struct Config {
    std::string program; // the copy to run
    std::string folder;  // its folder (settings file, tool folder)
    size_t bytes = 0;
    bool ctrl = false;
    std::string terminal; // the [Terminal] section's keys (time stamps, hex view)
    bool keys = true;
    std::string find; // a term typed into the find bar before the flood (keys needed)
    bool log = false; // a raw log to folder/flood.log during the flood (keys needed)
};

std::optional<Figures> runOnce(const Config& cfg)
{
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return std::nullopt;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    const std::string slavePath = name;
    const std::string logPath = cfg.folder + "/flood.log";
    {
        std::ofstream ini(cfg.folder + "/qx-com-103.ini", std::ios::trunc);
        ini << "[Comms]\nEcho=0\nCtrl=" << (cfg.ctrl ? 1 : 0)
            << "\n[Form]\nwidthTERM=1000\nheightTERM=900\nleftTERM=0\ntopTERM=0\n[Terminal]\n" << cfg.terminal;
        if (cfg.log)
            ini << "LogFile=" << logPath << "\nLogFormat=0\nLogSent=0\n";
    }
    std::error_code gone;
    std::filesystem::remove(logPath, gone);
    const pid_t pid = spawn({cfg.program, "-platform", "xcb", slavePath});
    std::optional<Figures> result;
    FILE* keys = nullptr;
    std::atomic<bool> reading{true};
    std::thread reader;
    std::mutex keyMutex;
    std::vector<Clock::time_point> pressed;
    std::vector<double> waits; // per key, in arrival order
    auto press = [&](char key) {
        std::lock_guard lock(keyMutex);
        pressed.push_back(Clock::now());
        std::fprintf(keys, "key --delay 0 %c\n", key);
        std::fflush(keys);
    };
    auto keysAnswered = [&] {
        std::lock_guard lock(keyMutex);
        return waits.size();
    };
    do {
        const auto opened = Clock::now();
        while (!holds(pid, slavePath) && secondsSince(opened) < 30)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!holds(pid, slavePath)) {
            std::fprintf(stderr, "The program did not open %s\n", slavePath.c_str());
            break;
        }
        const std::string window = firstLine("xdotool search --sync --onlyvisible --pid " + std::to_string(pid)
                                             + " 2>/dev/null");
        if (cfg.keys && !window.empty()) {
            (void)std::system(("xdotool windowsize " + window + " 1000 900 windowfocus --sync " + window
                               + " mousemove --window " + window + " 300 300 >/dev/null 2>&1")
                                  .c_str());
            keys = ::popen("xdotool - >/dev/null 2>&1", "w");
            // The find bar open on the term, its first match current; a click gives the keys back
            // to the terminal pane.
            if (!cfg.find.empty()) {
                (void)std::system(("xdotool key ctrl+f type --delay 0 '" + cfg.find + "' >/dev/null 2>&1").c_str());
                (void)std::system(("xdotool mousemove --window " + window + " 200 160 click 1 mousemove --window "
                                   + window + " 300 300 >/dev/null 2>&1")
                                      .c_str());
            }
            // File > "Log to File…" (Alt+F, O); the dialog offers the file of the settings.
            if (cfg.log) {
                (void)std::system("xdotool key alt+f sleep 0.3 key o sleep 0.7 key Return >/dev/null 2>&1");
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (!std::filesystem::exists(logPath)) {
                    std::fprintf(stderr, "The log did not start\n");
                    break;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(700));

        reader = std::thread([&] {
            char buf[4096];
            pollfd p{master, POLLIN, 0};
            while (reading) {
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0)
                    continue;
                const auto now = Clock::now();
                std::lock_guard lock(keyMutex);
                for (ssize_t i = 0; i < n && waits.size() < pressed.size(); ++i)
                    waits.push_back(std::chrono::duration<double, std::milli>(now - pressed[waits.size()]).count());
            }
        });

        Figures f;
        // The idle line first.
        size_t idleKeys = 0;
        if (keys) {
            for (int i = 0; i < 10; ++i) {
                press('a');
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
            }
            const auto waited = Clock::now();
            while (keysAnswered() < 10 && secondsSince(waited) < 3)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard lock(keyMutex);
            idleKeys = waits.size();
            f.keyIdle = spreadOf(waits).median;
        }
        f.rssStart = rssMiB(pid);
        const double cpuStart = cpuOf(pid);

        std::atomic<bool> writing{true};
        std::atomic<size_t> flooded{0};
        const auto start = Clock::now();
        std::thread writer([&] {
            size_t sent = 0;
            std::string chunk;
            for (long n = 0; sent < cfg.bytes; ++n) {
                char line[96];
                std::snprintf(line, sizeof line, "%08ld The quick brown fox jumps over the lazy dog %025ld\r\n", n, n);
                chunk += line;
                if (chunk.size() >= 8000 || sent + chunk.size() >= cfg.bytes) {
                    for (size_t off = 0; off < chunk.size();) {
                        const ssize_t w = ::write(master, chunk.data() + off, chunk.size() - off);
                        if (w > 0)
                            off += static_cast<size_t>(w);
                        else if (errno != EINTR && errno != EAGAIN)
                            break;
                    }
                    sent += chunk.size();
                    chunk.clear();
                }
            }
            flooded = sent;
            writing = false;
        });

        // Until the program has been idle for half a second after the last byte was taken.
        double lastCpu = cpuStart;
        auto lastBusy = Clock::now();
        auto nextKey = Clock::now();
        f.rssPeak = f.rssStart;
        char key = 'b';
        while (true) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const double cpu = cpuOf(pid);
            if (cpu > lastCpu) {
                lastCpu = cpu;
                lastBusy = Clock::now();
            }
            f.rssPeak = std::max(f.rssPeak, rssMiB(pid));
            if (keys && writing && Clock::now() >= nextKey) {
                press(key);
                key = key == 'z' ? 'b' : static_cast<char>(key + 1);
                nextKey = Clock::now() + std::chrono::milliseconds(20);
            }
            if (!writing && secondsSince(lastBusy) > 0.5)
                break;
            if (secondsSince(start) > 600) {
                std::fprintf(stderr, "The flood took more than ten minutes; run abandoned\n");
                break;
            }
        }
        writer.join();
        const double elapsed = std::chrono::duration<double>(lastBusy - start).count();
        const double mb = static_cast<double>(cfg.bytes) / 1e6;
        f.rate = mb / elapsed;
        f.cpuPerMB = (lastCpu - cpuStart) / mb;
        f.rssEnd = rssMiB(pid);
        if (keys) {
            const auto waited = Clock::now();
            while (keysAnswered() < pressed.size() && secondsSince(waited) < 3)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard lock(keyMutex);
            const std::vector<double> flood(waits.begin() + static_cast<ptrdiff_t>(idleKeys), waits.end());
            f.keyFlood = spreadOf(flood).median;
            f.keyLongest = flood.empty() ? 0 : *std::max_element(flood.begin(), flood.end());
            if (waits.size() < pressed.size())
                std::fprintf(stderr, "%zu of %zu keys never reached the line\n", pressed.size() - waits.size(),
                             pressed.size());
        }
        if (cfg.log) {
            std::error_code ec;
            const auto logged = std::filesystem::file_size(logPath, ec);
            if (ec || logged != flooded)
                std::fprintf(stderr, "The log holds %llu bytes of the flood's %zu\n",
                             static_cast<unsigned long long>(ec ? 0 : logged), flooded.load());
        }
        result = f;
    } while (false);

    reading = false;
    if (reader.joinable())
        reader.join();
    if (keys)
        ::pclose(keys);
    stop(pid);
    ::close(master);
    ::close(slave);
    return result;
}

void printRun(const char* label, int run, const Figures& f)
{
    std::printf("  %-5s run %d: %6.2f MB/s  %.3f CPU s/MB  RSS %.0f / peak %.0f / end %.0f MiB  key idle %.1f ms,"
                " flood %.1f ms, longest %.0f ms\n",
                label, run, f.rate, f.cpuPerMB, f.rssStart, f.rssPeak, f.rssEnd, f.keyIdle, f.keyFlood,
                f.keyLongest);
}

void printSummary(const char* label, const std::vector<Figures>& runs)
{
    auto column = [&](double Figures::*field) {
        std::vector<double> v;
        for (const auto& f : runs)
            v.push_back(f.*field);
        const TSpread spread = spreadOf(v);
        char text[64];
        std::snprintf(text, sizeof text, "%.3g [%.3g-%.3g]", spread.median, spread.low, spread.high);
        return std::string(text);
    };
    std::vector<double> growth;
    for (const auto& f : runs)
        growth.push_back(f.rssPeak - f.rssStart);
    std::printf("%s, median [range] of %zu runs:\n"
                "  shown        %s MB/s           (target: at least CuteCom's, about 11, aiming at 22)\n"
                "  CPU          %s s/MB          (target: at most 0.08)\n"
                "  RSS start    %s MiB, peak %s, end %s; peak - start median %.1f MiB (target: within 10)\n"
                "  key to line  idle %s ms, during the flood %s ms (target: under 20)\n"
                "  longest key wait during the flood %s ms; the longest stall is at most 20 ms more\n"
                "               (target: under 50)\n",
                label, runs.size(), column(&Figures::rate).c_str(), column(&Figures::cpuPerMB).c_str(),
                column(&Figures::rssStart).c_str(), column(&Figures::rssPeak).c_str(),
                column(&Figures::rssEnd).c_str(), spreadOf(growth).median, column(&Figures::keyIdle).c_str(),
                column(&Figures::keyFlood).c_str(), column(&Figures::keyLongest).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 3;
    double megabytes = 20;
    std::string program = QX_COM_EXE;
    std::string tools = QX_TOOLS_DIR;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--mb")
            megabytes = std::max(0.1, std::atof(argv[i + 1]));
        else if (opt == "--program")
            program = argv[i + 1];
        else if (opt == "--tools")
            tools = argv[i + 1];
        else if (opt == "--only")
            only = "," + std::string(argv[i + 1]) + ",";
        else {
            std::fprintf(stderr, "usage: term_bench [--runs N] [--mb MB] [--program PATH] [--tools DIR] [--only NAME,...]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    Display display;
    if (!display.open()) {
        std::printf("term_bench: no DISPLAY and no Xvfb to start; skipped\n");
        return 0;
    }
    const bool keys = onPath("xdotool");
    if (!keys)
        std::printf("term_bench: no xdotool; the key figures are left out\n");

    char folderName[] = "/tmp/qx-term-bench-XXXXXX";
    if (!::mkdtemp(folderName)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = folderName;
    std::error_code ec;
    fs::copy_file(program, folder + "/qx-com", ec);
    if (!ec)
        fs::copy(tools, folder + "/qxtools", fs::copy_options::recursive, ec);
    if (ec) {
        std::fprintf(stderr, "Cannot copy %s and %s: %s\n", program.c_str(), tools.c_str(), ec.message().c_str());
        fs::remove_all(folder, ec);
        return 1;
    }
    Config cfg{folder + "/qx-com", folder, static_cast<size_t>(megabytes * 1e6), false, {}, keys, {}};
    std::printf("%s: a %.0f MB flood of 80-byte lines into a pty, 1000 x 900 window on %s, %d runs each\n",
                program.c_str(), megabytes, std::getenv("DISPLAY"), runs);
    struct Variant {
        const char* name;
        const char* title;
        bool ctrl;
        const char* terminal;
        std::vector<Figures> figures;
        const char* find = "";
        bool log = false;
    };
    Variant variants[] = {{"plain", "Plain text", false, "", {}},
                          {"ctrl", "Show control characters on", true, "", {}},
                          {"stamps", "Time stamps on", false, "Timestamps=1\n", {}},
                          {"hex", "Hex view on", false, "HexView=1\n", {}},
                          {"find", "Find bar open on \"o\"", false, "", {}, "o"},
                          {"log", "Raw log to a file", false, "", {}, "", true}};
    for (int run = 1; run <= runs; ++run) {
        for (Variant& v : variants) {
            if ((!only.empty() && only.find("," + std::string(v.name) + ",") == std::string::npos)
                || ((*v.find || v.log) && !keys))
                continue;
            cfg.ctrl = v.ctrl;
            cfg.terminal = v.terminal;
            cfg.find = v.find;
            cfg.log = v.log;
            if (auto f = runOnce(cfg)) {
                printRun(v.name, run, *f);
                v.figures.push_back(*f);
            }
            std::fflush(stdout);
        }
    }
    fs::remove_all(folder, ec);
    bool any = false;
    for (const Variant& v : variants) {
        if (!v.figures.empty())
            printSummary(v.title, v.figures);
        any = any || !v.figures.empty();
    }
    return any ? 0 : 1;
}
