// File helpers: every file devsim writes goes through writeFileAtomic, so a
// crash or a full disk never leaves a half-written file under the final name.
#pragma once

#include <string>
#include <string_view>

namespace devsim {

// Writes to a temporary file in the same folder, flushes it and renames it over
// the target. Returns false (and sets error) on any failure; the target is then
// left as it was.
bool writeFileAtomic(const std::string& path, std::string_view data, std::string* error = nullptr);

bool makeDirectories(const std::string& path, std::string* error = nullptr);

// Shows bytes readable in a log line: ESC as "ESC", other control bytes and
// bytes above 126 as <hh>. Long texts are cut with "...".
std::string printable(std::string_view bytes, std::size_t max = 80);

}  // namespace devsim
