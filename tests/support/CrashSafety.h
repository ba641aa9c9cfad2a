// Proving that a save survives a crash and a full disk: a child process that saves over and over is
// killed at many moments of its writes, and a save runs on a file system that has no room left.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Runs save(0) and save(1), then kills, kills times, a child process that runs save(0), save(1),
// save(2) ... on the file as those two left it, until it is killed with SIGKILL, each time at
// another moment (spread over a few saves, so that the kill lands before, during and after
// writing, flushing and renaming). After each kill the file at path must hold exactly one of the
// texts in whole (what a save, or a step of one, leaves). Returns an empty text when it
// always did, otherwise what went wrong. seen (when given) counts the kills that found each text.
std::string killWhileSaving(const std::string& path, const std::function<void(int round)>& save,
                            const std::vector<std::string>& whole, int kills, std::vector<int>* seen = nullptr);

// Runs test(folder) in a child process in a mount namespace of its own, where folder is a fresh
// tmpfs of sizeKb kilobytes (nothing outside the child sees it, and it goes with the child). test
// returns an empty text on success, otherwise what went wrong. Returns that text, or "skip: ..."
// when no such file system can be made here (no mount namespaces).
std::string onSmallFileSystem(int sizeKb, const std::function<std::string(const std::string& folder)>& test);

// Fills the file system of folder until a write fails; returns false when it never does.
bool fillFileSystem(const std::string& folder);
