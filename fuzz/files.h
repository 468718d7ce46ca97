// Files for the fuzz entries, which work through real files as the programs
// do: a scratch directory, and whole-file reads and writes.
#ifndef SWUG_FUZZ_FILES_H
#define SWUG_FUZZ_FILES_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

// A fresh directory below TMPDIR (or /tmp) named after the entry, or "".
inline std::string scratch_dir(const char *entry)
{
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + entry + "-XXXXXX";
    return mkdtemp(dir.data()) != nullptr ? dir : "";
}

inline bool put(const std::string &path, const uint8_t *d, size_t n)
{
    FILE *f = fopen(path.c_str(), "wb");
    return f != nullptr && fwrite(d, 1, n, f) == n && fclose(f) == 0;
}

inline bool slurp(const std::string &path, std::string *s)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    char buf[65536];
    s->clear();
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        s->append(buf, n);
    fclose(f);
    return true;
}

#endif
