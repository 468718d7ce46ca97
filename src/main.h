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

// The record starts out holding nothing but IMAGE_FILL, stored that way in
// the program file, so that the fill before the first read need not write
// (and so fault in) a megabyte of fresh pages.
#ifdef __CPPCHECK__
#define FILL1M 0xFF  // cppcheck spends minutes on the full initialiser; one element says as much
#else
#define FILL16 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
#define FILL256 FILL16, FILL16, FILL16, FILL16, FILL16, FILL16, FILL16, FILL16, \
                FILL16, FILL16, FILL16, FILL16, FILL16, FILL16, FILL16, FILL16
#define FILL4K FILL256, FILL256, FILL256, FILL256, FILL256, FILL256, FILL256, FILL256, \
               FILL256, FILL256, FILL256, FILL256, FILL256, FILL256, FILL256, FILL256
#define FILL64K FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, \
                FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, FILL4K, FILL4K
#define FILL1M FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, \
               FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, FILL64K, FILL64K
#endif

static_assert(BODY_CAPACITY == 0x100000u, "FILL1M fills the body");

// The one image record, filled with IMAGE_FILL before every read.
#define CHAR_FILL8 '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'
static SWUG_IMG swug_img = {
    {0xFF, {CHAR_FILL8, CHAR_FILL8, CHAR_FILL8, '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'},
     0xFFFFFFFF, 0xFFFFFFFF},
    {FILL1M},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
};

#endif
