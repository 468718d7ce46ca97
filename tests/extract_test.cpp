// swugimg extract, and the release policies of check and extract, black-box:
// every refusal keeps the output as it was, extract agrees with check, and
// what it writes is what it judged, even while the image is being swapped.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "signing.h"

namespace {

std::string failed(const std::string &name, const std::string &reason)
{
    return name + ": FAILED (" + reason + ")\n";
}

struct Row {
    std::string name, prepare, options, image;  // options: sh words before the image
    int status;
    std::string reason;  // check's reason, or "" for OK
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

const std::string DIGEST = "$(sha256sum fw.img | cut -c1-64)";

std::vector<Row> rows()
{
    return {
        {"signed", SIGN_A, "-p a.pub", "fw.img", 0, ""},
        {"signed_legacy", SIGN_A_LEGACY, "-p a.pub", "fw.img", 0, ""},
        {"signify_elsewhere", "signify fw.img fw.sig", "-p s.pub -x fw.sig", "fw.img", 0, ""},
        {"without_a_key", "", "", "fw.img", 0, ""},
        {"every_policy_met", SIGN_A, "-p a.pub --sha256 " + DIGEST + " --marker 1 --min-version 1.0", "fw.img", 0, ""},
        {"digest_in_upper_case", "", "--sha256 $(sha256sum fw.img | cut -c1-64 | tr a-f A-F)", "fw.img", 0, ""},
        {"no_signature", "", "-p a.pub", "fw.img", 1, "no signature"},
        {"unknown_key", SIGN_B, "-p a.pub", "fw.img", 1, "unknown key"},
        {"payload_changed", SIGN_A + " && cp fw.img.minisig evil.img.minisig", "-p a.pub", "evil.img", 1,
         "signature mismatch"},
        {"trusted_comment_changed",
         SIGN_A + " && sed -i 's/^trusted comment: .*/trusted comment: release 9/' fw.img.minisig", "-p a.pub",
         "fw.img", 1, "trusted comment mismatch"},
        {"malformed", SIGN_A + " && sed -i 2d fw.img.minisig", "-p a.pub", "fw.img", 1, "malformed signature"},
        {"signed_but_short", "sign a short.img", "-p a.pub", "short.img", 1, "payload short by 1000 bytes"},
        {"signed_but_too_large", "sign a big.img", "-p a.pub", "big.img", 1, "larger than 1048576 bytes"},
        {"checksum", "", "", "bad.img", 1, "checksum mismatch"},
        {"sha256", "", "--sha256 " + std::string(64, '0'), "fw.img", 1, "sha256 mismatch"},
        {"marker", "", "--marker 0x02", "fw.img", 1, "marker mismatch"},
        {"version_too_old", "", "--min-version 1.1", "fw.img", 1, "version too old"},
        {"another_product", "", "--min-version 'QUILMO 1.0'", "fw.img", 1, "version not comparable"},
        {"signature_before_policy", SIGN_B, "-p a.pub --marker 2", "fw.img", 1, "unknown key"},
        {"structure_before_policy", "", "--marker 2", "bad.img", 1, "checksum mismatch"},
        {"sha256_before_marker", "", "--marker 2 --sha256 " + std::string(64, 'a'), "fw.img", 1, "sha256 mismatch"},
        {"signature_unreadable", "mkdir fw.img.minisig", "-p a.pub", "fw.img", 2,
         "cannot read signature: Is a directory"},
        {"image_missing", "", "", "missing.img", 2, "cannot open: No such file or directory"},
    };
}

class SwugimgExtract : public testing::TestWithParam<std::tuple<Row, Source>> {};

// extract with check's options: check's status and reason, the payload in
// out.bin exactly when check says OK, and otherwise every file as it was.
TEST_P(SwugimgExtract, AgreesWithCheck)
{
    const Row &row = std::get<0>(GetParam());
    NEEDS_TOOLS(std::get<1>(GetParam()));
    if (testing_windows() && row.name == "signature_unreadable")
        GTEST_SKIP() << "Windows gives another reason for a directory";
    Keys k(std::get<1>(GetParam()));
    k.box.put("bad.img", img(5000, PAYLOAD));
    k.box.put("out.bin", "keep");
    if (!row.prepare.empty()) {
        ASSERT_EQ(k.sh(row.prepare).status, 0) << row.prepare;
    }
    Tree want = k.box.tree();
    const Result checked = k.sh("$SWUGIMG check " + row.options + " " + row.image);
    EXPECT_EQ(checked.status, row.status) << checked.err;
    EXPECT_EQ(checked.out, row.reason.empty() ? row.image + ": OK\n" : failed(row.image, row.reason));

    const Result r = k.sh("$SWUGIMG extract " + row.options + " " + row.image + " out.bin");
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(r.out, "");
    if (row.status == 0) {
        EXPECT_EQ(r.err, "");
        want["out.bin"] = row.image == "fw.img" ? PAYLOAD : "";
    } else if (row.status == 1) {
        EXPECT_EQ(r.err, "swugimg: " + row.image + ": " + row.reason + "\n");
    } else {  // said as check says it, of the file that cannot be read
        EXPECT_NE(r.err.find(row.reason.substr(row.reason.rfind(": ")) + "\n"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(same_tree(k.box.tree(), want));
}

INSTANTIATE_TEST_SUITE_P(Reasons, SwugimgExtract, testing::Combine(testing::ValuesIn(rows()), testing::Values(CHECKED_IN, FRESH)),
                         [](const testing::TestParamInfo<std::tuple<Row, Source>> &i) {
                             return std::get<0>(i.param).name + "_" + source_name(std::get<1>(i.param));
                         });

// What the output rule does to extract's output, as to swug's: a new file,
// a replacement, an image extracted over itself, a folder that is not there.
TEST(SwugimgExtractOutput, WrittenByTheOutputRule)
{
    const struct {
        std::string args, changed;  // changed: the file that gets the payload
        int status;
        std::string err;
    } table[] = {
        {"fw.img new.bin", "new.bin", 0, ""},
        {"fw.img out.bin", "out.bin", 0, ""},
        {"-p a.pub fw.img fw.img", "fw.img", 0, ""},
        {"-- fw.img out.bin", "out.bin", 0, ""},
        {"fw.img nodir/out.bin", "", 1, "swugimg: nodir/out.bin: cannot write: No such file or directory\n"},
    };
    for (const auto &row : table) {
        Keys each(CHECKED_IN);
        ASSERT_EQ(each.sh(SIGN_A).status, 0);
        each.box.put("out.bin", "keep");
        Tree want = each.box.tree();
        if (!row.changed.empty())
            want[row.changed] = PAYLOAD;
        const Result r = each.sh("$SWUGIMG extract " + row.args);
        EXPECT_EQ(r.status, row.status) << row.args << "\n" << r.err;
        EXPECT_EQ(r.err, row.err) << row.args;
        EXPECT_TRUE(same_tree(each.box.tree(), want)) << row.args;
    }
}

// Versions are compared as GNU sort -V orders them, asked here of sort
// itself: an image is too old exactly when a stable sort -V puts it before
// the version asked for. Only within one product, the text before the first
// digit.
TEST(SwugimgPolicy, OldestVersionAsSortOrdersIt)
{
    if (!on_path("sort") || system("printf '1\\n2\\n' | sort -V -s >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs GNU sort with -V (Debian package coreutils)";
    const struct {
        std::string image, min;
        size_t payload = PAYLOAD.size();
    } pairs[] = {
        {"QUILMO SW 1.0.9", "QUILMO SW 1.0.10"}, {"QUILMO SW 1.0.10", "QUILMO SW 1.0.9"},
        {"QUILMO SW 1.0.3", "QUILMO SW 1.0.3"},  {"QUILMO SW 2.0", "QUILMO SW 10.0"},
        {"1.0", "1.0.0"},                        {"1.0.0", "1.0"},
        {"1.0~rc1", "1.0"},                      {"1.0", "1.0~rc1"},
        {"1.0a", "1.0"},                         {"1.0", "1.0a"},
        {"1.0.beta", "1.0"},                     {"1.0.beta", "1.0.1"},
        {"1.01", "1.1"},                         {"1.1", "1.01"},
        {"1.0-1", "1.0"},                        {"1.0+x", "1.0-x"},
        {"1.0b", "1.0B"},                        {"1.0.3.tar.gz", "1.0.3"},
        {"1.0_2", "1.0.2"},                      {"0001.2", "1.10"},
        {"v1.2.3~", "v1.2.3"},                   {"1.2.3.~", "1.2.3"},
        {"4294967296.0", "4294967295.9"},        {"1.0.99999999999999999999", "1.0.100000000000000000000"},
        // Each end of the letters, against its neighbours outside them.
        {"1.0@", "1.0A"}, {"1.0A", "1.0@"}, {"1.0Z", "1.0["}, {"1.0Z", "1.0a"}, {"1.0`", "1.0a"},
        {"1.0z", "1.0{"}, {"1.0{", "1.0z"}, {"1.0z", "1.0!"}, {"1.0!", "1.0z"}, {"1.0z", "1.0~"},
        {"1.0.Z", "1.0"}, {"1.0.z1", "1.0.z"}, {"1.0", "1.0.beta"}, {"1.10a", "1.9"}, {"1.9", "1.10a"},
        // A suffix holds letters, digits and '~' only: ".a-1" is none.
        {"1.a-1", "1-2"}, {"1-2", "1.a-1"},
        // One text ends where the other goes on with a digit, before and after
        // the suffixes are taken off.
        {"1.", "1.0"}, {"1.0.a", "1..x"},
        // A version of all 31 bytes ends there, though the length after it
        // (49: "1") is a digit.
        {"1." + std::string(29, '0'), "1.1", 49}, {"1." + std::string(29, '9'), "1." + std::string(29, '9') + "1", 49},
    };
    for (const auto &p : pairs) {
        Sandbox box;
        box.put("fw.img", sound_image(1, p.image, pattern(p.payload)));
        std::string program;
        for (const std::string &w : companion_command())
            program += w + " ";
        setenv("SWUGIMG", program.c_str(), 1);
        const std::string quoted = "'" + p.min + "'";
        const Result sorted = box.run_command({"sh", "-c", "printf '%s\\n%s\\n' " + quoted + " '" + p.image +
                                                              "' | sort -V -s | head -n 1"});
        const bool older = sorted.out == p.image + "\n" && p.image != p.min;
        for (const std::string verb : {"check", "extract"}) {
            const Result r = box.run_command(
                {"sh", "-c", "$SWUGIMG " + verb + " --min-version " + quoted + " fw.img " + (verb == "extract" ? "out.bin" : "")});
            EXPECT_EQ(r.status, older ? 1 : 0) << verb << " '" << p.image << "' against '" << p.min << "'\n" << r.err;
            if (older && verb == "check") {
                EXPECT_EQ(r.out, failed("fw.img", "version too old"));
            }
        }
    }
}

// Another product, or a version without a digit, is never compared.
TEST(SwugimgPolicy, VersionsOfAnotherProductAreNotComparable)
{
    const struct {
        std::string image, min;
        int status;
    } pairs[] = {
        {"QUILMO SW 1.0", "QUILMO SW 0.9", 0},
        {"QUILMO SW 1.0", "QUILMO HW 0.9", 1},
        {"QUILMO SW 1.0", "quilmo sw 0.9", 1},
        {"QUILMO SW 1.0", "QUILMO SW1.0", 1},
        {"QUILMO SW 1.0", "0.9", 1},
        {"release", "release 1", 1},
        {"", "1", 1},
        // All 31 bytes without a digit, and the bytes after them (the
        // length, 65: "A") like the text asked for: still another product.
        {std::string(31, 'A'), std::string(32, 'A') + "1", 1},
    };
    for (const auto &p : pairs) {
        Sandbox box;
        box.put("fw.img", sound_image(1, p.image, pattern(65)));
        std::vector<std::string> cmd = companion_command();
        cmd.insert(cmd.end(), {"check", "--min-version", p.min, "fw.img"});
        const Result r = box.run_command(cmd);
        EXPECT_EQ(r.status, p.status) << p.image << " against " << p.min;
        EXPECT_EQ(r.out, p.status == 0 ? "fw.img: OK\n" : failed("fw.img", "version not comparable")) << p.image;
    }
}

// Without a key no signature file is looked at, whatever it is: here a FIFO
// that nobody writes, which would wait forever.
TEST(SwugimgOptions, WithoutAKeyNoSignatureIsRead)
{
    if (testing_windows())
        GTEST_SKIP() << "a FIFO is a POSIX file";
    Keys k(CHECKED_IN);
    ASSERT_EQ(mkfifo((k.box.path() + "/fw.img.minisig").c_str(), 0644), 0);
    for (const std::string verb : {"check fw.img", "extract fw.img out.bin"}) {
        const Result r = k.sh("timeout 20 $SWUGIMG " + verb);
        EXPECT_EQ(r.status, 0) << verb << "\n" << r.err;
    }
    ASSERT_EQ(unlink((k.box.path() + "/fw.img.minisig").c_str()), 0);
}

// A signature over the image itself needs the whole image in memory, one
// image at a time: checking many such images takes no more memory than one.
TEST(SwugimgOptions, ManyImagesInBoundedMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's runtime needs more address space than the limit leaves";
#endif
    if (testing_windows())
        GTEST_SKIP() << "ulimit -v is a POSIX shell's";
    Keys k(CHECKED_IN);
    ASSERT_EQ(k.sh(SIGN_A_LEGACY + " && for i in $(seq 150); do cp fw.img $i.img; cp fw.img.minisig $i.img.minisig; "
                   "done").status, 0);
    const Result r = k.sh("ulimit -v 100000 && $SWUGIMG check -p a.pub $(seq -f %g.img 150) >out.txt; s=$?; "
                          "grep -c ': OK$' out.txt; exit $s");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "150\n");
}

// The options are read in one pass, in order: a value is never an option,
// the last of a single-value option counts, "-" is standard input wherever a
// file is named and is read once at most, and "./-" is a file of that name.
TEST(SwugimgOptions, OnePassInOrder)
{
    const struct {
        std::string script;
        int status;
        std::string out, err;  // err: what standard error must hold
    } table[] = {
        {"$SWUGIMG check -x -p -p a.pub fw.img", 1, "fw.img: FAILED (no signature)\n", ""},
        {"cp fw.img.minisig ./-p; $SWUGIMG check -x -p -p a.pub fw.img", 0, "fw.img: OK\n", ""},
        {"$SWUGIMG check -p a.pub -x - fw.img <fw.img.minisig", 0, "fw.img: OK\n", ""},
        {"$SWUGIMG check -p - fw.img <a.pub", 0, "fw.img: OK\n", ""},
        {"$SWUGIMG check -p a.pub -x fw.img.minisig - <fw.img", 0, "-: OK\n", ""},
        {"$SWUGIMG extract -p a.pub -x fw.img.minisig - out.bin <fw.img && cmp -s out.bin payload", 0, "", ""},
        {"cp fw.img ./-; $SWUGIMG check ./-", 0, "./-: OK\n", ""},
        {"$SWUGIMG check --marker 256 --marker 1 fw.img", 0, "fw.img: OK\n", ""},
        {"$SWUGIMG check --marker 1 --marker 256 fw.img", 2, "", "the marker is a number from 0 to 255"},
        {"$SWUGIMG check --min-version 9 --min-version 1 fw.img", 0, "fw.img: OK\n", ""},
        {"$SWUGIMG create -m 256 -m 2 payload new.img && $SWUGIMG check --marker 2 new.img", 0, "new.img: OK\n", ""},
        {"$SWUGIMG check -p a.pub - <fw.img", 2, "", "an image on standard input needs its signature given with -x"},
        {"$SWUGIMG check -p - -x - fw.img <a.pub", 2, "", "standard input can be read only once"},
        {"$SWUGIMG check - - <fw.img", 2, "", "standard input can be read only once"},
        {"$SWUGIMG check -p - -p - fw.img <a.pub", 2, "", "standard input can be read only once"},
        {"$SWUGIMG check --sha256 12ab fw.img", 2, "", "the digest is 64 hex digits"},
        {"$SWUGIMG check --sha256 " + std::string(63, 'a') + "g fw.img", 2, "", "the digest is 64 hex digits"},
        {"$SWUGIMG check --min-version '' fw.img", 2, "", "the version to compare with needs a digit"},
        {"$SWUGIMG check --min-version 'QUILMO SW' fw.img", 2, "", "the version to compare with needs a digit"},
        {"$SWUGIMG check --marker fw.img", 2, "", "check takes one image or more"},
        {"$SWUGIMG extract fw.img", 2, "", "extract takes an image and an output"},
        {"$SWUGIMG extract fw.img a b", 2, "", "extract takes an image and an output"},
        {"$SWUGIMG extract -x fw.img.minisig fw.img out.bin", 2, "", "-x needs a key"},
        {"$SWUGIMG extract -m 1 fw.img out.bin", 2, "", "unknown option"},
        {"$SWUGIMG create --marker 1 payload new.img", 2, "", "unknown option"},
        {"$SWUGIMG info --min-version 1 fw.img", 2, "", "unknown option"},
    };
    for (const auto &row : table) {
        Keys k(CHECKED_IN);
        k.box.put("payload", PAYLOAD);
        ASSERT_EQ(k.sh(SIGN_A).status, 0);
        const Result r = k.sh(row.script);
        EXPECT_EQ(r.status, row.status) << row.script << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << row.script;
        EXPECT_NE(r.err.find(row.err), std::string::npos) << row.script << "\n" << r.err;
        if (row.status == 2) {
            EXPECT_EQ(r.out, "") << row.script;
        }
    }
}

// --json: check's keys, then the output and whether it was written, read
// back by Python, with hashlib's digests.
TEST(SwugimgExtractJson, ReadBackByAParser)
{
    if (!on_path("python3"))
        GTEST_SKIP() << "needs python3 (Debian package python3)";
    Keys k(CHECKED_IN);
    ASSERT_EQ(k.sh(SIGN_A + " && cp fw.img.minisig evil.img.minisig").status, 0);
    const Result r = k.sh("for i in fw.img evil.img missing.img; do $SWUGIMG extract --json -p a.pub $i out-$i; done "
                          ">out.json");
    EXPECT_EQ(r.status, 2) << r.err;  // the last: missing.img
    const Result parsed = k.sh(
        "python3 -c \"\n"
        "import hashlib, json, os\n"
        "lines = open('out.json').read().split('\\n')\n"
        "assert len(lines) == 4 and lines[-1] == '', lines\n"
        "keys = ['name', 'verdict', 'fault', 'key_id', 'trusted_comment', 'sha256', 'marker', 'version', 'length',\n"
        "        'payload_sha256', 'output', 'written']\n"
        "for name, line in zip(['fw.img', 'evil.img', 'missing.img'], lines):\n"
        "    d = json.loads(line)\n"
        "    assert list(d) == keys, d\n"
        "    ok = name == 'fw.img'\n"
        "    assert d['name'] == name and d['output'] == 'out-' + name and d['written'] == ok, d\n"
        "    assert os.path.exists('out-' + name) == ok, d\n"
        "    if name == 'missing.img':\n"
        "        assert [d[k] for k in keys[3:10]] == [None] * 7, d\n"
        "        continue\n"
        "    data = open(name, 'rb').read()\n"
        "    assert d['sha256'] == hashlib.sha256(data).hexdigest(), d\n"
        "    assert d['payload_sha256'] == hashlib.sha256(data[40:]).hexdigest(), d\n"
        "    assert d['marker'] == 1 and d['version'] == '1.0' and d['length'] == len(data) - 40, d\n"
        "    if ok:\n"
        "        assert hashlib.sha256(open('out-fw.img', 'rb').read()).hexdigest() == d['payload_sha256']\n"
        "print('read')\n"
        "\"");
    EXPECT_EQ(parsed.status, 0) << parsed.err << k.box.tree()["out.json"].value_or("");
    EXPECT_EQ(parsed.out, "read\n");
}

// The image is read once: a helper keeps putting a signed and an unsigned
// image of the same size at fw.img, by rename and by rewriting it in place,
// while extract runs again and again. No run may pass with anything but the
// signed payload, and no refused run may leave an output.
TEST(SwugimgExtractRace, SwappedImagesNeverPass)
{
    if (testing_windows())
        GTEST_SKIP() << "the swapping helper is a POSIX shell loop";
    const struct {
        std::string name, swap;
    } helpers[] = {
        {"rename", "while :; do cp signed.img a.tmp; mv a.tmp fw.img; cp unsigned.img b.tmp; mv b.tmp fw.img; done"},
        {"in_place", "while :; do cat unsigned.img >fw.img; cat signed.img >fw.img; done"},
    };
    for (const auto &h : helpers) {
        Keys k(CHECKED_IN);
        std::string other = PAYLOAD;
        other[4000] ^= 0x55;
        k.box.put("unsigned.img", sound_image(1, "1.0", other));
        k.box.put("payload", PAYLOAD);
        ASSERT_EQ(k.sh(SIGN_A + " && cp fw.img signed.img").status, 0);
        const Result r = k.sh("(" + h.swap + ") & helper=$!; passed=0 refused=0 bad=0; i=0\n"
                              "while [ $i -lt 200 ]; do i=$((i + 1)); rm -f out.bin\n"
                              "  if $SWUGIMG extract -p a.pub fw.img out.bin 2>/dev/null; then\n"
                              "    if cmp -s out.bin payload; then passed=$((passed + 1)); else bad=$((bad + 1)); fi\n"
                              "  elif [ -e out.bin ] || ls .swug-* >/dev/null 2>&1; then bad=$((bad + 1))\n"
                              "  else refused=$((refused + 1)); fi\n"
                              "done; kill $helper; wait $helper 2>/dev/null\n"
                              "echo \"$passed $refused $bad\"");
        int passed = -1, refused = -1, bad = -1;
        ASSERT_EQ(sscanf(r.out.c_str(), "%d %d %d", &passed, &refused, &bad), 3) << r.out << r.err;
        EXPECT_EQ(bad, 0) << h.name;
        EXPECT_EQ(passed + refused, 200) << h.name;
        // Both outcomes happen, or the helper was not racing at all.
        EXPECT_GT(refused, 0) << h.name;
    }
}

}  // namespace
