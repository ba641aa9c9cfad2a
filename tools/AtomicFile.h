// Writing a whole file so that a crash or a full disk never leaves a half-written file in place of
// the old one: the data goes to a temporary file in the same folder, is flushed to the disk, and the
// temporary file is then renamed over the target.
#pragma once

#include <string>
#include <string_view>

// Returns false (errno set) when any step fails; the target is then unchanged and no temporary
// file is left behind.
bool writeFileAtomically(const std::string& path, std::string_view data);

// Reads a whole file. Returns false (errno set) when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& data);
