// The upgrade image format, defined once for swug, swugimg, the tests and
// the fuzzers; see main.h.
#include "main.h"

#include <string.h>

#include <algorithm>

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

SWUG_STRUCT header_of(const uint8_t *b)
{
    SWUG_STRUCT h;

    h.sw_or_fmw = b[0];
    memcpy(h.version, b + 1, sizeof h.version);
    h.length = le32(b + 32);
    h.CRC = le32(b + 36);
    return h;
}

void header_bytes(const SWUG_STRUCT *h, uint8_t *b)
{
    b[0] = h->sw_or_fmw;
    memcpy(b + 1, h->version, sizeof h->version);
    for (int i = 0; i < 4; i++) {
        b[32 + i] = (uint8_t)(h->length >> (8 * i));
        b[36 + i] = (uint8_t)(h->CRC >> (8 * i));
    }
}

uint32_t generate_CRC_512(const uint8_t *c, int32_t len, uint32_t in_crc)
{
    uint32_t sum = in_crc, tail = 0;
    int64_t i = 0;

    for (; i + 4 < len; i += 4)
        sum += le32(c + i);
    for (int shift = 0; i < len; i++, shift += 8)
        tail |= (uint32_t)c[i] << shift;
    return sum + tail;
}

uint32_t payload_checksum(const uint8_t *p, uint32_t n)
{
    uint32_t crc = 0;

    for (uint32_t pos = 0; pos < n; pos += CHECKSUM_BLOCK) {
        const uint32_t block = std::min(n - pos, (uint32_t)CHECKSUM_BLOCK);
        crc = generate_CRC_512(p + pos, (int32_t)block, crc);
    }
    return crc;
}
