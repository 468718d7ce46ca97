// Reading and judging an upgrade image, for swugimg: the report of what it
// holds as swug would see it, and the verdict, with release keys and
// policies. Nothing here prints; the reasons are texts in the report.
#ifndef SWUG_IMAGE_H
#define SWUG_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include "main.h"
#include "platform.h"
#include "signature.h"

#define IMAGE_CAPACITY BODY_CAPACITY  // the largest image swug reads

// What one read of an image takes besides its header, size and checksum.
typedef struct {
    bool sha256;     // the SHA-256 of the image, and of the payload swug writes
    bool blake2b;    // its BLAKE2b-512, for a signature over its digest
    uint8_t *whole;  // IMAGE_CAPACITY bytes to hold the whole image in, or NULL
} WANTS;

// What an image holds, as swug would see it.
typedef struct {
    bool read;          // whether it could be read at all; fault says why not
    FileId id;          // the file it was read from
    int64_t size;       // of the file, or 1048577 for a longer stream
    SWUG_STRUCT head;   // bytes missing from a short file read as IMAGE_FILL
    uint32_t present;   // payload bytes in the file, at most head.length
    uint32_t padding;   // payload bytes swug would add as IMAGE_FILL
    int64_t trailing;   // bytes after the payload, which swug ignores
    bool whole;         // whether the whole image was read: not past the largest
    bool computed_ok;   // whether the checksum below could be computed
    uint32_t computed;  // checksum of the payload swug would write
    const uint8_t *bytes;  // the whole image, where WANTS.whole held it, or NULL
    char sha256[65];    // of the whole image, or empty
    char payload_sha256[65];  // of the bytes swug writes, or empty where it writes none
    uint8_t blake2b[BLAKE2B_SIZE];
    char key_id[2 * KEY_ID_SIZE + 1];  // of the image's signature, or empty
    const char *trusted_comment;       // its verified trusted comment, or NULL
    char fault[160];    // why the image is not sound, or empty
} IMAGE_REPORT;

// What a release asks of an image beyond soundness and a signature.
typedef struct {
    const char *sha256;       // the image's SHA-256, 64 hex digits, or NULL
    bool has_marker;
    uint8_t marker;           // the marker, where has_marker
    const char *min_version;  // the oldest version taken, or NULL
} POLICY;

// Reads the image `name` ("-": standard input) in one pass, as swug would
// read it, taking what w asks for, and stops one byte past the largest
// image. Returns false when it cannot be read, with the reason in r->fault.
bool read_image(const char *name, const WANTS *w, IMAGE_REPORT *r);

// Judges what read_image found: the signature in sf by the ring's keys
// (none judged when the ring is empty), then the structure as swug would
// treat it, then the policy, in that order; the first fault found stands.
// Returns false when the signature file exists but cannot be read.
bool judge_image(IMAGE_REPORT *r, const KEYRING *ring, const SIGNATURE_FILE *sf, const POLICY *policy);

// The order of two version texts as GNU sort -V has it: <0, 0 or >0.
int compare_versions(const char *a, size_t an, const char *b, size_t bn);

// A marker: 0 to 255, in decimal or in hex after one 0x.
bool parse_marker(const char *s, uint8_t *marker);
// Whether s is a SHA-256 digest: 64 hex digits, in either case.
bool is_digest(const char *s);

#endif
