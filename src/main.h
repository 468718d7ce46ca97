// Records of an upgrade image: the 40-byte header as stored in the file, and
// the in-memory record that holds a whole image.
// This header belongs to main.cpp alone, so the record has internal linkage.
#ifndef SWUG_MAIN_H
#define SWUG_MAIN_H

#include <stddef.h>
#include <stdint.h>

#define HEADER_SIZE 40
#define BODY_CAPACITY 0x100000u
#define IMAGE_FILL 0xFF
#define PATH_CAPACITY 300
#define CHECKSUM_BLOCK 512

// Header at the start of an image file. In the file every multi-byte field is
// little-endian; in this record they hold host values.
typedef struct {
    uint8_t sw_or_fmw;  // software-or-firmware marker, not examined
    char version[31];   // version text, not examined, no terminator required
    uint32_t length;    // payload bytes that follow the header
    uint32_t CRC;       // additive checksum of the payload, not compared
} SWUG_STRUCT;

static_assert(sizeof(SWUG_STRUCT) == HEADER_SIZE, "header is 40 bytes");
static_assert(offsetof(SWUG_STRUCT, length) == 32, "length at offset 32");
static_assert(offsetof(SWUG_STRUCT, CRC) == 36, "CRC at offset 36");

typedef struct {
    SWUG_STRUCT sw_str;
    uint8_t sw_bin[BODY_CAPACITY];
    uint8_t reserved[10];
} SWUG_IMG;

// The one image record, filled with IMAGE_FILL before every read.
static SWUG_IMG swug_img;

#endif
