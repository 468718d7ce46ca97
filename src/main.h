// The upgrade image format: the 40-byte header as stored in the file and
// the payload checksum, which format.cpp defines for every program; and
// swug's in-memory record of a whole image, which record.cpp defines for
// swug alone.
#ifndef SWUG_MAIN_H
#define SWUG_MAIN_H

#include <stddef.h>
#include <stdint.h>

#define HEADER_SIZE 40
#define BODY_CAPACITY 0x100000u
#define IMAGE_FILL 0xFF
#define PATH_CAPACITY 300
#define CHECKSUM_BLOCK 512
#define PAYLOAD_CAPACITY (BODY_CAPACITY - HEADER_SIZE)

// Header at the start of an image file. In the file every multi-byte field is
// little-endian; in this record they hold host values.
typedef struct {
    uint8_t sw_or_fmw;  // software-or-firmware marker, not examined
    char version[31];   // version text, not examined, no terminator required
    uint32_t length;    // payload bytes that follow the header
    uint32_t CRC;       // additive checksum of the payload; swug does not compare it, swugimg does
} SWUG_STRUCT;

static_assert(sizeof(SWUG_STRUCT) == HEADER_SIZE, "header is 40 bytes");
static_assert(offsetof(SWUG_STRUCT, length) == 32, "length at offset 32");
static_assert(offsetof(SWUG_STRUCT, CRC) == 36, "CRC at offset 36");

typedef struct {
    SWUG_STRUCT sw_str;
    uint8_t sw_bin[BODY_CAPACITY];
    uint8_t reserved[10];
} SWUG_IMG;

// The one image record. It starts out holding nothing but IMAGE_FILL.
extern SWUG_IMG swug_img;

// Whether a header's length leaves the payload inside the largest image.
inline bool length_fits(uint32_t length)
{
    return length <= PAYLOAD_CAPACITY;
}

uint32_t le32(const uint8_t *p);
// The header at the start of an image file, its fields made host values.
SWUG_STRUCT header_of(const uint8_t *b);
// The header as stored in a file, little-endian whatever the host.
void header_bytes(const SWUG_STRUCT *h, uint8_t *b);
// Adds the block read as little-endian 32-bit words to in_crc; a last word of
// 1 to 3 bytes counts with zero high bytes.
uint32_t generate_CRC_512(const uint8_t *c, int32_t len, uint32_t in_crc);
// The checksum of the n payload bytes at p, in blocks of CHECKSUM_BLOCK.
uint32_t payload_checksum(const uint8_t *p, uint32_t n);
// Checksum of the payload held at the start of sw_bin, whose length sw_str
// gives, into sw_str.CRC. A length beyond the body stops at its end.
void generate_CRC(void);

#endif
