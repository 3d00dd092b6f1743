#ifndef CRC32_H
#define CRC32_H

#include <stddef.h>
#include <stdint.h>

/* The CRC-32 of `n` bytes at `p`, as zip archives record it. Hidden: no
 * library loaded beside _boot (zlib has a crc32) takes its place. */
__attribute__((visibility("hidden"))) uint32_t zip_crc32(const unsigned char *p, size_t n);

#endif
