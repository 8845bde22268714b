// A minimal x86-64 Windows DLL built byte by byte: headers, a code section
// holding one `ret` and a relocation section with one empty block; no
// imports, no exports, no entry point, so the loader maps it and runs
// nothing. 0x600 bytes, every one of them needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace petest {

// Where the fields the tests change are.
constexpr size_t kPeAt = 0x40;                 // "PE\0\0"
constexpr size_t kFileHeader = kPeAt + 4;      // machine, section count, ...
constexpr size_t kOptional = kFileHeader + 20; // PE32+ optional header
constexpr size_t kSections = kOptional + 240;  // two 40-byte section headers
constexpr size_t kImageSize = 0x600;

inline void put16(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    b[at] = static_cast<unsigned char>(v);
    b[at + 1] = static_cast<unsigned char>(v >> 8);
}
inline void put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xffff);
    put16(b, at + 2, v >> 16);
}

inline std::vector<unsigned char> dll() {
    std::vector<unsigned char> b(kImageSize, 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3c, kPeAt);
    b[kPeAt] = 'P';
    b[kPeAt + 1] = 'E';
    put16(b, kFileHeader + 0, 0x8664);  // x86-64
    put16(b, kFileHeader + 2, 2);       // sections
    put16(b, kFileHeader + 16, 240);    // optional header size
    put16(b, kFileHeader + 18, 0x2022); // executable, large addresses, DLL
    const size_t o = kOptional;
    put16(b, o + 0, 0x20b);  // PE32+
    put32(b, o + 4, 0x200);  // size of code
    put32(b, o + 20, 0x1000); // base of code
    put32(b, o + 24, 0x80000000u);  // image base 0x180000000
    put32(b, o + 28, 0x1);
    put32(b, o + 32, 0x1000); // section alignment
    put32(b, o + 36, 0x200);  // file alignment
    put16(b, o + 40, 6);      // OS version 6.0
    put16(b, o + 48, 6);      // subsystem version 6.0
    put32(b, o + 56, 0x3000); // size of image
    put32(b, o + 60, 0x200);  // size of headers
    put16(b, o + 68, 3);      // console subsystem
    put16(b, o + 70, 0x160);  // high-entropy VA, dynamic base, NX
    put32(b, o + 72, 0x100000);  // stack reserve
    put32(b, o + 80, 0x1000);    // stack commit
    put32(b, o + 88, 0x100000);  // heap reserve
    put32(b, o + 96, 0x1000);    // heap commit
    put32(b, o + 108, 16);       // data directories
    put32(b, o + 112 + 8 * 5, 0x2000);  // base relocations
    put32(b, o + 112 + 8 * 5 + 4, 8);
    auto section = [&](size_t at, const char* name, uint32_t vsize, uint32_t rva, uint32_t raw, uint32_t flags) {
        for (size_t i = 0; name[i] != 0; ++i) b[at + i] = static_cast<unsigned char>(name[i]);
        put32(b, at + 8, vsize);
        put32(b, at + 12, rva);
        put32(b, at + 16, 0x200);
        put32(b, at + 20, raw);
        put32(b, at + 36, flags);
    };
    section(kSections, ".text", 1, 0x1000, 0x200, 0x60000020);       // code, execute, read
    section(kSections + 40, ".reloc", 8, 0x2000, 0x400, 0x42000040);  // data, discardable, read
    b[0x200] = 0xc3;            // ret
    put32(b, 0x400, 0x1000);    // relocation block for page 0x1000 ...
    put32(b, 0x404, 8);         // ... with no entries
    return b;
}

}  // namespace petest
