// What the fuzz targets share: a check that stops the run with a message (libFuzzer then keeps the
// input as a crash), a private temporary folder for targets whose code reads and writes files, and
// short ways to read and write whole files.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <unistd.h>

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n  ", __FILE__, __LINE__, #cond);        \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
            std::fprintf(stderr, "\n");                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// A folder of this process under $TMPDIR (or /tmp), ending with "/"; removed when the process exits.
inline const std::string& tempDir()
{
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qx-fuzz-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        static std::string removeAtExit = tmpl;
        std::atexit([] {
            ::nftw(removeAtExit.c_str(),
                   [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
                   FTW_DEPTH | FTW_PHYS);
        });
        return tmpl + "/";
    }();
    return dir;
}

inline std::string readFile(const std::string& path)
{
    std::string data;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            data.append(buf, n);
        std::fclose(f);
    }
    return data;
}

inline void writeFile(const std::string& path, const std::string& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot create %s", path.c_str());
    FUZZ_CHECK(std::fwrite(data.data(), 1, data.size(), f) == data.size(), "cannot write %s", path.c_str());
    std::fclose(f);
}

// A printable form of a short text for check messages.
inline std::string shown(const std::string& text, size_t max = 200)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 32 && c < 127 && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > max)
        out += "...";
    return out;
}

} // namespace fuzz
