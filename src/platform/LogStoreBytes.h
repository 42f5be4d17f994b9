#pragma once
#include <cstdint>
#include <cstring>

// Byte tests shared by the log store's copy, layout and counting loops: with
// SSE2, 16 bytes at once, and one byte at a time for the loops that stand in for
// it. WIREBENCH_SCALAR leaves SSE2 out, so those loops are built and tested too.
#if defined(__SSE2__) && !defined(WIREBENCH_SCALAR)
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

// Whether any of the 16 bytes at p is above 0x7F.
inline bool AnyHigh16(const unsigned char *p)
{
#ifdef LOGSTORE_SSE2
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))) != 0;
#else
    std::uint64_t w[2];
    std::memcpy(w, p, sizeof w);
    return ((w[0] | w[1]) & 0x8080808080808080u) != 0;
#endif
}
} // namespace LogStoreBytes
