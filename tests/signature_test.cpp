// swugimg check with release keys, black-box. Every case runs on the keys
// and signatures checked in under tests/signatures, which minisign and
// signify-openbsd made (tests/signatures/make), and again on keys the real
// tools make afresh in the case's sandbox where they are installed. Digests
// are checked against Python's hashlib.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "signing.h"

namespace {

// Rewrites the algorithm of the signature in line 2 of fw.img.minisig.
const std::string ALGORITHM_EX =
    "python3 -c \"import base64; l = open('fw.img.minisig').read().split('\\n'); "
    "b = bytearray(base64.b64decode(l[1])); b[1] = ord('X'); l[1] = base64.b64encode(b).decode(); "
    "open('fw.img.minisig', 'w').write('\\n'.join(l))\"";

struct Row {
    std::string name, prepare, check;  // check: the arguments after "check", as sh words
    int status;
    std::string out;  // standard output
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

std::string failed(const std::string &name, const std::string &reason)
{
    return name + ": FAILED (" + reason + ")\n";
}

// Appends empty lines to file $1 until it is $2 bytes long.
const std::string PAD = "pad() { n=$(wc -c <\"$1\"); head -c $(($2 - n)) /dev/zero | tr '\\0' '\\n' >>\"$1\"; }; ";

// $1 times "-p $2 ".
const std::string KEYS = "keys() { for i in $(seq \"$1\"); do printf -- '-p %s ' \"$2\"; done; }; ";

std::vector<Row> rows()
{
    const std::string ok = "fw.img: OK\n", malformed = failed("fw.img", "malformed signature");
    return {
        // Every format the tools write.
        {"minisign_hashed", SIGN_A, "-p a.pub fw.img", 0, ok},
        {"minisign_legacy", SIGN_A_LEGACY, "-p a.pub fw.img", 0, ok},
        {"signify", SIGNIFY, "-p s.pub fw.img", 0, ok},
        {"signify_elsewhere", "signify fw.img fw.sig", "-p s.pub -x fw.sig fw.img", 0, ok},
        {"signify_with_empty_lines_after", SIGNIFY + " && printf '\\n\\n' >>fw.img.minisig", "-p s.pub fw.img", 0, ok},
        {"key_as_text", SIGN_A, "-P \"$(sed -n 2p a.pub)\" fw.img", 0, ok},
        {"saved_on_windows", SIGN_A + " && sed -i 's/$/\\r/' fw.img.minisig a.pub", "-p a.pub fw.img", 0, ok},
        // While keys are rotated, either may have signed.
        {"rotation_old_key", SIGN_A, "-p b.pub -p a.pub fw.img", 0, ok},
        {"rotation_new_key", SIGN_B, "-p a.pub -p s.pub -p b.pub fw.img", 0, ok},
        {"saved_with_a_byte_order_mark",
         SIGN_A + " && for f in fw.img.minisig a.pub; do printf '\\357\\273\\277' | cat - $f >t && mv t $f; done",
         "-p a.pub fw.img", 0, ok},
        {"untrusted_comments_empty", SIGN_A + " && sed -i '1s/.*/untrusted comment: /' fw.img.minisig a.pub",
         "-p a.pub fw.img", 0, ok},
        {"no_key_no_signature_judged", SIGN_A + " && sed -i 2d fw.img.minisig", "fw.img", 0, ok},
        // Each reason.
        {"no_signature", "", "-p a.pub fw.img", 1, failed("fw.img", "no signature")},
        {"no_signature_below_a_file", "", "-p a.pub -x fw.img/sig fw.img", 1, failed("fw.img", "no signature")},
        {"unknown_key", SIGN_B, "-p a.pub -p s.pub fw.img", 1, failed("fw.img", "unknown key")},
        {"signify_unknown_key", SIGNIFY, "-p a.pub fw.img", 1, failed("fw.img", "unknown key")},
        {"payload_changed", SIGN_A + " && cp fw.img.minisig evil.img.minisig", "-p a.pub evil.img", 1,
         failed("evil.img", "signature mismatch")},
        {"version_changed", SIGN_A + " && cp fw.img.minisig v2.img.minisig", "-p a.pub v2.img", 1,
         failed("v2.img", "signature mismatch")},
        {"legacy_payload_changed", SIGN_A_LEGACY + " && cp fw.img.minisig evil.img.minisig", "-p a.pub evil.img", 1,
         failed("evil.img", "signature mismatch")},
        {"signify_payload_changed", SIGNIFY + " && cp fw.img.minisig evil.img.minisig", "-p s.pub evil.img", 1,
         failed("evil.img", "signature mismatch")},
        {"trusted_comment_changed", SIGN_A + " && sed -i 's/^trusted comment: .*/trusted comment: release 9/' fw.img.minisig",
         "-p a.pub fw.img", 1, failed("fw.img", "trusted comment mismatch")},
        {"legacy_trusted_comment_changed",
         SIGN_A_LEGACY + " && sed -i 's/^trusted comment: .*/trusted comment: release 9/' fw.img.minisig",
         "-p a.pub fw.img", 1, failed("fw.img", "trusted comment mismatch")},
        {"bad_base64", SIGN_A + " && sed -i '2s/^./!/' fw.img.minisig", "-p a.pub fw.img", 1, malformed},
        {"wrong_length", SIGN_A + " && sed -i '2s/....$//' fw.img.minisig", "-p a.pub fw.img", 1, malformed},
        {"unknown_algorithm", SIGN_A + " && " + ALGORITHM_EX, "-p a.pub fw.img", 1, malformed},
        {"signature_line_missing", SIGN_A + " && sed -i '2,$d' fw.img.minisig", "-p a.pub fw.img", 1, malformed},
        {"untrusted_comment_missing", SIGN_A + " && sed -i 1d fw.img.minisig", "-p a.pub fw.img", 1, malformed},
        {"global_signature_missing", SIGN_A + " && sed -i 4d fw.img.minisig", "-p a.pub fw.img", 1, malformed},
        {"hashed_without_trusted_comment", SIGN_A + " && sed -i '3,4d' fw.img.minisig", "-p a.pub fw.img", 1,
         malformed},
        {"empty", ": >fw.img.minisig", "-p a.pub fw.img", 1, malformed},
        {"oversized", "", "-p a.pub -x big.sig fw.img", 1, malformed},
        {"endless", "", "-p a.pub -x /dev/zero fw.img", 1, malformed},
        // Key and signature files are read up to 16384 bytes, and up to 64 keys.
        {"signature_of_the_largest_size", SIGN_A + " && " + PAD + "pad fw.img.minisig 16384", "-p a.pub fw.img", 0, ok},
        {"signature_past_the_largest_size", SIGN_A + " && " + PAD + "pad fw.img.minisig 16385", "-p a.pub fw.img", 1,
         malformed},
        {"key_of_the_largest_size", SIGN_A + " && " + PAD + "pad a.pub 16384", "-p a.pub fw.img", 0, ok},
        // IMAGE.minisig must fit the 4096 bytes of a name: an image named in
        // 4088 bytes gives one of 4096, which is one too many.
        {"signature_name_too_long", SIGN_A, "-p a.pub ." + std::string(4081, '/') + "fw.img", 2,
         failed("." + std::string(4081, '/') + "fw.img", "cannot read signature: File name too long")},
        {"as_many_keys_as_allowed", SIGN_A, "$(" + KEYS + "keys 63 b.pub) -p a.pub fw.img", 0, ok},
        {"unreadable", "mkdir fw.img.minisig", "-p a.pub fw.img", 2,
         failed("fw.img", "cannot read signature: Is a directory")},
        // The order: the image first, then the signature, then the structure.
        {"image_unreadable_first", "", "-p a.pub missing.img", 2,
         failed("missing.img", "cannot open: No such file or directory")},
        {"signed_but_short", "sign a short.img", "-p a.pub short.img", 1,
         failed("short.img", "payload short by 1000 bytes")},
        {"signed_but_too_large", "sign a big.img", "-p a.pub big.img", 1,
         failed("big.img", "larger than 1048576 bytes")},
        {"every_image_judged", SIGN_A, "-p a.pub fw.img v2.img fw.img", 1,
         ok + failed("v2.img", "no signature") + ok},
        // Each image's trusted comment is its own, whatever the one before held.
        {"comments_of_two_lengths", "sign a v2.img && " + SIGN_A, "-p a.pub v2.img fw.img", 0, "v2.img: OK\n" + ok},
    };
}

class SwugimgSignature : public testing::TestWithParam<std::tuple<Row, Source>> {};

TEST_P(SwugimgSignature, Verdict)
{
    const Row &row = std::get<0>(GetParam());
    NEEDS_TOOLS(std::get<1>(GetParam()));
    if (testing_windows() && row.name == "endless")
        GTEST_SKIP() << "/dev/zero is a POSIX device";
    if (testing_windows() && row.name == "signature_name_too_long")
        GTEST_SKIP() << "Windows names are limited otherwise";
    Keys k(std::get<1>(GetParam()));
    if (!row.prepare.empty()) {
        ASSERT_EQ(k.sh(row.prepare).status, 0) << row.prepare;
    }
    const Tree before = k.box.tree();
    const Result r = k.sh("$SWUGIMG check " + row.check);
    EXPECT_EQ(r.status, row.status) << r.err;
    if (testing_windows() && row.name == "unreadable")  // Windows gives another reason
        EXPECT_EQ(r.out.rfind("fw.img: FAILED (cannot read signature: ", 0), 0u) << r.out;
    else
        EXPECT_EQ(r.out, row.out);
    EXPECT_TRUE(same_tree(k.box.tree(), before));
}

INSTANTIATE_TEST_SUITE_P(Formats, SwugimgSignature, testing::Combine(testing::ValuesIn(rows()), testing::Values(CHECKED_IN, FRESH)),
                         [](const testing::TestParamInfo<std::tuple<Row, Source>> &i) {
                             return std::get<0>(i.param).name + "_" + source_name(std::get<1>(i.param));
                         });

// A key that cannot be had is a usage error, before any image is judged:
// status 2, a message naming it, and nothing on standard output.
class SwugimgSignatureUsage : public testing::TestWithParam<Source> {};

TEST_P(SwugimgSignatureUsage, BadKeysAndOptions)
{
    NEEDS_TOOLS(GetParam());
    const struct {
        std::string check, message;
    } table[] = {
        {"-p missing.pub fw.img", "missing.pub: cannot read"},
        {"-p fw.img fw.img", "fw.img: not a public key"},
        {"-p a.sec fw.img", "a.sec: not a public key"},
        {"-p fw.img.minisig fw.img", "fw.img.minisig: not a public key"},
        {"-p big.sig fw.img", "big.sig: not a public key"},
        {"-P garbage fw.img", "garbage: not a public key"},
        {"-p commentless.pub fw.img", "commentless.pub: not a public key"},
        {"-P \"$(sed -n 1p a.pub)\" fw.img", "not a public key"},
        {"-p a.pub -p missing.pub fw.img", "missing.pub: cannot read"},
        {"-x fw.img.minisig fw.img", "-x needs a key"},
        {"-p a.pub -x fw.img.minisig fw.img v2.img", "-x takes one image"},
        {"-p a.pub", "check takes one image or more"},
        {"-p", "an option lacks its value"},
        {"-p long.pub fw.img", "long.pub: not a public key"},
        {"-p other-algorithm.pub fw.img", "other-algorithm.pub: not a public key"},
        {"-p more-after.pub fw.img", "more-after.pub: not a public key"},
        {"$(" + KEYS + "keys 65 a.pub) fw.img", "too many keys"},
    };
    Keys k(GetParam());
    ASSERT_EQ(k.sh(SIGN_A + " && { echo 'a key:'; sed -n 2p a.pub; } >commentless.pub && cp a.pub long.pub && " + PAD +
                   "pad long.pub 16385 && { cat a.pub; echo more; } >more-after.pub && "
                   "python3 -c \"import base64; l = open('a.pub').read().split('\\n'); "
                   "b = bytearray(base64.b64decode(l[1])); b[1] = ord('X'); l[1] = base64.b64encode(b).decode(); "
                   "open('other-algorithm.pub', 'w').write('\\n'.join(l))\"")
                  .status,
              0);
    const Tree before = k.box.tree();
    for (const auto &row : table) {
        const Result r = k.sh("$SWUGIMG check " + row.check);
        EXPECT_EQ(r.status, 2) << row.check;
        EXPECT_EQ(r.out, "") << row.check;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << row.check << ": " << r.err;
    }
    EXPECT_TRUE(same_tree(k.box.tree(), before));
}

// --json: a JSON line for every image, read back by Python, whose digests
// are hashlib's, whose key id is the one minisign printed for the key, and
// whose names come back as the bytes they were, whatever they hold. The
// checked-in key a has an id with a leading zero digit, which older
// minisign prints without.
class SwugimgSignatureJson : public testing::TestWithParam<Source> {};

TEST_P(SwugimgSignatureJson, ReadBackByAParser)
{
    NEEDS_TOOLS(GetParam());
    Keys k(GetParam());
    std::vector<std::string> names = {"fw.img", "v2.img", "evil.img", "missing.img", "big.img"};
    if (!testing_windows()) {
        // Names no line could hold raw: a newline, a quote and a backslash,
        // bytes that are not UTF-8, and one that merely spells an escape.
        // And UTF-8 at the edges of each length, valid and not: U+0080,
        // U+07FF, U+0800, U+D7FF, U+E000, U+FFFF, U+10000, U+10FFFF; then an
        // overlong form, a surrogate, past U+10FFFF, and a sequence cut short.
        for (const std::string n :
             {"new\nline.img", "q\"uo\\te.img", "bad\xff\xfe.img", "bad\\udcff.img", "\xc3\xa9.img",
              "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf.img",
              "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf.img", "\xc0\xaf\xe0\x80\xaf.img", "\xed\xa0\x80.img",
              "\xf4\x90\x80\x80.img", "\xe2\x82.img"}) {
            names.push_back(n);
            k.box.put(n, sound_image(1, "1.0", PAYLOAD));
        }
    }
    ASSERT_EQ(k.sh(SIGN_A + " && cp fw.img.minisig evil.img.minisig && sign a big.img").status, 0);
    std::string args;
    for (const std::string &n : names)
        args += " '" + n + "'";
    const Result r = k.sh("$SWUGIMG check --json -p b.pub -p a.pub" + args + " >out.json");
    EXPECT_EQ(r.status, 2) << r.err;  // missing.img cannot be read
    k.box.put("names", [&] {
        std::string all;
        for (const std::string &n : names)
            all += n + '\0';
        return all;
    }());
    const Result parsed = k.sh("python3 \"$FIXTURES/../signature_json.py\" names out.json a.pub");
    EXPECT_EQ(parsed.status, 0) << parsed.err << k.box.tree()["out.json"].value_or("");
    EXPECT_EQ(parsed.out, std::to_string(names.size()) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Keys, SwugimgSignatureUsage, testing::Values(CHECKED_IN, FRESH),
                         [](const testing::TestParamInfo<Source> &i) { return source_name(i.param); });
INSTANTIATE_TEST_SUITE_P(Keys, SwugimgSignatureJson, testing::Values(CHECKED_IN, FRESH),
                         [](const testing::TestParamInfo<Source> &i) { return source_name(i.param); });

}  // namespace
