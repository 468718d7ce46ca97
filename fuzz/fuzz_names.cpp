// Fuzzes the start-directory text and the argument names: the input is a byte
// for the argument count and the code page, then a directory text and two
// arguments, split by NULs.
// Every name must come out whole or be refused, never overflow.
#define main swug_main
#include "main.cpp"
#undef main

#include <stdlib.h>

#include <memory>
#include <string>

namespace {

void fail(const char *what)
{
    fprintf(stderr, "fuzz_names: %s\n", what);
    abort();
}

// Lead bytes of code page 932 (Shift JIS); the byte after one is never a
// separator. The input's first byte chooses this or a single-byte code page.
bool cp932_lead(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool single_byte(unsigned char)
{
    return false;
}

// Each run of backslashes becomes one '/', but a leading pair stays two, and
// a double-byte character stays whole.
std::string model_dir(const std::string &s, bool dbcs)
{
    std::string r;
    size_t i = 0;
    if (s.compare(0, 2, "\\\\") == 0) {
        r = "//";
        while (i < s.size() && s[i] == '\\')
            i++;
    }
    for (; i < s.size(); i++) {
        if (dbcs && cp932_lead((unsigned char)s[i]) && i + 1 < s.size()) {
            r += s.substr(i++, 2);
        } else if (s[i] != '\\') {
            r += s[i];
        } else {
            r += '/';
            while (i + 1 < s.size() && s[i + 1] == '\\')
                i++;
        }
    }
    return r;
}

// The name an argument stands for, or false when it must be refused.
bool model_name(const std::string &dir, const std::string &arg, std::string *name)
{
    if (arg.compare(0, 2, "./") == 0) {
        if (dir.empty())
            return false;
        *name = dir + "/" + arg.substr(2);
    } else {
        *name = arg;
    }
    return name->size() <= 299;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int argc = data[0] % 6;
    const bool dbcs = data[0] & 0x80;
    std::string field[3];
    size_t k = 0;
    for (size_t i = 1; i < size; i++) {
        if (data[i] == '\0' && k < 2)
            k++;
        else
            field[k] += (char)data[i];
    }
    // The system never reports a directory with a NUL in it or one that
    // does not fit the buffer.
    std::string dir = field[0].substr(0, PATH_CAPACITY - 1);
    dir = dir.substr(0, strlen(dir.c_str()));

    memset(work_dir, 0, sizeof work_dir);
    memcpy(work_dir, dir.data(), dir.size());
    normalise_separators(work_dir, dbcs ? cp932_lead : single_byte);
    dir = model_dir(dir, dbcs);
    if (dir != work_dir)
        fail("directory text");

    // Exactly sized buffers, so that a byte written past one is caught.
    std::unique_ptr<char[]> in(new char[PATH_CAPACITY]()), out(new char[PATH_CAPACITY]());
    std::string a1 = field[1].substr(0, strlen(field[1].c_str()));
    std::string a2 = field[2].substr(0, strlen(field[2].c_str()));
    char prog[] = "swug";
    char *argv[] = {prog, a1.data(), a2.data(), nullptr};
    func_args args = {argc, argv, 0};
    in_cmd_mode = 1;
    const int got = choose_names(&args, in.get(), out.get());

    std::string want_in, want_out;
    if (argc == 1) {
        want_in = "data/QUILMO_SW.bin";
        want_out = "out/QUILMO_UPGRADE_SW.bin";
    } else if (argc != 3 || !model_name(dir, a1, &want_in) || !model_name(dir, a2, &want_out)) {
        if (got != 0)
            fail("accepted names that must be refused");
        return 0;
    }
    if (got != 1)
        fail("refused names that fit");
    if (want_in != in.get() || want_out != out.get())
        fail("wrong name");
    return 0;
}
