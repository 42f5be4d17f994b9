#pragma once
// Byte tests shared by the log store's copy and layout loops: with SSE2, 16
// bytes at once, and one byte at a time for the loops that stand in for it.
#ifdef __SSE2__
#define LOGSTORE_SSE2 1
#include <emmintrin.h>
#endif

namespace LogStoreBytes
{
#ifdef LOGSTORE_SSE2
// A byte above 0x7F or a TAB: the high bit of each such byte of v is set. Lines
// without either are one cell per byte.
inline __m128i HighOrTab(__m128i v)
{
    return _mm_or_si128(v, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
}
#endif

// The same test for one byte, where the loops go byte by byte.
inline bool IsHighOrTab(unsigned char c)
{
    return c >= 0x80 || c == '\t';
}
} // namespace LogStoreBytes
