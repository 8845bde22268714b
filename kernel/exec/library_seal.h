// The checksum a compiled kernel library carries in the cache folder: a
// trailer appended to the library file when it is published, which the ELF
// and PE loaders never read (they map only what the headers name). Checked
// before a cached library is loaded, it catches what the structure checks
// cannot see: a library of full length whose contents were lost (zeroed
// after a crash, a preallocated restore that stopped, a media error) or
// changed. The same on every platform; the platform files read and write the
// bytes through the descriptor or view they already hold.
//
// Trailer (24 bytes, integers little-endian):
//   covered length (8) | XXH3-64 of the first `covered` bytes (8) | "lumkSeal" (8)
// It is valid only at the very end of a file of exactly covered + 24 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

inline constexpr size_t lumk_seal_size = 24;

// Reads `n` bytes at `offset` of the file into `out`; false when it cannot.
using lumk_seal_reader = std::function<bool(uint64_t offset, void* out, size_t n)>;

// The trailer for a file of `size` bytes (its current contents), read through
// `read`; false when a read fails.
bool lumk_seal_make(uint64_t size, const lumk_seal_reader& read, std::array<unsigned char, lumk_seal_size>* trailer);

// Why a file of `size` bytes, trailer included, does not carry a valid
// checksum of its contents ("" when it does).
std::string lumk_seal_problem(uint64_t size, const lumk_seal_reader& read);
