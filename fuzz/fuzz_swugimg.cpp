// Fuzzes swugimg against swug and against a model of its own. The first byte
// chooses: even, the rest is a payload that create must turn into an image
// that check passes and swug gives back whole; odd, the rest is an image whose
// verdict from check must match the model, and which extract, with the same
// policy as check, writes exactly when check passes it, and writes whole.
#define main swug_main
#include "main.cpp"
#undef main

#include <stdlib.h>
#include <unistd.h>

#include <sodium.h>

#include <string>
#include <vector>

#include "files.h"
#include "swugimg.h"

namespace {

std::string dir, in_path, img_path, out_path;

void clean_up()
{
    remove(in_path.c_str());
    remove(img_path.c_str());
    remove(out_path.c_str());
    rmdir(dir.c_str());
}

void fail(const char *what)
{
    fprintf(stderr, "fuzz_swugimg: %s\n", what);
    abort();
}

// Runs swugimg's main as the program would run. It closes standard output at
// its end, so each run gets a fresh one; the verdicts are the status, and the
// text would only flood the log.
int swugimg(std::vector<std::string> args)
{
    stdout = fopen("/dev/null", "w");  // glibc's stdout is a plain variable
    if (stdout == nullptr)
        fail("cannot open /dev/null");
    std::vector<char *> argv = {const_cast<char *>("swugimg")};
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return swugimg_main((int)argv.size() - 1, argv.data());
}

uint32_t field(const uint8_t *d, size_t at)
{
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | (uint32_t)d[at + 3] << 24;
}

// Sound: a whole header, at most a megabyte, the whole payload present and
// within the record, and the stored checksum that of the payload.
bool model_sound(const uint8_t *d, size_t n)
{
    if (n < 40 || n > 1048576)
        return false;
    const uint32_t length = field(d, 32);
    if (length > 1048536 || n - 40 < length)
        return false;
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i++)
        sum += (uint32_t)d[40 + i] << (8 * (i % 4));
    return sum == field(d, 36);
}

// A policy for check and extract alike, chosen by the bits of `choice`:
// none, a marker, an oldest version, or a digest (the image's own or not).
std::vector<std::string> policy(uint8_t choice, const uint8_t *d, size_t n)
{
    switch (choice >> 1 & 3) {
    case 1:
        return {"--marker", std::to_string(choice >> 3)};
    case 2:
        return {"--min-version", "TEST 0." + std::to_string(choice >> 3)};
    case 3: {
        uint8_t digest[crypto_hash_sha256_BYTES];
        char text[2 * sizeof digest + 1];
        crypto_hash_sha256(digest, d, n);
        digest[0] ^= choice >> 7;
        sodium_bin2hex(text, sizeof text, digest, sizeof digest);
        return {"--sha256", text};
    }
    default:
        return {};
    }
}

void judge_and_extract(uint8_t choice, const uint8_t *d, size_t n)
{
    std::vector<std::string> check = {"check"}, extract = {"extract"};
    const std::vector<std::string> p = policy(choice, d, n);
    check.insert(check.end(), p.begin(), p.end());
    extract.insert(extract.end(), p.begin(), p.end());
    check.push_back(img_path);
    extract.insert(extract.end(), {img_path, out_path});
    remove(out_path.c_str());
    const int checked = swugimg(check), extracted = swugimg(extract);
    static std::string got;
    const bool wrote = slurp(out_path, &got);
    if (extracted != checked || wrote != (checked == 0))
        fail("extract and check disagree");
    if (wrote && got != std::string((const char *)d + 40, field(d, 32)))
        fail("extract wrote another payload");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    dir = scratch_dir("swugimg-fuzz");
    if (dir.empty())
        fail("cannot make a scratch directory");
    in_path = dir + "/in.bin";
    img_path = dir + "/img.bin";
    out_path = dir + "/out.bin";
    atexit(clean_up);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t *rest = data + 1;
    const size_t n = size - 1;

    if (data[0] % 2 == 1) {
        if (!put(img_path, rest, n))
            fail("cannot write the image");
        if (swugimg({"check", img_path}) != (model_sound(rest, n) ? 0 : 1))
            fail("check disagrees with the model");
        judge_and_extract(data[0], rest, n);
        return 0;
    }

    if (!put(in_path, rest, n))
        fail("cannot write the payload");
    remove(img_path.c_str());
    const int created = swugimg({"create", "-m", std::to_string(data[0]), "-v", "fuzz", in_path, img_path});
    if (n > 1048536) {
        if (created != 1 || access(img_path.c_str(), F_OK) == 0)
            fail("created an image of a payload too large");
        return 0;
    }
    if (created != 0)
        fail("create failed");
    if (swugimg({"check", img_path}) != 0)
        fail("check refused a created image");

    char prog[] = "swug";
    char *argv[] = {prog, img_path.data(), out_path.data(), nullptr};
    func_args args = {3, argv, 0};
    in_cmd_mode = 1;
    static std::string got;
    if (generate_swug_bin(&args) != 1 || !slurp(out_path, &got) || got != std::string((const char *)rest, n))
        fail("swug did not give the payload back");
    return 0;
}
