// Bit helpers on the 64-bit register form shared by the scalar and batch
// interpreters: sign and zero extension, f32 and f64 views, the high half of a
// 64x64 product and byte addresses.
#pragma once

#include <bit>
#include <cstdint>

namespace lumk_bits {

inline uint64_t sx8(uint64_t v) { return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(v))); }
inline uint64_t sx16(uint64_t v) { return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(v))); }
inline uint64_t sx32(uint64_t v) { return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v))); }
inline uint64_t zx32(uint64_t v) { return v & 0xFFFFFFFFu; }
inline int64_t s64(uint64_t v) { return static_cast<int64_t>(v); }

inline double f64(uint64_t r) { return std::bit_cast<double>(r); }
inline uint64_t bitsd(double v) { return std::bit_cast<uint64_t>(v); }

// f32 in the low 4 bytes of a register; writers keep the upper half of old.
inline float lf(uint64_t v) { return std::bit_cast<float>(static_cast<uint32_t>(v)); }
inline uint64_t wf(uint64_t old, float v) { return (old & 0xFFFFFFFF00000000ull) | std::bit_cast<uint32_t>(v); }

inline uint64_t mulhi(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    return static_cast<uint64_t>((static_cast<unsigned __int128>(a) * b) >> 64);
#else
    const uint64_t al = a & 0xFFFFFFFFu, ah = a >> 32, bl = b & 0xFFFFFFFFu, bh = b >> 32;
    const uint64_t ll = al * bl, lh = al * bh, hl = ah * bl, hh = ah * bh;
    const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    return hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
#endif
}

// Signed 32-bit division by a constant through its multiplier; the magnitude
// is taken on 32 bits so -2147483648 needs no special case.
inline uint32_t abs32(uint64_t x) {
    const uint32_t lo = static_cast<uint32_t>(x);
    return s64(x) < 0 ? 0u - lo : lo;
}

// Byte address base + off without pointer-overflow arithmetic.
inline uint8_t* at(const uint8_t* base, uint64_t off) {
    return reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(base) + static_cast<uintptr_t>(off));
}
inline uint8_t* at(uint64_t addr) { return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(addr)); }

}  // namespace lumk_bits
