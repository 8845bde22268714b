#include "kernel/exec/pe_image.h"

#include <cstdint>
#include <cstdio>

namespace {

// Little-endian fields, read only after the caller has made sure that they
// lie inside the buffer.
uint32_t u16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8; }
uint32_t u32(const unsigned char* p) { return u16(p) | u16(p + 2) << 16; }

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", v);
    return text;
}

// A section's 8-byte name for messages (unprintable bytes as '?').
std::string section_name(const unsigned char* p) {
    std::string name;
    for (int i = 0; i < 8 && p[i] != 0; ++i) name += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '?';
    return name.empty() ? "(unnamed)" : name;
}

constexpr uint32_t kMachineX64 = 0x8664;
constexpr uint32_t kMagicPe32Plus = 0x20b;
constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kFileHeaderSize = 20;
constexpr uint64_t kOptionalFixedSize = 112;  // PE32+ optional header before its data directories
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint64_t kSymbolSize = 18;
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kCertificateDirectory = 4;

}  // namespace

std::string lumk_pe_image_problem(const unsigned char* data, size_t size_in) {
    // Offsets are 32-bit fields; sums of them are done in 64 bits, so none
    // can wrap around.
    const uint64_t size = size_in;
    const std::string file = "a " + std::to_string(size) + "-byte file";
    auto past_end = [&](const std::string& what, uint64_t end) {
        return "it is not a whole library (" + what + " ends at byte " + std::to_string(end) + " of " + file + ")";
    };
    if (size < kDosHeaderSize) return "it is not a whole library (" + file + " is too short for a Windows image)";
    if (data[0] != 'M' || data[1] != 'Z') return "it is not a Windows image (no \"MZ\" at the start)";
    const uint64_t pe = u32(data + 0x3c);
    const uint64_t file_header = pe + 4;
    if (file_header + kFileHeaderSize > size) return past_end("the PE header", file_header + kFileHeaderSize);
    if (data[pe] != 'P' || data[pe + 1] != 'E' || data[pe + 2] != 0 || data[pe + 3] != 0)
        return "it is not a Windows image (no \"PE\" signature)";
    const unsigned char* fh = data + file_header;
    const uint32_t machine = u16(fh);
    const uint32_t sections = u16(fh + 2);
    const uint64_t symbols_at = u32(fh + 8);
    const uint64_t symbols = u32(fh + 12);
    const uint64_t optional_size = u16(fh + 16);
    if (machine != kMachineX64) return "it is not an x86-64 image (machine " + hex(machine) + ")";
    if (sections == 0 || sections > kMaxSections)
        return "it is not a plausible image (" + std::to_string(sections) + " sections)";

    const uint64_t optional = file_header + kFileHeaderSize;
    if (optional_size < kOptionalFixedSize)
        return "it is not a plausible image (optional header of " + std::to_string(optional_size) + " bytes)";
    if (optional + optional_size > size) return past_end("the optional header", optional + optional_size);
    const unsigned char* oh = data + optional;
    if (u16(oh) != kMagicPe32Plus) return "it is not a 64-bit image (optional header magic " + hex(u16(oh)) + ")";
    const uint64_t headers_size = u32(oh + 60);
    const uint32_t directories = u32(oh + 108);
    if (directories > kMaxDirectories || kOptionalFixedSize + 8ull * directories > optional_size)
        return "it is not a plausible image (" + std::to_string(directories) + " data directories)";

    const uint64_t table = optional + optional_size;
    const uint64_t table_end = table + kSectionHeaderSize * sections;
    if (table_end > size) return past_end("the section table", table_end);
    if (headers_size > size) return past_end("the header block", headers_size);
    for (uint32_t i = 0; i < sections; ++i) {
        const unsigned char* sh = data + table + kSectionHeaderSize * i;
        const uint64_t raw_size = u32(sh + 16);
        const uint64_t raw_at = u32(sh + 20);
        if (raw_size != 0 && raw_at + raw_size > size) return past_end("section " + section_name(sh), raw_at + raw_size);
    }

    // The symbol table and the string table after it (the linker's last
    // bytes when there is one): its first 4 bytes give the string table's size.
    if (symbols_at != 0) {
        const uint64_t strings = symbols_at + kSymbolSize * symbols;
        if (strings + 4 > size) return past_end("the symbol table", strings + 4);
        const uint64_t strings_end = strings + u32(data + strings);
        if (strings_end > size) return past_end("the string table", strings_end);
    }
    // The certificate table is addressed by file offset, not loaded.
    if (directories > kCertificateDirectory) {
        const unsigned char* dir = oh + kOptionalFixedSize + 8 * kCertificateDirectory;
        const uint64_t at = u32(dir), bytes = u32(dir + 4);
        if (bytes != 0 && at + bytes > size) return past_end("the certificate table", at + bytes);
    }
    return {};
}
