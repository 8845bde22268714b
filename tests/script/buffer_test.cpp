// std.buffer from script code: the nine methods, byte indexing, the text form
// and every refusal that does not need a running launch.

#include <cstring>
#include <random>

#include "kernel/script/test_control.h"
#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

V at(const V& b, int64_t i) { return b->object_raw()->get_member(i); }
void put(const V& b, int64_t i, int v) { b->object_raw()->set_member(i, V::from_int(v)); }
size_t text_size(const V& v) { return v->to_std_string().size(); }

TEST(KernelBuffer, MethodsAndByteIndexing) {
    session s;
    V b = fn("buffer");
    EXPECT_EQ(show(m(b, "size"), "[" + m(b, "string")->to_std_string() + "]"), "0 []");
    EXPECT_EQ(show(m(m(b, "push", 65, 0, 66), "size")), "3");
    EXPECT_EQ(show(text_size(m(b, "string")), show(b).size()), "3 1");  // std.string stops at the zero byte
    EXPECT_EQ(show(at(b, 0), at(b, -1), at(b, 3), at(b, -4)), "65 66  ");
    put(b, 1, 300);
    EXPECT_EQ(show(at(b, 1)), "44");
    put(b, 3, 1);
    put(b, -4, 1);
    EXPECT_EQ(errors(), "Index 3 is out of range!\nIndex -4 is out of range!");
    put(b, -1, -1);
    EXPECT_EQ(show(at(b, 2)), "255");
    EXPECT_EQ(show(m(m(b, "clear"), "size")), "0");
    m(b, "resize", 4, 257);
    EXPECT_EQ(show(at(b, 0), at(b, 3), m(b, "size")), "1 1 4");
    EXPECT_EQ(show(m(m(b, "resize", 2), "size")), "2");
    m(b, "resize", 3);
    EXPECT_EQ(show(at(b, 0), at(b, 2)), "1 0");  // the fill byte defaults to 0
    m(b, "resize", 2);
    EXPECT_EQ(fails(m(b, "resize", 2.0)), "resize() expects a size >= 0");
    EXPECT_EQ(fails(m(b, "resize", -1)), "resize() expects a size >= 0");
    EXPECT_EQ(fails(m(b, "resize", 2000000000)), "resize() size 2000000000 is too large (at most 1073741824 bytes)");
    m(b, "fill", 7);
    EXPECT_EQ(show(at(b, 0), at(b, 1)), "7 7");
    EXPECT_EQ(show(m(m(b, "append", b), "size")), "4");
    m(b, "append", json("[1, 300, -1]"));
    EXPECT_EQ(show(at(b, 4), at(b, 5), at(b, 6)), "1 44 255");
    m(b, "append", "AZ");
    EXPECT_EQ(show(at(b, 7), at(b, 8), at(b, 3)), "65 90 7");
    EXPECT_EQ(fails(m(b, "append", 5)), "append() expects a std.buffer, a string or a list of byte values");
    EXPECT_EQ(m(b, "string", 7)->to_std_string(), "AZ");
    EXPECT_EQ(m(b, "string", 4, 3)->to_std_string(), std::string("\x01,\xff"));
    EXPECT_EQ(show(text_size(m(b, "string", 2, 3)), text_size(m(b, "string", 9, 0))), "3 0");
    EXPECT_EQ(fails(m(b, "string", 10)), "string(10, -1) is out of range (buffer size 9)");
    EXPECT_EQ(fails(m(b, "string", -1, 2)), "string(-1, 2) is out of range (buffer size 9)");
    EXPECT_EQ(fails(m(b, "string", 0, 100)), "string(0, 100) is out of range (buffer size 9)");
    EXPECT_EQ(fails(m(b, "string", 8, 2)), "string(8, 2) is out of range (buffer size 9)");
    EXPECT_EQ(show(fn("buffer")), "");
}

// push and append stop at the byte limit that resize keeps, with the same
// refusal and nothing changed (b.append(b) cannot double a buffer past it).
// The limit is lowered so that no gigabyte is needed to reach it.
TEST(KernelBuffer, GrowthStopsAtTheByteLimit) {
    session s;
    struct limit_scope {
        uint64_t saved = lum_std_buffer_max_bytes.exchange(8);
        ~limit_scope() { lum_std_buffer_max_bytes.store(saved); }
    } limit;
    V b = fn("buffer");
    m(m(b, "push", 1, 2, 3, 4), "append", b);
    EXPECT_EQ(show(m(b, "size")), "8");  // exactly the limit
    EXPECT_EQ(fails(m(b, "append", b)), "append() size 16 is too large (at most 8 bytes)");
    EXPECT_EQ(fails(m(b, "push", 9)), "push() size 9 is too large (at most 8 bytes)");
    EXPECT_EQ(fails(m(b, "append", "x")), "append() size 9 is too large (at most 8 bytes)");
    EXPECT_EQ(fails(m(b, "append", list(1, 2))), "append() size 10 is too large (at most 8 bytes)");
    EXPECT_EQ(fails(m(b, "resize", 9)), "resize() size 9 is too large (at most 8 bytes)");
    EXPECT_EQ(lumvar_to_std_buffer(b.get())->bytes, (std::vector<uint8_t>{1, 2, 3, 4, 1, 2, 3, 4}));
    m(b, "append", "");  // nothing added: fine at the limit
    m(b, "append", json("[]"));
    m(m(b, "resize", 6), "push", 7, 8);
    EXPECT_EQ(show(m(b, "size"), at(b, 7)), "8 8");
}

TEST(KernelBuffer, TypedElementsReadAndWrite) {
    session s;
    V c = buffer(16);
    m(c, "write", "u16", 0, 65535);
    m(c, "write", "i16", 1, -2);
    m(c, "write", "i32", 1, -5);
    m(c, "write", "f32", 2, 1.5);
    m(c, "write", "f64", 1, 2);
    EXPECT_EQ(show(m(c, "read", "u16", 0), m(c, "read", "i16", 1), m(c, "read", "u8", 2), m(c, "read", "i8", 2)),
              "65535 -2 254 -2");
    EXPECT_EQ(show(m(c, "read", "f64", 1), m(c, "read", "u64", 1), m(c, "read", "i64", 0), m(c, "read", "f32", 2)),
              "2.000000 4611686018427387904 -17179934721 0.000000");
    m(c, "write", "u64", 0, int64_t{9223372036854775807});
    EXPECT_EQ(show(m(c, "read", "u64", 0), m(c, "read", "u32", 1), m(c, "read", "i32", 1), m(c, "read", "i64", 1)),
              "9223372036854775807 2147483647 2147483647 4611686018427387904");
    const std::vector<uint8_t> kept = lumvar_to_std_buffer(c.get())->bytes;
    const std::pair<V, const char*> refusals[] = {
        {m(c, "write", "u8", 0, -1), "expects u8 but -1 does not fit"},
        {m(c, "write", "i32", 0, 2.5), "expects i32 but got float (convert with std.int(x))"},
        {m(c, "write", "bool", 0, 1), "unknown element type 'bool' (i8, u8, i16, u16, i32, u32, i64, u64, f32, f64)"},
        {m(c, "read", "struct", 0), "unknown element type 'struct' (i8, u8, i16, u16, i32, u32, i64, u64, f32, f64)"},
        {m(c, "read", "u16", 8), "index 8 is out of range (8 elements of u16)"},
        {m(c, "read", "u16", -1), "read() expects an element index >= 0"},
        {m(c, "write", "u16", 1.0, 1), "write() expects an element index >= 0"},
        {m(m(fn("buffer"), "push", 1, 2, 3), "read", "u16", 1), "index 1 is out of range (1 elements of u16)"},
    };
    const std::string all = errors();
    std::string expected;
    for (const auto& r : refusals) expected += (expected.empty() ? "" : "\n") + std::string(r.second);
    EXPECT_EQ(all, expected);
    for (const auto& r : refusals) EXPECT_EQ(r.first->type, LUMVAR_NONE) << r.second;
    EXPECT_EQ(lumvar_to_std_buffer(c.get())->bytes, kept);  // refusals write nothing
    EXPECT_EQ(show(m(m(fn("buffer"), "push", 1, 2, 3), "read", "u16", 0), m(c, "read", "u16", 7)), "513 16384");
}

// Random in-range values of every element type: write then read gives the
// value back, the element's bytes are its little-endian form, other bytes stay;
// one past the type's range is refused.
TEST(KernelBuffer, TypedWritesMatchLittleEndianStores) {
    session s;
    struct kind { const char* name; int size; bool is_signed; bool is_float; };
    const kind kinds[] = {{"i8", 1, true, false},  {"u8", 1, false, false},  {"i16", 2, true, false},
                          {"u16", 2, false, false}, {"i32", 4, true, false},  {"u32", 4, false, false},
                          {"i64", 8, true, false},  {"u64", 8, false, false}, {"f32", 4, true, true},
                          {"f64", 8, true, true}};
    std::mt19937_64 rng(20261207);
    V b = buffer(64);
    std::vector<uint8_t>& bytes = lumvar_to_std_buffer(b.get())->bytes;
    for (const kind& k : kinds) {
        for (int round = 0; round < 40; ++round) {
            const int64_t index = static_cast<int64_t>(rng() % (64 / k.size));
            std::vector<uint8_t> expected = bytes;
            uint8_t* at_index = expected.data() + index * k.size;
            V value;
            if (k.is_float) {
                const double d = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
                const float f = static_cast<float>(d);
                value = val(k.size == 4 ? static_cast<double>(f) : d);
                k.size == 4 ? std::memcpy(at_index, &f, 4) : std::memcpy(at_index, &d, 8);
            } else {
                const int shift = 64 - 8 * k.size + (k.size == 8 && !k.is_signed);
                const uint64_t bits = rng() >> shift;
                const int64_t v = k.is_signed ? static_cast<int64_t>(bits << shift) >> shift : static_cast<int64_t>(bits);
                value = val(v);
                std::memcpy(at_index, &v, k.size);
            }
            m(b, "write", k.name, index, value);
            EXPECT_EQ(bytes, expected) << k.name << " " << show(value);
            EXPECT_EQ(show(m(b, "read", k.name, index)), show(value)) << k.name;
        }
        if (k.is_float || k.size == 8) continue;
        const int64_t past = k.is_signed ? int64_t{1} << (8 * k.size - 1) : int64_t{1} << (8 * k.size);
        EXPECT_EQ(fails(m(b, "write", k.name, 0, past)), "expects " + std::string(k.name) + " but " + std::to_string(past) + " does not fit");
        if (k.is_signed) {
            EXPECT_EQ(fails(m(b, "write", k.name, 0, -past - 1)),
                      "expects " + std::string(k.name) + " but " + std::to_string(-past - 1) + " does not fit");
        }
    }
}

}  // namespace
