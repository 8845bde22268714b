// Whether the bytes of a file make a whole x86-64 Windows image (a DLL as the
// C compiler writes it). A library cut short (a crash or a full disk while it
// was copied or written) must never reach the loader. Pure and the same on
// every platform.
#pragma once

#include <cstddef>
#include <string>

// Why `size` bytes cannot be a whole 64-bit x86-64 PE image: "" when the DOS
// and PE headers, the section table, every section's data, the COFF symbol
// table with its string table and the certificate table all lie inside them
// and the counts are plausible. `data` may be null when `size` is 0.
std::string lumk_pe_image_problem(const unsigned char* data, size_t size);
