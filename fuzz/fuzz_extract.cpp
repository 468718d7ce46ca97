// Fuzzes the extraction on arbitrary image bytes, through files as the
// program works, and checks every outcome against a model of its own.
#define main swug_main
#include "main.cpp"
#undef main

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "files.h"

namespace {

std::string dir, in_path, out_path;

void clean_up()
{
    remove(in_path.c_str());
    remove(out_path.c_str());
    rmdir(dir.c_str());
}

// What a correct extraction gives: false for a refusal, else the payload.
bool model(const uint8_t *d, size_t n, std::string *payload)
{
    if (n == 0 || n > 1048576)
        return false;
    uint32_t length = 0;
    for (size_t i = 36; i-- > 32;)  // little-endian; missing bytes read as 0xFF
        length = length << 8 | (i < n ? d[i] : 0xFFu);
    if (length > 1048576 - 40)
        return false;
    payload->assign(length, '\xFF');
    for (size_t i = 0; i < length && 40 + i < n; i++)
        (*payload)[i] = (char)d[40 + i];
    return true;
}

void fail(const char *what)
{
    fprintf(stderr, "fuzz_extract: %s\n", what);
    abort();
}

// Nothing but the input and the output may be left in the directory.
bool only_in_and_out()
{
    DIR *d = opendir(dir.c_str());
    int others = 0;
    if (d == nullptr)
        return false;
    for (dirent *e; (e = readdir(d)) != nullptr;) {
        const std::string n = e->d_name;
        others += n != "." && n != ".." && n != "in.bin" && n != "out.bin";
    }
    closedir(d);
    return others == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    dir = scratch_dir("swug-fuzz");
    if (dir.empty())
        fail("cannot make a scratch directory");
    in_path = dir + "/in.bin";
    out_path = dir + "/out.bin";
    atexit(clean_up);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!put(in_path, data, size))
        fail("cannot write the input");
    remove(out_path.c_str());

    char prog[] = "swug";
    char *argv[] = {prog, in_path.data(), out_path.data(), nullptr};
    func_args args = {3, argv, 0};
    in_cmd_mode = 1;
    int32_t result = generate_swug_bin(&args);

    // Kept across runs: a fresh megabyte each run costs more than the run.
    static std::string want, got;
    bool written = slurp(out_path, &got);
    if (!only_in_and_out())
        fail("left a file behind");
    if (model(data, size, &want)) {
        if (result != 1)
            fail("refused an image it should extract");
        if (!written || got != want)
            fail("wrong payload");
    } else {
        if (result != 0)
            fail("succeeded on an image it should refuse");
        if (written)
            fail("wrote an output on a refusal");
    }
    return 0;
}
