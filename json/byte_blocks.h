// The plain bytes of a string literal found many bytes a step: sixteen
// with SSE2, which every x86-64 has, eight (one 64-bit word) on other
// machines or when the build forces the portable path
// (JSON_PORTABLE_BLOCKS).  Internal to the library.
//
// Every block read here lies inside the text: callers step only while a
// whole block is left before the text's end, which they know, and finish
// with byte loops.  Nothing past a terminator is ever read.
#ifndef VESNAR_JSON_BYTE_BLOCKS_H
#define VESNAR_JSON_BYTE_BLOCKS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(__SSE2__) && !defined(JSON_PORTABLE_BLOCKS)
#define JSON_SSE2_BLOCKS 1
#include <emmintrin.h>
#endif

// Bytes that a string literal holds unchanged without a closer look: ASCII
// from 0x20 up, neither the quotation mark nor the backslash.  A table, so
// that a byte loop pays one load per byte.
struct plain_byte_table {
    bool plain[256];
    constexpr plain_byte_table() : plain()
    {
        for (unsigned c = 0x20; c < 0x80; c++)
            plain[c] = c != '"' && c != '\\';
    }
};
inline constexpr plain_byte_table plain_bytes;

inline bool byte_is_plain(char c)
{
    return plain_bytes.plain[static_cast<unsigned char>(c)];
}

#ifdef JSON_SSE2_BLOCKS

inline constexpr size_t block_size = 16;

inline __m128i load_block(const char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// Bit i set where byte i of the block is not plain.  The signed comparison
// below 0x20 also takes every byte from 0x80 up.
inline unsigned not_plain_mask(__m128i v)
{
    __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, _mm_or_si128(quote, backslash))));
}

// Copies the block at p to out (block_size bytes of room) and returns how
// many of its leading bytes are plain: block_size when all are.  The bytes
// stored after those belong to whatever is written next.
inline size_t copy_plain_block(char *out, const char *p)
{
    __m128i v = load_block(p);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    unsigned mask = not_plain_mask(v);
    return mask ? static_cast<size_t>(__builtin_ctz(mask)) : block_size;
}

#else  // one 64-bit word a step

inline constexpr size_t block_size = 8;

// The word at p with its first byte least significant, on either byte
// order, so that the lowest flagged byte is the first in the text.
inline uint64_t load_block(const char *p)
{
    uint64_t w;
    memcpy(&w, p, 8);
    if constexpr (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
        w = __builtin_bswap64(w);
    return w;
}

inline constexpr uint64_t byte_ones = 0x0101010101010101ull;
inline constexpr uint64_t byte_highs = 0x8080808080808080ull;

// The high bit of every byte of w below limit (at most 0x80).  The low
// seven bits of each byte are added apart from its high bit, so no carry
// crosses into the next byte and every byte's flag is exact.
inline uint64_t bytes_below(uint64_t w, unsigned limit)
{
    uint64_t sum = (w & ~byte_highs) + byte_ones * (0x80 - limit);
    return ~(sum | w) & byte_highs;
}

inline uint64_t bytes_equal(uint64_t w, unsigned char c)
{
    return bytes_below(w ^ (byte_ones * c), 1);
}

inline size_t first_flagged_byte(uint64_t flags)
{
    return flags ? static_cast<size_t>(__builtin_ctzll(flags)) / 8 : block_size;
}

inline uint64_t not_plain_flags(uint64_t w)
{
    uint64_t plain = ~w & byte_highs & ~bytes_below(w, 0x20) & ~bytes_equal(w, '"') & ~bytes_equal(w, '\\');
    return ~plain & byte_highs;
}

inline size_t copy_plain_block(char *out, const char *p)
{
    memcpy(out, p, 8);  // the bytes as they lie, whatever the byte order
    return first_flagged_byte(not_plain_flags(load_block(p)));
}

#endif

#endif
