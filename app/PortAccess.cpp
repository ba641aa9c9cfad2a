#include "PortAccess.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

std::string accessHint(const std::string& path, const TDeviceAccess& access)
{
    const std::string start = "No permission to open " + path;
    const bool groupMayUse = (access.mode & 060) == 060 && !access.groupIsRoot;
    if (groupMayUse && !access.processHasGroup) {
        if (access.userInGroup)
            return start + ": your user is in the group " + access.group +
                   ", but this session began before it joined; log out and log in again.\n";
        return start + ": add your user to the group " + access.group + " (sudo adduser $USER " + access.group +
               "), then log out and log in again.\n";
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", access.mode & 07777);
    const std::string owners = access.owner + ":" + access.group + " " + mode;
    if (groupMayUse)
        return start + ": its group " + access.group + " may use it and this program runs with that group (" +
               owners + "), so something else refuses it (an access list or a security module); ask the "
               "administrator.\n";
    return start + ": its owner, group and mode (" + owners +
           ") do not give this user access; a udev rule or the administrator must change them.\n";
}

bool deviceAccess(const std::string& path, TDeviceAccess& access)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    access = {};
    const passwd* owner = ::getpwuid(st.st_uid);
    access.owner = owner ? owner->pw_name : std::to_string(st.st_uid);
    access.mode = st.st_mode & 07777;
    access.groupIsRoot = st.st_gid == 0;
    const group* g = ::getgrgid(st.st_gid);
    access.group = g ? g->gr_name : std::to_string(st.st_gid);
    const passwd* user = ::getpwuid(::getuid());
    if (user && user->pw_gid == st.st_gid)
        access.userInGroup = true;
    for (char** member = g ? g->gr_mem : nullptr; user && member && *member; ++member)
        access.userInGroup = access.userInGroup || user->pw_name == std::string(*member);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(static_cast<size_t>(std::max(::getgroups(static_cast<int>(groups.size()), groups.data()), 0)));
    access.processHasGroup =
        ::getegid() == st.st_gid || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    return true;
}

std::vector<TPortHolder> portHolders(const std::string& path, const std::string& procRoot)
{
    namespace fs = std::filesystem;
    std::vector<TPortHolder> holders;
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0)
        return holders;
    // The same device under another name (a /dev/serial/by-id link, a link to a pseudo-terminal)
    // is the same device: compare what the names lead to, not the names.
    auto same = [&](const struct stat& st) {
        if (S_ISCHR(device.st_mode))
            return S_ISCHR(st.st_mode) && st.st_rdev == device.st_rdev;
        return st.st_dev == device.st_dev && st.st_ino == device.st_ino;
    };
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const auto& process : fs::directory_iterator(procRoot, ec)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::error_code fdError;
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            struct stat st {};
            if (::stat(fd.path().c_str(), &st) != 0 || !same(st))
                continue;
            std::string command;
            std::getline(std::ifstream(process.path() / "comm"), command);
            holders.push_back({std::stoi(pid), command});
            break;
        }
    }
    std::sort(holders.begin(), holders.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return holders;
}

std::string busyHint(const std::string& path, const std::vector<TPortHolder>& holders)
{
    std::string hint = path + " is in use by another program";
    for (size_t i = 0; i < holders.size(); ++i)
        hint += (i == 0 ? ": " : ", ") + holders[i].command + " (process " + std::to_string(holders[i].pid) + ")";
    return hint + ".\n";
}
