// Release keys for the black-box cases of swugimg: the keys and signatures
// checked in under tests/signatures, which minisign and signify-openbsd made
// (tests/signatures/make), or keys the real tools make afresh.
#ifndef SWUG_SIGNING_H
#define SWUG_SIGNING_H

#include <stdlib.h>

#include <string>

#include "harness.h"

inline const std::string PAYLOAD = pattern(5000);

// Where the keys and signatures come from.
enum Source { CHECKED_IN, FRESH };

inline std::string source_name(Source s) { return s == FRESH ? "fresh" : "checked_in"; }

#define NEEDS_TOOLS(source)                                                                                  \
    do {                                                                                                     \
        if (!on_path("python3"))                                                                                \
            GTEST_SKIP() << "needs python3 (Debian package python3)";                                        \
        if ((source) == FRESH && (!on_path("minisign") || !on_path("signify-openbsd")))                            \
            GTEST_SKIP() << "fresh keys need minisign and signify-openbsd (Debian packages of those names)"; \
    } while (0)

// A sandbox holding fw.img, a sound image; two minisign keys, a and b; a
// signify key, s; and variants of the image. Scripts run by sh there find
// swugimg in $SWUGIMG, and sign with two functions that either run the
// tools or copy what they made before:
//   sign KEY IMAGE        IMAGE.minisig by key a, b or a.legacy (minisign -l);
//                         v2.img by key a only, with a longer trusted comment
//   signify IMAGE FILE    FILE by key s
struct Keys {
    Sandbox box;
    Source source;

    explicit Keys(Source s) : source(s)
    {
        std::string program;
        for (const std::string &w : companion_command())
            program += w + " ";
        setenv("SWUGIMG", program.c_str(), 1);
        setenv("FIXTURES", SWUG_SOURCE_DIR "/tests/signatures", 1);
        box.put("fw.img", sound_image(1, "1.0", PAYLOAD));
        std::string changed = PAYLOAD;
        changed[100] ^= 1;
        box.put("evil.img", sound_image(1, "1.0", changed));  // its checksum made anew
        box.put("v2.img", sound_image(1, "2.0", PAYLOAD));    // only the version differs
        box.put("short.img", img(6000, PAYLOAD));
        box.put("big.img", img(1048536, pattern(1048537)));
        box.put("big.sig", pattern(100000));
        const Result r = sh(source == FRESH ? "minisign -G -W -p a.pub -s a.sec && minisign -G -W -p b.pub -s b.sec && "
                                              "signify-openbsd -G -n -p s.pub -s s.sec"
                                            : "cp \"$FIXTURES\"/a.pub \"$FIXTURES\"/a.sec \"$FIXTURES\"/b.pub "
                                              "\"$FIXTURES\"/s.pub .");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    Result sh(const std::string &script) const
    {
        const std::string signing =
            source == FRESH
                ? "sign() { minisign -S $([ \"$1\" = a.legacy ] && echo -l) -s \"${1%.legacy}.sec\" "
                  "-t \"$([ \"$2\" = v2.img ] && echo \"$V2_COMMENT\" || echo 'release 1.0')\" -m \"$2\" >/dev/null; }; "
                  "V2_COMMENT='release 2.0, whose trusted comment is longer than the others'; "
                  "signify() { signify-openbsd -S -s s.sec -m \"$1\" -x \"$2\"; }; "
                : "sign() { cp \"$FIXTURES/$2.$1.minisig\" \"$2.minisig\"; }; "
                  "signify() { cp \"$FIXTURES/$1.s.sig\" \"$2\"; }; ";
        return box.run_command({"sh", "-c", signing + script});
    }
};

inline const std::string SIGN_A = "sign a fw.img";
inline const std::string SIGN_A_LEGACY = "sign a.legacy fw.img";
inline const std::string SIGN_B = "sign b fw.img";
inline const std::string SIGNIFY = "signify fw.img fw.img.minisig";

#endif
