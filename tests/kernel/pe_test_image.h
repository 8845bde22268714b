// A minimal x86-64 Windows DLL built byte by byte: headers, a code section
// holding one `ret` and a relocation section with one empty block; no
// imports, exports or entry point, so the loader maps it and runs nothing.
// 0x600 bytes, every one of them needed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace petest {

constexpr size_t kFileHeader = 0x44;           // after "PE\0\0" at 0x40
constexpr size_t kOptional = kFileHeader + 20; // PE32+ optional header
constexpr size_t kSections = kOptional + 240;  // two 40-byte section headers

inline void put(std::vector<unsigned char>& b, size_t at, uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

inline std::vector<unsigned char> dll() {
    std::vector<unsigned char> b(0x600, 0);
    const size_t o = kOptional, s = kSections;
    struct field { size_t at; uint32_t value; int bytes; };
    const field fields[] = {
        {0, 'M' | 'Z' << 8, 2}, {0x3c, 0x40, 4}, {0x40, 'P' | 'E' << 8, 4},
        {kFileHeader, 0x8664, 2}, {kFileHeader + 2, 2, 2}, {kFileHeader + 16, 240, 2},
        {kFileHeader + 18, 0x2022, 2},  // executable, large addresses, DLL
        {o, 0x20b, 2}, {o + 4, 0x200, 4}, {o + 20, 0x1000, 4}, {o + 24, 0x80000000u, 4}, {o + 28, 1, 4},
        {o + 32, 0x1000, 4}, {o + 36, 0x200, 4}, {o + 40, 6, 2}, {o + 48, 6, 2},  // alignments, versions
        {o + 56, 0x3000, 4}, {o + 60, 0x200, 4}, {o + 68, 3, 2}, {o + 70, 0x160, 2},  // sizes, console, ASLR/NX
        {o + 72, 0x100000, 4}, {o + 80, 0x1000, 4}, {o + 88, 0x100000, 4}, {o + 96, 0x1000, 4},  // stack, heap
        {o + 108, 16, 4}, {o + 112 + 8 * 5, 0x2000, 4}, {o + 112 + 8 * 5 + 4, 8, 4},  // relocation directory
        {s, '.' | 't' << 8 | 'e' << 16 | 'x' << 24, 4}, {s + 4, 't', 4}, {s + 8, 1, 4}, {s + 12, 0x1000, 4},
        {s + 16, 0x200, 4}, {s + 20, 0x200, 4}, {s + 36, 0x60000020, 4},  // code, execute, read
        {s + 40, '.' | 'r' << 8 | 'e' << 16 | 'l' << 24, 4}, {s + 44, 'o' | 'c' << 8, 4}, {s + 48, 8, 4},
        {s + 52, 0x2000, 4}, {s + 56, 0x200, 4}, {s + 60, 0x400, 4}, {s + 76, 0x42000040, 4},  // data, read
        {0x200, 0xc3, 1}, {0x400, 0x1000, 4}, {0x404, 8, 4},  // ret; an empty relocation block
    };
    for (const field& f : fields) put(b, f.at, f.value, f.bytes);
    return b;
}

// The same DLL exporting `lumk_jit_entry` (xor eax, eax; ret), as a kernel
// library: the export directory lies in the code section after the code.
inline std::vector<unsigned char> dll_with_entry() {
    std::vector<unsigned char> b = dll();
    const size_t o = kOptional, s = kSections;
    put(b, s + 8, 0x70);                                      // the section's size in memory
    put(b, o + 112, 0x1010), put(b, o + 116, 0x60);           // export directory
    put(b, 0x200, 0xc3c031, 3);                               // the code
    put(b, 0x21c, 0x1060), put(b, 0x220, 1), put(b, 0x224, 1), put(b, 0x228, 1);  // name, base, counts
    put(b, 0x22c, 0x1040), put(b, 0x230, 0x1044), put(b, 0x234, 0x1048);         // the three tables
    put(b, 0x240, 0x1000), put(b, 0x244, 0x1050), put(b, 0x248, 0, 2);           // address, name, ordinal
    const char entry[] = "lumk_jit_entry", module[] = "k.dll";
    std::copy(entry, entry + sizeof entry, b.begin() + 0x250);
    std::copy(module, module + sizeof module, b.begin() + 0x260);
    return b;
}

}  // namespace petest
