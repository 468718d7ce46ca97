// swug's image record, see main.h: swug alone carries its megabyte.
#include "main.h"

#include <algorithm>

// The record starts out holding nothing but IMAGE_FILL, stored that way in
// the program file, so that the fill before the first read need not write
// (and so fault in) a megabyte of fresh pages.
#ifdef SWUG_LINT
#define FILL1M 0xFF  // the analysers spend minutes on the full initialiser; one element says as much
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

#define CHAR_FILL8 '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'
SWUG_IMG swug_img = {
    {0xFF, {CHAR_FILL8, CHAR_FILL8, CHAR_FILL8, '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF'},
     0xFFFFFFFF, 0xFFFFFFFF},
    {FILL1M},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
};

void generate_CRC(void)
{
    const uint32_t n = std::min(swug_img.sw_str.length, (uint32_t)BODY_CAPACITY);

    swug_img.sw_str.CRC = payload_checksum(swug_img.sw_bin, n);
}
