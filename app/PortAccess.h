// Help for a port that would not open: the status lines that say why, in words, and what to do.
#pragma once

#include <string>
#include <vector>

// Who may open a device file, and where the user stands with its group.
struct TDeviceAccess {
    std::string owner;            // user name (or number) of the owner
    std::string group;            // group name (or number)
    unsigned mode = 0;            // permission bits
    bool groupIsRoot = false;     // the group is root's (gid 0)
    bool userInGroup = false;     // the group's member list, or the user's own group, names the user
    bool processHasGroup = false; // this program runs with the group (not so before a new login)
};

// The status line for a device the user may not open. A group is named only when it may read and
// write the device and is not root's; then the hint says whether the user must join it or has
// joined but not logged in again since. Otherwise it shows owner, group and mode and says that a
// udev rule or the administrator must change them.
std::string accessHint(const std::string& path, const TDeviceAccess& access);

// What the file at path says about access, and the user's standing with its group; false when
// path cannot be looked at.
bool deviceAccess(const std::string& path, TDeviceAccess& access);

// A process that holds a device open.
struct TPortHolder {
    int pid = 0;
    std::string command;
};

// The other processes that hold the device at path open, as far as procRoot (/proc) tells: a user
// sees only his own processes' open files there.
std::vector<TPortHolder> portHolders(const std::string& path, const std::string& procRoot = "/proc");

// The status line for a port that another program holds.
std::string busyHint(const std::string& path, const std::vector<TPortHolder>& holders);
