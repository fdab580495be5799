#include "Sha256.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tarvo::platform {

namespace {

constexpr std::size_t blockSize = 64;

alignas(16) constexpr std::array<std::uint32_t, 64> roundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

using State = std::array<std::uint32_t, 8>;
using BlockFunction = void (*)(State& state, const std::uint8_t* data, std::size_t blocks);

constexpr std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::uint32_t bigEndian(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

void portableBlocks(State& state, const std::uint8_t* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += blockSize) {
        std::array<std::uint32_t, 64> w{};
        for (std::size_t i = 0; i < 16; ++i) {
            w[i] = bigEndian(data + 4 * i);
        }
        for (std::size_t i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        auto [a, b, c, d, e, f, g, h] = state;
        for (std::size_t i = 0; i < 64; ++i) {
            const std::uint32_t t1 =
                h + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) + ((e & f) ^ (~e & g)) + roundConstants[i] + w[i];
            const std::uint32_t t2 = (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const State added = {a, b, c, d, e, f, g, h};
        for (std::size_t i = 0; i < state.size(); ++i) {
            state[i] += added[i];
        }
    }
}

#if defined(__x86_64__)
// Four rounds per step with SHA256RNDS2, the message schedule with
// SHA256MSG1/MSG2; the state is kept as the instructions want it (ABEF, CDGH).
__attribute__((target("sha,ssse3,sse4.1"))) void extensionBlocks(State& state, const std::uint8_t* data,
                                                                 std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i swapped = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data())), 0xB1);
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data() + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(swapped, state1, 8);
    state1 = _mm_blend_epi16(state1, swapped, 0xF0);
    for (; blocks > 0; --blocks, data += blockSize) {
        const __m128i saved0 = state0;
        const __m128i saved1 = state1;
        __m128i w[4] = {};
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            __m128i& current = w[i % 4];
            __m128i& previous = w[(i + 3) % 4];
            if (i < 4) {
                current =
                    _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
            }
            __m128i message =
                _mm_add_epi32(current, _mm_load_si128(reinterpret_cast<const __m128i*>(roundConstants.data() + 4 * i)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, message);
            if (i >= 3 && i <= 14) {
                __m128i& next = w[(i + 1) % 4];
                next = _mm_sha256msg2_epu32(_mm_add_epi32(next, _mm_alignr_epi8(current, previous, 4)), current);
            }
            message = _mm_shuffle_epi32(message, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, message);
            if (i >= 1 && i <= 12) {
                previous = _mm_sha256msg1_epu32(previous, current);
            }
        }
        state0 = _mm_add_epi32(state0, saved0);
        state1 = _mm_add_epi32(state1, saved1);
    }
    swapped = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(swapped, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, swapped, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data() + 4), state1);
}

bool hasShaExtensions() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & bit_SSSE3) == 0 || (ecx & bit_SSE4_1) == 0) {
        return false;
    }
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 && (ebx & bit_SHA) != 0;
}
#endif

BlockFunction fastestBlocks() {
#if defined(__x86_64__)
    if (hasShaExtensions()) {
        return extensionBlocks;
    }
#endif
    return portableBlocks;
}

Sha256Digest digestWith(BlockFunction blocks, ByteView bytes) {
    State state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::size_t whole = bytes.size() / blockSize;
    if (whole > 0) {
        blocks(state, bytes.data(), whole);
    }
    // The rest, the 0x80 byte, zeros and the length in bits: one block or two.
    std::array<std::uint8_t, 2 * blockSize> last{};
    const std::size_t rest = bytes.size() - whole * blockSize;
    if (rest > 0) {
        std::memcpy(last.data(), bytes.data() + whole * blockSize, rest);
    }
    last[rest] = 0x80;
    const std::size_t lastSize = rest + 1 + 8 <= blockSize ? blockSize : 2 * blockSize;
    const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        last[lastSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    blocks(state, last.data(), lastSize / blockSize);
    Sha256Digest digest{};
    for (std::size_t i = 0; i < state.size(); ++i) {
        for (std::size_t k = 0; k < 4; ++k) {
            digest[4 * i + k] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * k));
        }
    }
    return digest;
}

}  // namespace

Sha256Digest sha256(ByteView bytes) {
    static const BlockFunction blocks = fastestBlocks();
    return digestWith(blocks, bytes);
}

namespace detail {
Sha256Digest portableSha256(ByteView bytes) { return digestWith(portableBlocks, bytes); }
}  // namespace detail

}  // namespace tarvo::platform
