// swugimg's commands and their options; see swugimg(1).
//
//   swugimg info [--json] IMAGE                  the header, field by field
//   swugimg check [OPTIONS] IMAGE...             one verdict a line
//   swugimg extract [OPTIONS] IMAGE OUTPUT       the payload of a sound image
//   swugimg create [-m MARKER] [-v VERSION] PAYLOAD IMAGE
//
// Exit status: 0 sound (or written), 1 not sound (or not written), 2 a usage
// error, a file that cannot be read, or results that could not be written.
#include "swugimg.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "image.h"
#include "reading.h"
#include "report.h"
#include "version.h"

static const char usage_text[] =
    "usage: swugimg info [--json] IMAGE\n"
    "       swugimg check [--json] [-p KEYFILE]... [-P KEY]... [-x SIGFILE] [POLICY]... IMAGE...\n"
    "       swugimg extract [--json] [-p KEYFILE]... [-P KEY]... [-x SIGFILE] [POLICY]... IMAGE OUTPUT\n"
    "       swugimg create [-m MARKER] [-v VERSION] PAYLOAD IMAGE\n"
    "POLICY: --min-version VERSION, --marker N, --sha256 DIGEST\n";

static int usage(const char *problem)
{
    if (problem != NULL)
        complain(NULL, problem, NULL);
    say(NULL, usage_text, sizeof usage_text - 1);
    return 2;
}

static int needs_libsodium(const char *what)
{
    char text[160];

    if (crypto_built())
        (void)snprintf(text, sizeof text, "%s libsodium, which failed to start", what);
    else
        (void)snprintf(text, sizeof text, "%s libsodium, which this swugimg was built without "
                                          "(Debian: apt-get install libsodium-dev, then build again)", what);
    complain(NULL, text, NULL);
    return 2;
}

// ---- Options ---------------------------------------------------------------

enum OptionId { JSON, KEY_FILE, KEY_TEXT, SIG_FILE, MIN_VERSION, MARKER, DIGEST_PIN, VERSION };

typedef struct {
    const char *name;
    OptionId id;
    bool has_value;  // whether the next argument is its value, whatever it looks like
} OPTION;

static const OPTION options[] = {
    {"--json", JSON, false},          {"-p", KEY_FILE, true},      {"-P", KEY_TEXT, true},
    {"-x", SIG_FILE, true},           {"--min-version", MIN_VERSION, true}, {"--marker", MARKER, true},
    {"--sha256", DIGEST_PIN, true},       {"-m", MARKER, true},        {"-v", VERSION, true},
};

// What the options of a command said. A key is taken each time it is given;
// of any other option with a value, the last one given counts.
typedef struct {
    bool json;
    const char *key[MAX_KEYS];  // -p files and -P texts, in the order given
    bool bare[MAX_KEYS];        // which of them are -P texts
    size_t keys;
    const char *sig_file;       // -x
    const char *marker;         // --marker or -m, as given
    const char *version;        // -v
    POLICY policy;
} OPTIONS;

static bool takes(const char *const *accepted, const char *name)
{
    for (; *accepted != NULL; accepted++)
        if (strcmp(*accepted, name) == 0)
            return true;
    return false;
}

// Reads the options in front of the names, each once and in order, up to
// the first name or "--"; "-" is a name. Sets *first to the first name.
// Returns 0, or 2 after saying what is wrong.
static int read_options(int argc, char **argv, const char *const *accepted, OPTIONS *o, int *first)
{
    int i = 0;

    memset(o, 0, sizeof *o);
    while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0') {
        const char *arg = argv[i++];
        if (strcmp(arg, "--") == 0)
            break;
        const OPTION *opt = NULL;
        for (const OPTION &candidate : options)
            if (strcmp(candidate.name, arg) == 0 && takes(accepted, arg))
                opt = &candidate;
        if (opt == NULL)
            return usage("unknown option");
        if (opt->has_value && i == argc)
            return usage("an option lacks its value");
        const char *value = opt->has_value ? argv[i++] : NULL;
        switch (opt->id) {
        case JSON:
            o->json = true;
            break;
        case KEY_FILE:
        case KEY_TEXT:
            if (o->keys == MAX_KEYS)
                return usage("too many keys");
            o->bare[o->keys] = opt->id == KEY_TEXT;
            o->key[o->keys++] = value;
            break;
        case SIG_FILE:
            o->sig_file = value;
            break;
        case MIN_VERSION:
            o->policy.min_version = value;
            break;
        case MARKER:
            o->marker = value;
            break;
        case DIGEST_PIN:
            o->policy.sha256 = value;
            break;
        case VERSION:
            o->version = value;
            break;
        }
    }
    *first = i;
    return 0;
}

// The values that count, checked once the options are read.
static int check_values(OPTIONS *o)
{
    const char *v = o->policy.min_version;

    if (o->marker != NULL && !parse_marker(o->marker, &o->policy.marker))
        return usage("the marker is a number from 0 to 255, or 0x00 to 0xFF");
    o->policy.has_marker = o->marker != NULL;
    if (o->policy.sha256 != NULL && !crypto_ready())
        return needs_libsodium("--sha256 needs");
    if (o->policy.sha256 != NULL && !is_digest(o->policy.sha256))
        return usage("the digest is 64 hex digits");
    if (v != NULL && v[strcspn(v, "0123456789")] == '\0')
        return usage("the version to compare with needs a digit");
    if (o->version != NULL && strlen(o->version) > sizeof(SWUG_STRUCT::version))
        return usage("the version text is at most 31 bytes");
    if (o->keys > 0 && !crypto_ready())
        return needs_libsodium("-p and -P need");
    return 0;
}

static bool is_stdin(const char *name)
{
    return name != NULL && strcmp(name, "-") == 0;
}

// What the files given may be, before any is read: standard input is read
// once at most, and an image read from it has no signature beside it.
static int check_files(const OPTIONS *o, char **images, int count)
{
    int reads = is_stdin(o->sig_file);

    for (size_t k = 0; k < o->keys; k++)
        reads += !o->bare[k] && is_stdin(o->key[k]);
    for (int i = 0; i < count; i++) {
        if (is_stdin(images[i]) && o->keys > 0 && o->sig_file == NULL)
            return usage("an image on standard input needs its signature given with -x");
        reads += is_stdin(images[i]);
    }
    if (reads > 1)
        return usage("standard input can be read only once");
    if (o->sig_file != NULL && o->keys == 0)
        return usage("-x needs a key, given with -p or -P");
    if (o->sig_file != NULL && count > 1)
        return usage("-x takes one image");
    return 0;
}

// The keys, in the order given, into an empty ring, before any image is
// judged.
static int load_keys(const OPTIONS *o, KEYRING *ring)
{
    for (size_t k = 0; k < o->keys; k++) {
        switch (load_key(ring, o->key[k], o->bare[k])) {
        case LOADED:
            break;
        case MISSING:
        case UNREADABLE:
            complain(o->key[k], "cannot read", strerror(errno));
            return 2;
        case MALFORMED:
            complain(o->key[k], "not a public key", NULL);
            return 2;
        }
    }
    return 0;
}

// The options and files of check and extract, which take the same ones.
static int judging_options(int argc, char **argv, int names, OPTIONS *o, KEYRING *ring, int *first)
{
    static const char *const accepted[] = {"--json", "-p", "-P", "-x", "--min-version", "--marker", "--sha256", NULL};
    int status = read_options(argc, argv, accepted, o, first);

    if (status == 0 && names == 1 && argc - *first < 1)
        return usage("check takes one image or more");
    if (status == 0 && names == 2 && argc - *first != 2)
        return usage("extract takes an image and an output");
    if (status == 0)
        status = check_values(o);
    if (status == 0)
        status = check_files(o, argv + *first, names == 2 ? 1 : argc - *first);
    return status != 0 ? status : load_keys(o, ring);
}

// ---- Judging ---------------------------------------------------------------

// Reads and judges one image as check and extract both do, holding it whole
// in `hold` where given: 0 sound, 1 not, 2 when the image or its signature
// cannot be read, which standard error then says.
static int judge_named(const char *name, const OPTIONS *o, const KEYRING *ring, uint8_t *hold, IMAGE_REPORT *r)
{
    char sig_name[4096];
    SIGNATURE_FILE sf;
    uint8_t *whole = hold;

    // Without a key no signature file is looked at: IMAGE.minisig may be
    // anything, even a FIFO nobody writes.
    sf.name = o->sig_file != NULL ? o->sig_file : sig_name;
    sf.loaded = MISSING;
    sf.error = 0;
    if (o->sig_file == NULL && snprintf(sig_name, sizeof sig_name, "%s.minisig", name) >= (int)sizeof sig_name) {
        sf.loaded = UNREADABLE;
        sf.error = ENAMETOOLONG;
    }
    if (ring->count > 0 && sf.loaded == MISSING)
        load_signature(&sf);
    // cppcheck-suppress uninitvar ; load_signature fills sig wherever loaded is LOADED
    const bool hashed = sf.loaded == LOADED && sf.sig.hashed, legacy = sf.loaded == LOADED && !hashed;
    // A signature over the image itself needs all of it at once.
    if (whole == NULL && legacy && (whole = static_cast<uint8_t *>(malloc(IMAGE_CAPACITY))) == NULL) {
        memset(r, 0, sizeof *r);
        (void)snprintf(r->fault, sizeof r->fault, "cannot read: %s", strerror(ENOMEM));
        complain(name, r->fault, NULL);
        return 2;
    }
    const WANTS w = {o->json || o->policy.sha256 != NULL, hashed, whole};
    int status = 2;
    if (!read_image(name, &w, r))
        complain(name, r->fault, NULL);
    else if (!judge_image(r, ring, &sf, &o->policy))
        complain(sf.name, "cannot read", strerror(sf.error));
    else
        status = r->fault[0] == '\0' ? 0 : 1;
    if (whole != hold) {
        free(whole);
        r->bytes = NULL;
    }
    return status;
}

// ---- Commands --------------------------------------------------------------

static int info(RESULTS *out, int argc, char **argv)
{
    static const char *const accepted[] = {"--json", NULL};
    static const KEYRING no_keys = {};
    static const SIGNATURE_FILE no_signature = {};
    static const POLICY no_policy = {};
    const WANTS digests = {true, false, NULL};
    OPTIONS o;
    IMAGE_REPORT r;
    int first;

    if (read_options(argc, argv, accepted, &o, &first) != 0)
        return 2;
    if (argc - first != 1)
        return usage("info takes one image");
    if (!read_image(argv[first], &digests, &r)) {
        complain(argv[first], r.fault, NULL);
        return 2;
    }
    (void)judge_image(&r, &no_keys, &no_signature, &no_policy);  // without keys, every image can be judged
    if (o.json)
        info_json(out, &r);
    else
        info_text(out, &r);
    return r.fault[0] == '\0' ? 0 : 1;
}

// A line for every name given: an image that cannot be read gets one too,
// so that a script reading a line an image never loses count. Given a key,
// every image must carry a good signature by one of the keys given; nothing
// turns that off.
static int check(RESULTS *out, int argc, char **argv)
{
    OPTIONS o;
    KEYRING ring = {};
    int first, status;

    status = judging_options(argc, argv, 1, &o, &ring, &first);
    if (status != 0)
        return status;
    for (int i = first; i < argc; i++) {
        IMAGE_REPORT r;
        const int s = judge_named(argv[i], &o, &ring, NULL, &r);
        status = s == 2 || status == 2 ? 2 : s == 1 || status == 1 ? 1 : 0;
        if (o.json)
            verdict_json(out, argv[i], &r, NULL, false);
        else
            verdict_line(out, argv[i], &r);
    }
    return status;
}

// The payload of an image that check with the same options passes, from
// the one read that judged it.
static int extract(RESULTS *out, int argc, char **argv)
{
    OPTIONS o;
    KEYRING ring = {};
    IMAGE_REPORT r;
    bool written = false;
    int first, status;

    status = judging_options(argc, argv, 2, &o, &ring, &first);
    if (status != 0)
        return status;
    const char *image = argv[first], *output = argv[first + 1];
    uint8_t *hold = static_cast<uint8_t *>(malloc(IMAGE_CAPACITY));
    if (hold == NULL) {
        complain(image, "cannot read", strerror(ENOMEM));
        return 2;
    }
    status = judge_named(image, &o, &ring, hold, &r);
    if (status == 1)
        complain(image, r.fault, NULL);
    if (status == 0) {
        // The output may be the image itself, which write_file never harms.
        const Input input = {r.id, r.bytes, (size_t)r.size};
        written = write_file(output, NULL, 0, r.bytes + HEADER_SIZE, r.head.length, &input) == 1;
        if (!written) {
            complain(output, "cannot write", strerror(errno));
            status = 1;
        }
    }
    if (o.json)
        verdict_json(out, image, &r, output, written);
    free(hold);
    return status;
}

static int create(RESULTS *, int argc, char **argv)
{
    static const char *const accepted[] = {"-m", "-v", NULL};
    char why[64];
    size_t size = 0;
    bool more = false;
    OPTIONS o;
    int first;

    int status = read_options(argc, argv, accepted, &o, &first);
    if (status == 0 && argc - first != 2)
        return usage("create takes a payload and an image");
    if (status == 0)
        status = check_values(&o);
    if (status != 0)
        return status;
    const char *payload = argv[first], *image = argv[first + 1];
    uint8_t *bytes = static_cast<uint8_t *>(malloc(IMAGE_CAPACITY));
    FILE *f = bytes != NULL ? open_read(payload) : NULL;
    if (f == NULL) {
        complain(payload, "cannot open", strerror(bytes != NULL ? errno : ENOMEM));
        free(bytes);
        return 2;
    }
    uint8_t *body = bytes + HEADER_SIZE;
    Input input = {{0, 0, false}, body, 0};
    file_id(f, &input.id);
    const bool ok = read_up_to(f, body, PAYLOAD_CAPACITY, &size, &more);
    const int error = close_read(f, ok);
    input.size = size;
    if (error != 0) {
        complain(payload, "cannot read", strerror(error));
        status = 2;
    } else if (more) {
        (void)snprintf(why, sizeof why, "payload larger than %u bytes", PAYLOAD_CAPACITY);
        complain(payload, why, NULL);
        status = 1;
    } else {
        SWUG_STRUCT head = {};
        head.sw_or_fmw = o.policy.marker;
        if (o.version != NULL)
            memcpy(head.version, o.version, strlen(o.version));
        head.length = (uint32_t)size;
        head.CRC = payload_checksum(body, head.length);
        header_bytes(&head, bytes);
        if (!write_file(image, NULL, 0, bytes, HEADER_SIZE + size, &input)) {
            complain(image, "cannot write", strerror(errno));
            status = 1;
        }
    }
    free(bytes);
    return status;
}

typedef int (*Command)(RESULTS *out, int argc, char **argv);

static Command command_named(const char *name)
{
    static const struct {
        const char *name;
        Command run;
    } commands[] = {{"info", info}, {"check", check}, {"extract", extract}, {"create", create}};

    for (const auto &c : commands)
        if (strcmp(name, c.name) == 0)
            return c.run;
    return NULL;
}

int swugimg_main(int argc, char **argv)
{
    RESULTS out = {false, 0};
    int status = -1;

    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        say(&out, usage_text, sizeof usage_text - 1);
        status = 0;
    } else if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        sayf(&out, "swugimg %s\n", SWUG_VERSION);
        status = 0;
    } else if (argc < 2) {
        return usage(NULL);
    } else if (!args_are_exact()) {
        return usage("an argument holds a character that this system's code page cannot represent");
    }
    if (status < 0) {
        const Command run = command_named(argv[1]);
        if (run == NULL)
            return usage("unknown command");
        status = run(&out, argc - 2, argv + 2);
    }
    // Results that did not reach standard output are no results.
    const int error = close_stdout(&out);
    if (error != 0) {
        complain("standard output", "cannot write", strerror(error));
        return 2;
    }
    return status;
}
