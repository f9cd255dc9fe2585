#include "corelib/key_derivation.hpp"

#include <cstring>
#include <stdexcept>

#include "corelib/platform.hpp"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define TR47_HAVE_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define TR47_HAVE_SHA_EXTENSIONS 0
#endif

namespace tr47::detail {

namespace {

#if TR47_HAVE_SHA_EXTENSIONS

#define TR47_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The hash state in the register layout the round instruction works on:
// lanes (high to low) A B E F and C D G H.
struct ShaState {
    __m128i abef;
    __m128i cdgh;
};

// Message words are kept in host order, four per register, W0 in lane 0.
TR47_SHA_TARGET inline __m128i byte_swap_words(__m128i v) {
    return _mm_shuffle_epi8(v, _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
}

TR47_SHA_TARGET inline ShaState initial_state() {
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kInitialState[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kInitialState[4]));
    dcba = _mm_shuffle_epi32(dcba, 0xB1); // C D A B
    hgfe = _mm_shuffle_epi32(hgfe, 0x1B); // E F G H
    return {_mm_alignr_epi8(dcba, hgfe, 8), _mm_blend_epi16(hgfe, dcba, 0xF0)};
}

// The digest as words A..D and E..H (lane 0 first).
TR47_SHA_TARGET inline void digest_words(const ShaState& s, __m128i& abcd, __m128i& efgh) {
    const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
    abcd = _mm_blend_epi16(feba, dchg, 0xF0);
    efgh = _mm_alignr_epi8(dchg, feba, 8);
}

TR47_SHA_TARGET inline void four_rounds(ShaState& s, __m128i words, int group) {
    __m128i m = _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * group])));
    s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, m);
    m = _mm_shuffle_epi32(m, 0x0E);
    s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, m);
}

// One block compression; w holds the block's sixteen words.
TR47_SHA_TARGET inline void compress(ShaState& s, __m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    const ShaState saved = s;
    __m128i w[4] = {w0, w1, w2, w3};
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
        if (g >= 4) {
            // W[g] from W[g-4] .. W[g-1], four words at a time.
            __m128i next = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
            next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
            w[g & 3] = _mm_sha256msg2_epu32(next, w[(g + 3) & 3]);
        }
        four_rounds(s, w[g & 3], g);
    }
    s.abef = _mm_add_epi32(s.abef, saved.abef);
    s.cdgh = _mm_add_epi32(s.cdgh, saved.cdgh);
}

TR47_SHA_TARGET inline void compress_bytes(ShaState& s, const unsigned char* block) {
    const auto* p = reinterpret_cast<const __m128i*>(block);
    compress(s, byte_swap_words(_mm_loadu_si128(p)), byte_swap_words(_mm_loadu_si128(p + 1)),
             byte_swap_words(_mm_loadu_si128(p + 2)), byte_swap_words(_mm_loadu_si128(p + 3)));
}

TR47_SHA_TARGET inline void store_digest(const ShaState& s, unsigned char* out) {
    __m128i abcd, efgh;
    digest_words(s, abcd, efgh);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), byte_swap_words(abcd));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), byte_swap_words(efgh));
}

// Hashes `data` and the final padding on top of a state that has already
// taken `before` bytes (a multiple of 64).
TR47_SHA_TARGET ShaState finish(ShaState s, std::string_view data, std::uint64_t before) {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t n = data.size();
    for (; n >= 64; n -= 64, p += 64) compress_bytes(s, p);
    unsigned char tail[128] = {};
    std::memcpy(tail, p, n);
    tail[n] = 0x80;
    const std::size_t blocks = n + 9 <= 64 ? 1 : 2;
    const std::uint64_t bits = (before + data.size()) * 8;
    for (int i = 0; i < 8; ++i) tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (std::size_t b = 0; b < blocks; ++b) compress_bytes(s, tail + 64 * b);
    return s;
}

// A 32-byte digest as the block of a 64 + 32 byte message: the last input
// of every inner and outer HMAC hash after the first iteration.
TR47_SHA_TARGET inline void compress_digest(ShaState& s, const ShaState& digest) {
    __m128i abcd, efgh;
    digest_words(digest, abcd, efgh);
    compress(s, abcd, efgh, _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u)), _mm_set_epi32(768, 0, 0, 0));
}

// The HMAC states of a password: the inner and outer hash after their
// key block, computed once for all iterations.
TR47_SHA_TARGET void hmac_states(std::string_view password, ShaState& inner, ShaState& outer) {
    unsigned char key[64] = {};
    if (password.size() > 64)
        store_digest(finish(initial_state(), password, 0), key);
    else
        std::memcpy(key, password.data(), password.size());
    unsigned char pad[64];
    inner = outer = initial_state();
    for (int i = 0; i < 64; ++i) pad[i] = static_cast<unsigned char>(key[i] ^ 0x36);
    compress_bytes(inner, pad);
    for (int i = 0; i < 64; ++i) pad[i] = static_cast<unsigned char>(key[i] ^ 0x5c);
    compress_bytes(outer, pad);
}

// N PBKDF2 blocks at once, each from its own first message (salt and block
// number): their compressions interleaved, since one chain leaves the SHA
// unit waiting on its own results. Writes 32 bytes per chain.
template <int N>
TR47_SHA_TARGET void chains(const ShaState& inner, const ShaState& outer, const std::string* firsts,
                            std::uint32_t iterations, unsigned char (*out)[32]) {
    ShaState u[N];
    __m128i sumAbcd[N], sumEfgh[N];
    for (int l = 0; l < N; ++l) {
        unsigned char digest[32];
        store_digest(finish(inner, firsts[l], 64), digest);
        u[l] = finish(outer, std::string_view(reinterpret_cast<char*>(digest), 32), 64);
        digest_words(u[l], sumAbcd[l], sumEfgh[l]);
    }
    for (std::uint32_t i = 1; i < iterations; ++i) {
        ShaState h[N];
#pragma GCC unroll 4
        for (int l = 0; l < N; ++l) {
            h[l] = inner;
            compress_digest(h[l], u[l]);
        }
#pragma GCC unroll 4
        for (int l = 0; l < N; ++l) {
            u[l] = outer;
            compress_digest(u[l], h[l]);
            __m128i abcd, efgh;
            digest_words(u[l], abcd, efgh);
            sumAbcd[l] = _mm_xor_si128(sumAbcd[l], abcd);
            sumEfgh[l] = _mm_xor_si128(sumEfgh[l], efgh);
        }
    }
    for (int l = 0; l < N; ++l) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[l]), byte_swap_words(sumAbcd[l]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out[l] + 16), byte_swap_words(sumEfgh[l]));
    }
}

// `salt` followed by the big-endian block number, PBKDF2's first message.
std::string first_message(std::string_view salt, std::uint32_t block) {
    std::string first(salt);
    for (int i = 0; i < 4; ++i) first += static_cast<char>(block >> (24 - 8 * i));
    return first;
}

TR47_SHA_TARGET std::string derive_with_extensions(std::string_view password, std::string_view salt,
                                                   std::uint32_t iterations, std::size_t length) {
    ShaState inner, outer;
    hmac_states(password, inner, outer);
    std::string out;
    out.reserve(length + 32);
    for (std::uint32_t block = 1; out.size() < length; ++block) {
        const std::string first = first_message(salt, block);
        unsigned char t[1][32];
        chains<1>(inner, outer, &first, iterations, t);
        out.append(reinterpret_cast<char*>(t[0]), 32);
    }
    out.resize(length);
    return out;
}

TR47_SHA_TARGET void two_with_extensions(std::string_view password, std::string_view salt1, std::string_view salt2,
                                         std::uint32_t iterations, std::string& out1, std::string& out2) {
    ShaState inner, outer;
    hmac_states(password, inner, outer);
    const std::string firsts[2] = {first_message(salt1, 1), first_message(salt2, 1)};
    unsigned char t[2][32];
    chains<2>(inner, outer, firsts, iterations, t);
    out1.assign(reinterpret_cast<char*>(t[0]), 32);
    out2.assign(reinterpret_cast<char*>(t[1]), 32);
}

bool detect_sha_extensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

#else

bool detect_sha_extensions() { return false; }

#endif

} // namespace

bool key_derivation_uses_sha_extensions() {
    static const bool yes = detect_sha_extensions();
    return yes;
}

std::string pbkdf2_sha256_extensions(std::string_view password, std::string_view salt, std::uint32_t iterations,
                                     std::size_t length) {
#if TR47_HAVE_SHA_EXTENSIONS
    if (key_derivation_uses_sha_extensions()) return derive_with_extensions(password, salt, iterations, length);
#endif
    (void)password, (void)salt, (void)iterations, (void)length;
    throw std::logic_error("the processor has no SHA extensions");
}

std::string pbkdf2_sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                          std::size_t length) {
    if (key_derivation_uses_sha_extensions()) return pbkdf2_sha256_extensions(password, salt, iterations, length);
    return platform::derive_key(password, salt, iterations, length);
}

void pbkdf2_sha256_two(std::string_view password, std::string_view salt1, std::string_view salt2,
                       std::uint32_t iterations, std::string& out1, std::string& out2) {
#if TR47_HAVE_SHA_EXTENSIONS
    if (key_derivation_uses_sha_extensions())
        return two_with_extensions(password, salt1, salt2, iterations, out1, out2);
#endif
    out1 = pbkdf2_sha256(password, salt1, iterations);
    out2 = pbkdf2_sha256(password, salt2, iterations);
}

} // namespace tr47::detail
