// SHA-1 compression with the x86 SHA extensions, compiled for x86 only;
// MessageDigests.cpp calls it only after cpuid reports SHA, SSSE3 and SSE4.1.
//
// The round structure follows Intel's "New Instructions Supporting the Secure
// Hash Algorithm on Intel Architecture Processors": ABCD lives in one register
// (A in the high lane), E is carried in the high lane of a second register and
// sha1nexte folds it into the next four schedule words.

#include "MessageDigests.h"

#include <immintrin.h>

#include <utility>

// The functions carry their own target attributes, so this file is right
// whether or not the build passes -msha -msse4.1 for it.
#define SORVENA_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))

namespace sorvena::detail {

namespace {

// Rounds 4*I .. 4*I+3. msg[I % 4] holds the words of this group; the same
// step extends the schedule for groups I+1 (sha1msg2), I+2 (xor) and I+3
// (sha1msg1), which is what lets the round and schedule units overlap.
template <int I>
SORVENA_SHA_TARGET __attribute__((always_inline)) inline void roundGroup(__m128i& abcd, __m128i& e0, __m128i& e1,
                                                                         __m128i (&msg)[4], const uint8_t* block,
                                                                         __m128i byteSwap)
{
    if constexpr (I < 4)
        msg[I] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * I)), byteSwap);
    __m128i& eUse = (I % 2 == 0) ? e0 : e1;
    __m128i& eNext = (I % 2 == 0) ? e1 : e0;
    if constexpr (I == 0)
        eUse = _mm_add_epi32(eUse, msg[0]);
    else
        eUse = _mm_sha1nexte_epu32(eUse, msg[I % 4]);
    eNext = abcd;
    if constexpr (I >= 3 && I <= 18)
        msg[(I + 1) % 4] = _mm_sha1msg2_epu32(msg[(I + 1) % 4], msg[I % 4]);
    abcd = _mm_sha1rnds4_epu32(abcd, eUse, I / 5);
    if constexpr (I >= 1 && I <= 16)
        msg[(I + 3) % 4] = _mm_sha1msg1_epu32(msg[(I + 3) % 4], msg[I % 4]);
    if constexpr (I >= 2 && I <= 17)
        msg[(I + 2) % 4] = _mm_xor_si128(msg[(I + 2) % 4], msg[I % 4]);
}

template <int... I>
SORVENA_SHA_TARGET __attribute__((always_inline)) inline void allRounds(__m128i& abcd, __m128i& e0, __m128i& e1,
                                                                        const uint8_t* block, __m128i byteSwap,
                                                                        std::integer_sequence<int, I...>)
{
    __m128i msg[4];
    (roundGroup<I>(abcd, e0, e1, msg, block, byteSwap), ...);
}

}  // namespace

SORVENA_SHA_TARGET void Sha1CompressNi(uint32_t state[5], const uint8_t* blocks, size_t count)
{
    // Big-endian words, and word 0 in the high lane as the instructions expect.
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);

    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e0;
        __m128i e1;

        allRounds(abcd, e0, e1, blocks, byteSwap, std::make_integer_sequence<int, 20>{});

        // After group 19 e0 holds the ABCD that entered it: sha1nexte turns
        // its A into E (rotated by 30) and adds the saved E.
        e0 = _mm_sha1nexte_epu32(e0, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

}  // namespace sorvena::detail
