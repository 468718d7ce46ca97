// What the command line cannot reach: the checksum, and the start-directory
// text with Windows-style input. The program's file is compiled in whole, so
// its private functions are at hand.
#define main swug_main
#include "main.cpp"
#undef main

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

uint32_t crc_of(const std::string &payload)
{
    memcpy(swug_img.sw_bin, payload.data(), payload.size());
    swug_img.sw_str.length = (uint32_t)payload.size();
    generate_CRC();
    return swug_img.sw_str.CRC;
}

std::string bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i * 31 + seed + i / 253);
    return s;
}

TEST(Checksum, KnownValues)
{
    EXPECT_EQ(crc_of(""), 0u);
    EXPECT_EQ(crc_of("abc"), 0x00636261u);
    EXPECT_EQ(crc_of("\x01\x02\x03\x04\x05"), 0x04030206u);
    EXPECT_EQ(crc_of("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"), 0xFFFFFFFEu);  // wraps modulo 2^32
}

TEST(Checksum, EqualsWordSumAcrossBlocks)
{
    for (size_t n : {1u, 3u, 4u, 5u, 511u, 512u, 513u, 1024u, 1027u, BODY_CAPACITY}) {
        const std::string s = bytes(n, (unsigned)n);
        EXPECT_EQ(crc_of(s), word_sum(s)) << n;
    }
}

TEST(Checksum, BlockRunsFromGivenValue)
{
    const uint8_t abc[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    EXPECT_EQ(generate_CRC_512(abc, 3, 1), 0x00636262u);
    EXPECT_EQ(generate_CRC_512(abc, 4, 0), 0x64636261u);
    EXPECT_EQ(generate_CRC_512(abc, 8, 0), 0x64636261u + 0x68676665u);
    EXPECT_EQ(generate_CRC_512(abc, 0, 7), 7u);
    EXPECT_EQ(generate_CRC_512(abc, -1, 7), 7u);
}

// A length beyond the body stops at its end: the fill the record holds after
// an extraction reads as length 0xFFFFFFFF.
TEST(Checksum, LengthBeyondBodyStopsAtItsEnd)
{
    const std::string body = bytes(BODY_CAPACITY, 5);
    memcpy(swug_img.sw_bin, body.data(), body.size());
    memset(swug_img.reserved, 0x11, sizeof swug_img.reserved);
    swug_img.sw_str.length = 0xFFFFFFFF;
    generate_CRC();
    EXPECT_EQ(swug_img.sw_str.CRC, word_sum(body));
}

TEST(Checksum, SampleImageCarriesItsChecksum)
{
    std::ifstream f(SWUG_SOURCE_DIR "/data/QUILMO_SW.bin", std::ios::binary);
    const std::string image(std::istreambuf_iterator<char>(f), {});
    ASSERT_GT(image.size(), 40u);
    const uint8_t *h = (const uint8_t *)image.data();
    ASSERT_EQ(le32(h + 32), image.size() - 40);
    EXPECT_EQ(crc_of(image.substr(40)), le32(h + 36));
}

// Lead bytes of code page 932 (Shift JIS), whose second bytes include 0x5C.
bool cp932_lead(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool single_byte(unsigned char)
{
    return false;
}

TEST(StartDirectory, BackslashesBecomeOneSlash)
{
    const std::pair<const char *, const char *> table[] = {
        {"C:\\fw\\tools", "C:/fw/tools"},
        {"C:\\", "C:/"},
        {"\\\\srv\\share", "//srv/share"},       // a share keeps its leading pair
        {"\\\\srv\\share\\\\x", "//srv/share/x"},  // and only that pair
        {"\\\\\\srv", "//srv"},
        {"\\fw", "/fw"},
        {"Z:\\tmp\\\\\\x\\", "Z:/tmp/x/"},
        {"/home/u/fw", "/home/u/fw"},
        {"a/\\b", "a//b"},
        {"", ""},
    };
    for (const auto &[in, want] : table) {
        char s[PATH_CAPACITY];
        strcpy(s, in);
        normalise_separators(s, single_byte);
        EXPECT_STREQ(s, want) << in;
    }
}

// In Shift JIS the second byte of some characters is 0x5C: \x95\x5C is the
// first character of the word for "display", \x83\x5C that of "software".
TEST(StartDirectory, DoubleByteCharactersKeepTheirSecondByte)
{
    const std::pair<const char *, const char *> table[] = {
        {"C:\\\x95\x5C\x8E\xA6", "C:/\x95\x5C\x8E\xA6"},
        {"C:\\\x83\x5C\x83\x74\x83\x67\\in", "C:/\x83\x5C\x83\x74\x83\x67/in"},
        {"C:\\\x83\x5C\\\\x", "C:/\x83\x5C/x"},  // the real separators still fold
        {"\\\\srv\\\x95\x5C", "//srv/\x95\x5C"},
        {"C:\\\x95", "C:/\x95"},  // a lead byte at the very end stands alone
    };
    for (const auto &[in, want] : table) {
        char s[PATH_CAPACITY];
        strcpy(s, in);
        normalise_separators(s, cp932_lead);
        EXPECT_STREQ(s, want) << in;
    }
}

TEST(StartDirectory, Resolution)
{
    struct Row {
        const char *dir, *arg, *want;  // want nullptr: refused
    };
    const Row table[] = {
        {"C:/fw/tools", "./in.bin", "C:/fw/tools/in.bin"},
        {"C:/fw/tools", "./out/p.bin", "C:/fw/tools/out/p.bin"},
        {"C:/", "./in.bin", "C://in.bin"},
        {"C:/fw", "./", "C:/fw/"},
        {"C:/fw", "in.bin", "in.bin"},
        {"C:/fw", ".\\in.bin", ".\\in.bin"},
        {"C:/fw", "../in.bin", "../in.bin"},
        {"C:/fw", ".", "."},
        {"C:/fw", ".//x", "C:/fw//x"},
        {"", "./in.bin", nullptr},
        {"", "in.bin", "in.bin"},
    };
    for (const Row &r : table) {
        char dest[PATH_CAPACITY] = {0};
        strcpy(work_dir, r.dir);
        ASSERT_EQ(resolve_name(r.arg, dest), r.want != nullptr) << r.dir << " + " << r.arg;
        if (r.want != nullptr) {
            EXPECT_STREQ(dest, r.want);
        }
    }
}

TEST(StartDirectory, ResolvedNameMustFit)
{
    char dest[PATH_CAPACITY];
    strcpy(work_dir, std::string(100, 'w').c_str());
    EXPECT_TRUE(resolve_name(("./" + std::string(198, 'n')).c_str(), dest));  // 100 + 1 + 198
    EXPECT_EQ(strlen(dest), 299u);
    EXPECT_FALSE(resolve_name(("./" + std::string(199, 'n')).c_str(), dest));
    EXPECT_TRUE(resolve_name(std::string(299, 'n').c_str(), dest));
    EXPECT_FALSE(resolve_name(std::string(300, 'n').c_str(), dest));
}

}  // namespace

namespace {

// A kernel attribute file claims a size of a whole page and reads a line, so
// it reads shorter than its size. One that reads at least `least` bytes, or
// nullptr where there is none.
const char *short_read_file(size_t least = 1)
{
    const char *candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/uevent_seqnum",
                                "/sys/power/state", "/sys/kernel/profiling", "/sys/devices/system/cpu/modalias"};
    for (const char *c : candidates) {
        FILE *f = fopen(c, "rb");
        if (f == nullptr)
            continue;
        long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
        fseek(f, 0, SEEK_SET);
        size_t got = fread(swug_img.sw_bin, 1, BODY_CAPACITY, f);
        fclose(f);
        if (size > 0 && got < (size_t)size && got >= least)
            return c;
    }
    return nullptr;
}

// A file that reads shorter than its size must fail, not pass with the fill
// in place of the missing bytes.
TEST(ReadBin, ShortReadFails)
{
    const char *fn = short_read_file();
    if (fn == nullptr)
        GTEST_SKIP() << "no file here reads shorter than its size";
    in_cmd_mode = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_bin(fn, swug_img.sw_bin, BODY_CAPACITY), 0);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find(std::string("Read file ") + fn + " failed\n"), std::string::npos) << said;
}

}  // namespace

namespace {

// The record must read as all fill before any extraction, and again after
// one, whatever was written into it in between.
bool all_fill(const void *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (((const uint8_t *)p)[i] != IMAGE_FILL)
            return false;
    return true;
}

bool record_is_fill()
{
    return all_fill(&swug_img.sw_str, sizeof swug_img.sw_str) &&
           all_fill(swug_img.sw_bin, sizeof swug_img.sw_bin) &&
           all_fill(swug_img.reserved, sizeof swug_img.reserved);
}

// Taken before main, so before any test writes into the record.
const bool filled_at_start = record_is_fill();

TEST(Record, FilledBeforeEveryRead)
{
    EXPECT_TRUE(filled_at_start);

    memset(&swug_img, 0x5A, sizeof swug_img);
    written_end = BODY_CAPACITY;  // as a read that wrote all of it would leave it
    fill_record();
    EXPECT_TRUE(record_is_fill());
}

// A process that extracts twice (as the fuzz entry does) pads the second
// payload with the fill, not with what the first image left in the record.
TEST(Record, SecondExtractionPadsWithTheFill)
{
    Sandbox box;
    const std::string in = box.path() + "/in.bin", out = box.path() + "/out.bin";
    char prog[] = "swug";
    char *argv[] = {prog, (char *)in.c_str(), (char *)out.c_str(), nullptr};
    func_args args = {3, argv, 0};
    in_cmd_mode = 1;

    const char *short_file = short_read_file(640);
    const struct {
        std::string image, payload;
        bool fails_to_read;  // in.bin is a file that reads shorter than its size
    } runs[] = {
        {img(BODY_CAPACITY - HEADER_SIZE, std::string(BODY_CAPACITY - HEADER_SIZE, '\x5A')),
         std::string(BODY_CAPACITY - HEADER_SIZE, '\x5A'), false},
        {"", "", false},  // refused: the record must be filled all the same
        {img(70000, "ab"), "ab" + fill(69998), false},
        // A read that fails after it wrote 640 bytes or more, then an image
        // of 36 bytes whose payload is all padding over them.
        {"", "", true},
        {img(600, "").substr(0, 36), fill(600), false},
        {img(BODY_CAPACITY - HEADER_SIZE, ""), fill(BODY_CAPACITY - HEADER_SIZE), false},
    };
    for (const auto &r : runs) {
        std::filesystem::remove(in);
        if (r.fails_to_read && short_file == nullptr)
            continue;  // no such file here; ReadBin.ShortReadFails says so
        if (r.fails_to_read)
            std::filesystem::create_symlink(short_file, in);
        else
            box.put("in.bin", r.image);
        std::filesystem::remove(out);
        EXPECT_EQ(generate_swug_bin(&args), r.image.empty() ? 0 : 1) << r.image.size();
        if (!r.image.empty()) {
            EXPECT_TRUE(same_content(box.tree()["out.bin"], r.payload)) << r.image.size();
        }
    }
    fill_record();
    EXPECT_TRUE(record_is_fill());
}

}  // namespace
