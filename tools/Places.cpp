#include "Places.h"

#include "AtomicFile.h"
#include "IniFile.h"

#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string exeOverride, configOverride, dataOverride;

std::string withSlash(std::string s)
{
    if (!s.empty() && s.back() != '/')
        s += '/';
    return s;
}

bool folderWritable(const std::string& folder)
{
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void makeFolders(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/')
            ::mkdir(path.substr(0, i).c_str(), 0755);
    }
}

std::string xdgHome(const char* variable, const char* fallback, const std::string& override)
{
    if (!override.empty())
        return withSlash(override);
    const char* v = std::getenv(variable);
    if (v && v[0] == '/')
        return withSlash(v);
    const char* home = std::getenv("HOME");
    return withSlash(std::string(home ? home : "/tmp") + fallback);
}

// Copies the files of one folder tree into another, keeping what is already there.
void seedFolder(const std::string& from, const std::string& to)
{
    DIR* dir = ::opendir(from.c_str());
    if (!dir)
        return;
    makeFolders(to);
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string src = from + name, dst = to + name;
        struct stat st {};
        if (::stat(src.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            seedFolder(src + "/", dst + "/");
        } else if (S_ISREG(st.st_mode) && !exists(dst)) {
            std::string data;
            if (readWholeFile(src, data))
                writeFileAtomically(dst, data);
        }
    }
    ::closedir(dir);
}

} // namespace

std::string executableFolder()
{
    if (!exeOverride.empty())
        return withSlash(exeOverride);
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1);
}

void overridePlaces(const std::string& exeFolder, const std::string& configHome, const std::string& dataHome)
{
    exeOverride = exeFolder;
    configOverride = configHome;
    dataOverride = dataHome;
}

std::string placeOf(TQxPlace place)
{
    const std::string exe = executableFolder();
    const bool portable = folderWritable(exe);
    switch (place) {
    case TQxPlace::qpSettingsFile: {
        const std::string name = "qx-com-103.ini";
        if (portable)
            return exe + name;
        const std::string folder = xdgHome("XDG_CONFIG_HOME", "/.config", configOverride) + "qx-com/";
        makeFolders(folder);
        if (!exists(folder + name) && exists(exe + name)) {
            std::string data;
            if (readWholeFile(exe + name, data))
                writeFileAtomically(folder + name, data);
        }
        return folder + name;
    }
    case TQxPlace::qpToolFolder: {
        if (portable)
            return exe + "qxtools/";
        const std::string folder = xdgHome("XDG_DATA_HOME", "/.local/share", dataOverride) + "qx-com/qxtools/";
        if (!exists(folder))
            seedFolder(exe + "qxtools/", folder);
        makeFolders(folder);
        return folder;
    }
    }
    return exe;
}

std::string makerSite()
{
    const TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    return ini.ReadString("Web", "Site", "http://www.qx-com.example");
}
