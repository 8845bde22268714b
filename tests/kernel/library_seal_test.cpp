// The checksum trailer of published kernel libraries, on bytes in memory:
// what a sealed file is, and each way a file fails to be one.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "kernel/exec/library_seal.h"

namespace {

lumk_seal_reader reader_of(const std::string& bytes) {
    return [&bytes](uint64_t at, void* out, size_t n) {
        if (at > bytes.size() || n > bytes.size() - at) return false;
        std::memcpy(out, bytes.data() + at, n);
        return true;
    };
}

std::string sealed(const std::string& contents) {
    std::array<unsigned char, lumk_seal_size> trailer{};
    EXPECT_TRUE(lumk_seal_make(contents.size(), reader_of(contents), &trailer));
    return contents + std::string(trailer.begin(), trailer.end());
}

std::string problem(const std::string& bytes) { return lumk_seal_problem(bytes.size(), reader_of(bytes)); }

}  // namespace

TEST(LibrarySeal, SealedContentsPassAndEveryDamageIsNamed) {
    const std::string none = "it has no checksum (a library of an earlier version, or its end is damaged)";
    const std::string mismatch = "it is damaged (its checksum does not match its contents)";
    std::string contents(200000, '\0');  // more than one chunk of reading
    for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 + i / 300);
    const std::string good = sealed(contents);
    ASSERT_EQ(good.size(), contents.size() + lumk_seal_size);
    EXPECT_EQ(problem(good), "");
    EXPECT_EQ(problem(sealed("")), "");

    std::string flipped = good;
    flipped[123456] ^= 1;
    std::string zeroed = good;  // the later half lost, the trailer kept
    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(contents.size() / 2), zeroed.end() - lumk_seal_size, '\0');
    std::string wrong_length = good;  // the covered length one short
    wrong_length[contents.size()] = static_cast<char>(wrong_length[contents.size()] - 1);
    struct damage {
        const char* name;
        std::string bytes, why;
    };
    for (const damage& d : {damage{"flipped", flipped, mismatch}, damage{"zeroed", zeroed, mismatch},
                            damage{"no trailer", contents, none}, damage{"appended", good + "x", none},
                            damage{"cut", good.substr(0, good.size() - 1), none},
                            damage{"wrong length", wrong_length, none}, damage{"short", "abc", none},
                            damage{"empty", "", none}})
        EXPECT_EQ(problem(d.bytes), d.why) << d.name;

    // a file that cannot be read is not taken for a sealed one
    const lumk_seal_reader failing = [](uint64_t, void*, size_t) { return false; };
    EXPECT_EQ(lumk_seal_problem(good.size(), failing), "it cannot be read");
    std::array<unsigned char, lumk_seal_size> trailer{};
    EXPECT_FALSE(lumk_seal_make(10, failing, &trailer));
}
