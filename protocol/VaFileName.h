// Names for received files that never replace an existing file.
#pragma once

#include <string>

// Returns path unchanged when nothing of that name exists; otherwise the first of
// dir/name-1.ext, dir/name-2.ext, ... that does not exist. The extension is the part of the file
// name from its last dot on (a leading dot, as in ".profile", starts no extension). A dangling
// symbolic link counts as existing, so a name is never handed out that would write through one.
std::string MakeUniqueFileName(const std::string& path);
