// The check that keeps a cut-short or foreign file from the Windows loader:
// a crafted DLL, every truncation of it, broken header fields and random
// bytes. Pure, so it runs on every platform; the Windows tests also feed it
// a real image and load the crafted one.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kernel/exec/pe_image.h"
#include "tests/kernel/pe_test_image.h"

namespace {

// The check on exactly these bytes: a buffer of their size, so that a read
// past its end shows under AddressSanitizer.
std::string problem(const std::vector<unsigned char>& bytes, size_t size) {
    std::vector<unsigned char> exact(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    return lumk_pe_image_problem(exact.empty() ? nullptr : exact.data(), exact.size());
}
std::string problem(const std::vector<unsigned char>& bytes) { return problem(bytes, bytes.size()); }

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(PeImage, WholeImageIsAcceptedAndEveryTruncationRefused) {
    const std::vector<unsigned char> dll = petest::dll();
    EXPECT_EQ(problem(dll), "");
    for (size_t size = 0; size < dll.size(); ++size) {
        const std::string why = problem(dll, size);
        ASSERT_TRUE(has(why, "it is not a whole library")) << size << " bytes: " << why;
        ASSERT_TRUE(has(why, "a " + std::to_string(size) + "-byte file")) << why;
    }
    EXPECT_EQ(problem(dll, 0), "it is not a whole library (a 0-byte file is too short for a Windows image)");
    EXPECT_EQ(problem(dll, 0x300), "it is not a whole library (section .text ends at byte 1024 of a 768-byte file)");
    EXPECT_EQ(problem(dll, 0x1a0), "it is not a whole library (the header block ends at byte 512 of a 416-byte file)");
    EXPECT_EQ(problem(dll, 0x100), "it is not a whole library (the optional header ends at byte 328 of a 256-byte file)");

    // Bytes after the last section (a signature, or a compiler's padding)
    // do not matter.
    std::vector<unsigned char> longer = dll;
    longer.resize(dll.size() + 100, 0xee);
    EXPECT_EQ(problem(longer), "");
}

TEST(PeImage, TablesAddressedByFileOffsetMustBeInside) {
    using petest::put32;
    // A symbol table of 2 symbols at 0x600, then a string table of 10 bytes.
    std::vector<unsigned char> dll = petest::dll();
    put32(dll, petest::kFileHeader + 8, 0x600);
    put32(dll, petest::kFileHeader + 12, 2);
    dll.resize(0x600 + 36 + 10, 0);
    put32(dll, 0x600 + 36, 10);
    EXPECT_EQ(problem(dll), "");
    EXPECT_EQ(problem(dll, dll.size() - 1),
              "it is not a whole library (the string table ends at byte 1582 of a 1581-byte file)");
    EXPECT_EQ(problem(dll, 0x600 + 36 + 3),
              "it is not a whole library (the symbol table ends at byte 1576 of a 1575-byte file)");
    // A certificate table past the end.
    std::vector<unsigned char> signed_dll = petest::dll();
    put32(signed_dll, petest::kOptional + 112 + 8 * 4, 0x600);
    put32(signed_dll, petest::kOptional + 112 + 8 * 4 + 4, 0x20);
    EXPECT_EQ(problem(signed_dll),
              "it is not a whole library (the certificate table ends at byte 1568 of a 1536-byte file)");
    signed_dll.resize(0x620, 0);
    EXPECT_EQ(problem(signed_dll), "");
}

TEST(PeImage, ForeignOrImplausibleHeadersAreRefused) {
    using petest::put16;
    using petest::put32;
    auto with = [](auto change) {
        std::vector<unsigned char> dll = petest::dll();
        change(dll);
        return problem(dll);
    };
    EXPECT_EQ(with([](auto& b) { b[1] = 'X'; }), "it is not a Windows image (no \"MZ\" at the start)");
    EXPECT_EQ(with([](auto& b) { b[petest::kPeAt + 2] = 1; }), "it is not a Windows image (no \"PE\" signature)");
    EXPECT_EQ(with([](auto& b) { put16(b, petest::kFileHeader, 0x14c); }),
              "it is not an x86-64 image (machine 0x14c)");
    EXPECT_EQ(with([](auto& b) { put16(b, petest::kFileHeader + 2, 0); }),
              "it is not a plausible image (0 sections)");
    EXPECT_EQ(with([](auto& b) { put16(b, petest::kFileHeader + 2, 97); }),
              "it is not a plausible image (97 sections)");
    EXPECT_EQ(with([](auto& b) { put16(b, petest::kFileHeader + 16, 111); }),
              "it is not a plausible image (optional header of 111 bytes)");
    EXPECT_EQ(with([](auto& b) { put16(b, petest::kOptional, 0x10b); }),
              "it is not a 64-bit image (optional header magic 0x10b)");
    EXPECT_EQ(with([](auto& b) { put32(b, petest::kOptional + 108, 17); }),
              "it is not a plausible image (17 data directories)");
    // More directories than the optional header holds.
    EXPECT_EQ(with([](auto& b) { put16(b, petest::kFileHeader + 16, 112 + 8 * 15); }),
              "it is not a plausible image (16 data directories)");

    // Offsets near 4 GiB: no sum wraps around to something that looks inside.
    EXPECT_EQ(with([](auto& b) { put32(b, 0x3c, 0xfffffff0u); }),
              "it is not a whole library (the PE header ends at byte 4294967304 of a 1536-byte file)");
    EXPECT_EQ(with([](auto& b) {
                  put32(b, petest::kSections + 16, 0xffffffffu);
                  put32(b, petest::kSections + 20, 0xffffffffu);
              }),
              "it is not a whole library (section .text ends at byte 8589934590 of a 1536-byte file)");
    EXPECT_EQ(with([](auto& b) {
                  put32(b, petest::kFileHeader + 8, 0x500);
                  put32(b, petest::kFileHeader + 12, 0xffffffffu);
              }),
              "it is not a whole library (the symbol table ends at byte 77309412594 of a 1536-byte file)");
    // Section names are shown printable.
    EXPECT_EQ(with([](auto& b) {
                  b[petest::kSections + 40 + 1] = 0x07;
                  put32(b, petest::kSections + 40 + 16, 0x1000);
              }),
              "it is not a whole library (section .?eloc ends at byte 5120 of a 1536-byte file)");
}

TEST(PeImage, RandomBytesAndDamagedHeadersAreHandled) {
    std::mt19937 rng(20240611);
    for (size_t size : {1u, 2u, 63u, 64u, 65u, 200u, 4096u}) {
        std::vector<unsigned char> noise(size);
        for (auto& c : noise) c = static_cast<unsigned char>(rng());
        EXPECT_NE(problem(noise), "") << size;
        noise[0] = 'M';
        if (size > 1) noise[1] = 'Z';
        EXPECT_NE(problem(noise), "") << size;
    }
    // Random header bytes of an otherwise whole image, at random lengths:
    // never a read outside the bytes (AddressSanitizer shows one).
    const std::vector<unsigned char> dll = petest::dll();
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> b = dll;
        const int flips = 1 + static_cast<int>(rng() % 6);
        for (int i = 0; i < flips; ++i) b[rng() % (petest::kSections + 80)] = static_cast<unsigned char>(rng());
        const size_t size = (rng() % 4 == 0) ? rng() % (b.size() + 1) : b.size();
        (void)problem(b, size);
    }
}
