#include "Places.h"

#include "AtomicFile.h"
#include "IniFile.h"
#include "QxBuildInfo.h"

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
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

// Copies the files of one folder tree into another, keeping what is already there. False when a
// file could not be copied.
bool seedFolder(const std::string& from, const std::string& to)
{
    DIR* dir = ::opendir(from.c_str());
    if (!dir)
        return false;
    makeFolders(to);
    bool ok = true;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string src = from + name, dst = to + name;
        struct stat st {};
        if (::stat(src.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            ok = seedFolder(src + "/", dst + "/") && ok;
        } else if (S_ISREG(st.st_mode) && !exists(dst)) {
            std::string data;
            ok = readWholeFile(src, data) && writeFileAtomically(dst, data) && ok;
        }
    }
    ::closedir(dir);
    return ok;
}

// Makes folder (ending "/") a copy of the installed one, whole or not at all: the copy is made
// beside it under another name and renamed into place, so a full disk or an end in the middle
// never leaves a tool folder that lacks files (the next start tries again). Without an installed
// copy an empty folder is made.
void seedToolFolder(const std::string& installed, const std::string& folder)
{
    if (!exists(installed)) {
        makeFolders(folder);
        return;
    }
    const std::string target = folder.substr(0, folder.size() - 1);
    const std::string partial = target + ".seeding-" + std::to_string(::getpid());
    if (seedFolder(installed, partial + "/") && ::rename(partial.c_str(), target.c_str()) == 0)
        return;
    // Failed, or another first start of this user was quicker.
    std::error_code ignored;
    std::filesystem::remove_all(partial, ignored);
}

// Portable: a tool folder beside the executable, in a folder this user may write. Being writable
// alone is not enough: root may write everywhere, and an installed /usr/bin must stay untouched.
bool portable(const std::string& exe)
{
    struct stat st {};
    return ::stat((exe + "qxtools").c_str(), &st) == 0 && S_ISDIR(st.st_mode) && folderWritable(exe);
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
    const bool beside = portable(exe);
    const std::string installed = exe + kQxDataFromBin;
    switch (place) {
    case TQxPlace::qpSettingsFile: {
        const std::string name = "qx-com-103.ini";
        if (beside)
            return exe + name;
        const std::string folder = xdgHome("XDG_CONFIG_HOME", "/.config", configOverride) + "qx-com/";
        makeFolders(folder);
        if (!exists(folder + name) && exists(installed + name)) {
            std::string data;
            if (readWholeFile(installed + name, data))
                writeFileAtomically(folder + name, data);
        }
        return folder + name;
    }
    case TQxPlace::qpToolFolder: {
        if (beside)
            return exe + "qxtools/";
        const std::string folder = xdgHome("XDG_DATA_HOME", "/.local/share", dataOverride) + "qx-com/qxtools/";
        if (!exists(folder)) {
            makeFolders(folder.substr(0, folder.rfind('/', folder.size() - 2) + 1));
            seedToolFolder(installed + "qxtools/", folder);
        }
        return folder;
    }
    }
    return exe;
}

std::string makerSite()
{
    const TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    return ini.ReadString("Web", "Site", kQxSite);
}
