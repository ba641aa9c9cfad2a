#include "VaFileName.h"

#include <sys/stat.h>

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

std::string MakeUniqueFileName(const std::string& path)
{
    if (!Exists(path))
        return path;
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string dir = path.substr(0, nameStart);
    std::string name = path.substr(nameStart);
    std::string ext;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        ext = name.substr(dot);
        name.erase(dot);
    }
    for (unsigned long n = 1;; ++n) {
        std::string candidate = dir + name + "-" + std::to_string(n) + ext;
        if (!Exists(candidate))
            return candidate;
    }
}
