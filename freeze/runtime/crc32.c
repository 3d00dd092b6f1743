/*
 * The CRC-32 of zip archives, with which _boot checks every member it
 * reads: `clmul` where the processor multiplies without carries
 * (crc_fold), else eight bytes a step by tables, made when first needed.
 * Which one, the C library tells, from what it read of the processor as
 * the process started; an older one (before 2.33) has no such call, and
 * the processor is asked once with a cpuid. A virtual machine traps each
 * cpuid, some 10 us here: the compiler's own __builtin_cpu_init, run as
 * _boot.so loaded, took some 70 us of each start in cpuids.
 */
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#else
#include <cpuid.h>
#endif

#include "crc32.h"

static uint32_t crc_table[8][256];
static int clmul = -1;          /* -1 until crc_setup */
static int tables;

static void crc_setup(void)
{
#ifdef CPU_FEATURE_ACTIVE
    clmul = CPU_FEATURE_ACTIVE(PCLMULQDQ) && CPU_FEATURE_ACTIVE(SSE4_1);
#else
    unsigned int a, b, c, d;
    __cpuid(1, a, b, c, d);
    (void)a, (void)b, (void)d;
    clmul = (c & bit_PCLMUL) != 0 && (c & bit_SSE4_1) != 0;
#endif
}

static void crc_tables(void)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xedb88320U ^ (c >> 1) : c >> 1;
        crc_table[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++) {
        for (int t = 1; t < 8; t++)
            crc_table[t][i] = crc_table[0][crc_table[t - 1][i] & 0xff] ^ (crc_table[t - 1][i] >> 8);
    }
    tables = 1;
}

/* With carry-less multiplication, where the processor has it: 64 bytes
 * folded a step, as Intel's "Fast CRC Computation for Generic Polynomials
 * Using PCLMULQDQ Instruction" describes it, for the reflected polynomial
 * 0xedb88320. `c` is the running value; `n` is at least 64 and a multiple
 * of 16. Every member read at start is checked: this takes a tenth of the
 * instructions that tables take. */

__attribute__((target("pclmul,sse4.1"))) static uint32_t crc_fold(uint32_t c,
                                                                   const unsigned char *p,
                                                                   size_t n)
{
    static const uint64_t k1k2[2] = {0x0154442bd4ULL, 0x01c6e41596ULL};
    static const uint64_t k3k4[2] = {0x01751997d0ULL, 0x00ccaa009eULL};
    static const uint64_t k5k0[2] = {0x0163cd6124ULL, 0};
    static const uint64_t poly[2] = {0x01db710641ULL, 0x01f7011641ULL};
    __m128i x1 = _mm_loadu_si128((const __m128i *)p);
    __m128i x2 = _mm_loadu_si128((const __m128i *)(p + 16));
    __m128i x3 = _mm_loadu_si128((const __m128i *)(p + 32));
    __m128i x4 = _mm_loadu_si128((const __m128i *)(p + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128((int)c));
    __m128i k = _mm_loadu_si128((const __m128i *)k1k2);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        const __m128i l1 = _mm_clmulepi64_si128(x1, k, 0x00);
        const __m128i l2 = _mm_clmulepi64_si128(x2, k, 0x00);
        const __m128i l3 = _mm_clmulepi64_si128(x3, k, 0x00);
        const __m128i l4 = _mm_clmulepi64_si128(x4, k, 0x00);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11), l1),
                           _mm_loadu_si128((const __m128i *)p));
        x2 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x2, k, 0x11), l2),
                           _mm_loadu_si128((const __m128i *)(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x3, k, 0x11), l3),
                           _mm_loadu_si128((const __m128i *)(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x4, k, 0x11), l4),
                           _mm_loadu_si128((const __m128i *)(p + 48)));
    }
    /* Four 128-bit values into one, then the 16-byte blocks left. */
    k = _mm_loadu_si128((const __m128i *)k3k4);
    const __m128i rest[3] = {x2, x3, x4};
    for (int i = 0; i < 3; i++)
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11), rest[i]),
                           _mm_clmulepi64_si128(x1, k, 0x00));
    for (; n >= 16; p += 16, n -= 16)
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k, 0x11),
                                         _mm_loadu_si128((const __m128i *)p)),
                           _mm_clmulepi64_si128(x1, k, 0x00));
    /* 128 bits to 64, then Barrett's reduction to 32. */
    const __m128i low = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadu_si128((const __m128i *)k5k0);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low), k, 0x00), x2);
    k = _mm_loadu_si128((const __m128i *)poly);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low), k, 0x00);
    return (uint32_t)_mm_extract_epi32(_mm_xor_si128(x1, x2), 1);
}

uint32_t zip_crc32(const unsigned char *p, size_t n)
{
    uint32_t c = 0xffffffffU;
    if (clmul < 0)
        crc_setup();
    if (clmul && n >= 64) {
        const size_t folded = n & ~(size_t)15;
        c = crc_fold(c, p, folded);
        p += folded;
        n -= folded;
    }
    if (clmul) {
        /* Fewer than 64 bytes: a bit a step. */
        while (n-- > 0) {
            c ^= *p++;
            for (int k = 0; k < 8; k++)
                c = c & 1 ? 0xedb88320U ^ (c >> 1) : c >> 1;
        }
        return c ^ 0xffffffffU;
    }
    if (!tables)
        crc_tables();
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t a = c ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                                (uint32_t)p[3] << 24);
        c = crc_table[7][a & 0xff] ^ crc_table[6][a >> 8 & 0xff] ^ crc_table[5][a >> 16 & 0xff] ^
            crc_table[4][a >> 24] ^ crc_table[3][p[4]] ^ crc_table[2][p[5]] ^ crc_table[1][p[6]] ^
            crc_table[0][p[7]];
    }
    while (n-- > 0)
        c = crc_table[0][(c ^ *p++) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffU;
}
