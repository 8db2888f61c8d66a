/*
 * Stamped sectors: what simulated writers put on disk, so that any sector of
 * an image says which write of which writer it holds and whether it is whole.
 * Layout (little endian): magic, writer (32 bits each), sector, generation,
 * check word (64 bits each), then 480 bytes derived from the check word.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <standin/disk.h>

#include "../src/internal.h"

#define STAMP_HEADER 32

static unsigned long long mix(unsigned long long sector, unsigned long long generation,
                              unsigned int writer) {
    unsigned long long z = sector * 0x9e3779b97f4a7c15ULL ^ generation * 0xc2b2ae3d27d4eb4fULL ^
                           (unsigned long long)writer << 48;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

static unsigned char fill_byte(unsigned long long check, unsigned int i) {
    return (unsigned char)((check >> ((i & 7) * 8)) ^ i);
}

extern "C" void standin_stamp_make(void *sector512, unsigned long long sector,
                                   unsigned long long generation, unsigned int writer) {
    unsigned char *p = (unsigned char *)sector512;
    unsigned int magic = STANDIN_STAMP_MAGIC;
    unsigned long long check = mix(sector, generation, writer);
    memcpy(p, &magic, 4);
    memcpy(p + 4, &writer, 4);
    memcpy(p + 8, &sector, 8);
    memcpy(p + 16, &generation, 8);
    memcpy(p + 24, &check, 8);
    for (unsigned int i = STAMP_HEADER; i < 512; i++)
        p[i] = fill_byte(check, i);
}

extern "C" int standin_stamp_parse(const void *sector512, struct standin_stamp *out) {
    const unsigned char *p = (const unsigned char *)sector512;
    unsigned int magic;
    struct standin_stamp s;
    unsigned long long check;
    memcpy(&magic, p, 4);
    if (magic != STANDIN_STAMP_MAGIC)
        return 0;
    memcpy(&s.writer, p + 4, 4);
    memcpy(&s.sector, p + 8, 8);
    memcpy(&s.generation, p + 16, 8);
    memcpy(&check, p + 24, 8);
    if (check != mix(s.sector, s.generation, s.writer))
        return -1;
    for (unsigned int i = STAMP_HEADER; i < 512; i++)
        if (p[i] != fill_byte(check, i))
            return -1;
    if (out)
        *out = s;
    return 1;
}
