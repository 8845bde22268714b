// The check that keeps a cut-short or foreign file from the Windows loader,
// on a crafted DLL. Pure, so it runs on every platform; the Windows tests
// also feed it a real image and load the crafted one.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kernel/exec/pe_image.h"
#include "tests/kernel/pe_test_image.h"

namespace {

// The check on a buffer of exactly `size` bytes, so that AddressSanitizer
// sees any read past them.
std::string problem(const std::vector<unsigned char>& bytes, size_t size) {
    std::vector<unsigned char> exact(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    return lumk_pe_image_problem(exact.empty() ? nullptr : exact.data(), exact.size());
}

std::string changed(const std::function<void(std::vector<unsigned char>&)>& change) {
    std::vector<unsigned char> b = petest::dll();
    change(b);
    return problem(b, b.size());
}

}  // namespace

TEST(PeImage, WholeImageIsAcceptedAndEveryTruncationRefused) {
    const std::vector<unsigned char> dll = petest::dll();
    EXPECT_EQ(problem(dll, dll.size()), "");
    for (size_t size = 0; size < dll.size(); ++size) {
        const std::string why = problem(dll, size);
        ASSERT_EQ(why.rfind("it is not a whole library (", 0), 0u) << size << ": " << why;
        ASSERT_NE(why.find("a " + std::to_string(size) + "-byte file"), std::string::npos) << why;
    }
    EXPECT_EQ(problem(dll, 0), "it is not a whole library (a 0-byte file is too short for a Windows image)");
    EXPECT_EQ(problem(dll, 0x300), "it is not a whole library (section .text ends at byte 1024 of a 768-byte file)");
    EXPECT_EQ(problem(dll, 0x1a0), "it is not a whole library (the header block ends at byte 512 of a 416-byte file)");
    // Bytes after the last section (a signature, padding) do not matter;
    // tables addressed by file offset must be inside.
    using petest::put;
    EXPECT_EQ(changed([](auto& b) { b.resize(0x700, 0xee); }), "");
    EXPECT_EQ(changed([](auto& b) { put(b, petest::kFileHeader + 8, 0x600); }),
              "it is not a whole library (the symbol table ends at byte 1540 of a 1536-byte file)");
    EXPECT_EQ(changed([](auto& b) { put(b, petest::kFileHeader + 8, 0x5f0), put(b, 0x5f0, 0x20); }),
              "it is not a whole library (the string table ends at byte 1552 of a 1536-byte file)");
    EXPECT_EQ(changed([](auto& b) { put(b, petest::kOptional + 144, 0x600), put(b, petest::kOptional + 148, 0x20); }),
              "it is not a whole library (the certificate table ends at byte 1568 of a 1536-byte file)");
}

TEST(PeImage, ForeignOrImplausibleHeadersAreRefused) {
    using petest::kFileHeader;
    using petest::kOptional;
    using petest::kSections;
    using petest::put;
    const struct {
        std::function<void(std::vector<unsigned char>&)> change;
        const char* why;
    } cases[] = {
        {[](auto& b) { b[1] = 'X'; }, "it is not a Windows image (no \"MZ\" at the start)"},
        {[](auto& b) { b[0x42] = 1; }, "it is not a Windows image (no \"PE\" signature)"},
        {[](auto& b) { put(b, kFileHeader, 0x14c, 2); }, "it is not an x86-64 image (machine 0x14c)"},
        {[](auto& b) { put(b, kFileHeader + 2, 0, 2); }, "it is not a plausible image (0 sections)"},
        {[](auto& b) { put(b, kFileHeader + 2, 97, 2); }, "it is not a plausible image (97 sections)"},
        {[](auto& b) { put(b, kFileHeader + 16, 111, 2); }, "it is not a plausible image (optional header of 111 bytes)"},
        {[](auto& b) { put(b, kOptional, 0x10b, 2); }, "it is not a 64-bit image (optional header magic 0x10b)"},
        {[](auto& b) { put(b, kOptional + 108, 17); }, "it is not a plausible image (17 data directories)"},
        {[](auto& b) { put(b, kFileHeader + 16, 232, 2); }, "it is not a plausible image (16 data directories)"},
        // Offsets near 4 GiB: no sum wraps around to something inside.
        {[](auto& b) { put(b, 0x3c, 0xfffffff0u); },
         "it is not a whole library (the PE header ends at byte 4294967304 of a 1536-byte file)"},
        {[](auto& b) { put(b, kSections + 16, 0xffffffffu), put(b, kSections + 20, 0xffffffffu); },
         "it is not a whole library (section .text ends at byte 8589934590 of a 1536-byte file)"},
        {[](auto& b) { put(b, kFileHeader + 8, 0x500), put(b, kFileHeader + 12, 0xffffffffu); },
         "it is not a whole library (the symbol table ends at byte 77309412594 of a 1536-byte file)"},
        {[](auto& b) { b[kSections + 41] = 7, put(b, kSections + 56, 0x1000); },
         "it is not a whole library (section .?eloc ends at byte 5120 of a 1536-byte file)"},
    };
    for (const auto& c : cases) EXPECT_EQ(changed(c.change), c.why);
}

TEST(PeImage, RandomBytesAndDamagedHeadersAreHandled) {
    std::mt19937 rng(20240611);
    for (size_t size : {1u, 2u, 63u, 64u, 65u, 200u, 4096u}) {
        std::vector<unsigned char> noise(size);
        for (auto& c : noise) c = static_cast<unsigned char>(rng());
        EXPECT_NE(problem(noise, size), "") << size;
        noise[0] = 'M';
        if (size > 1) noise[1] = 'Z';
        EXPECT_NE(problem(noise, size), "") << size;
    }
    // Random header bytes of a whole image, at random lengths: no read
    // outside the bytes (AddressSanitizer shows one).
    const std::vector<unsigned char> dll = petest::dll();
    for (int round = 0; round < 3000; ++round) {
        std::vector<unsigned char> b = dll;
        for (int i = 1 + static_cast<int>(rng() % 6); i > 0; --i)
            b[rng() % (petest::kSections + 80)] = static_cast<unsigned char>(rng());
        (void)problem(b, rng() % 4 == 0 ? rng() % (b.size() + 1) : b.size());
    }
}
