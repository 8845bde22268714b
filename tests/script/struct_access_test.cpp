// std.kernel_struct: layout and field paths, get/set/read/write by path over a
// std.buffer, their refusals, references as arguments, and the in-use
// refusals while a launch holds the buffer (count still answers).

#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

constexpr const char* in_use = "std.buffer is in use by a running kernel launch (call wait() on the launch first)";

V structs() {
    return compile("struct P { i16 x; i16 y; }\nstruct Item { u8 tag; P pos; P m[3]; f32 w; i8 s; }\n"
                   "struct Small { u8 a; u8 b; u8 c; u8 d; }", "s.k");
}

TEST(KernelStructAccess, LayoutAndFieldPaths) {
    session s;
    V S = get(structs(), "Item");
    EXPECT_EQ(show(S, m(S, "name"), m(S, "size")), "std.kernel_struct Item 22");
    EXPECT_EQ(show(m(S, "fields")),
              "[{\"count\": 0,\"name\": \"tag\",\"offset\": 0,\"size\": 1,\"type\": \"u8\"},"
              "{\"count\": 0,\"name\": \"pos\",\"offset\": 1,\"size\": 4,\"type\": \"P\"},"
              "{\"count\": 3,\"name\": \"m\",\"offset\": 5,\"size\": 12,\"type\": \"P\"},"
              "{\"count\": 0,\"name\": \"w\",\"offset\": 17,\"size\": 4,\"type\": \"f32\"},"
              "{\"count\": 0,\"name\": \"s\",\"offset\": 21,\"size\": 1,\"type\": \"i8\"}]");
    const std::pair<const char*, const char*> paths[] = {
        {"tag", "0"}, {"pos.x", "1"}, {"pos.y", "3"}, {"m[2]", "13"}, {"m[2].y", "15"}, {"m[0].y", "7"},
        {"pos.", "1"}, {".pos", "1"}, {"w", "17"}, {"", "0"}, {"s", "21"},
        {"m[3]", "array index 3 is out of bounds in 'm[3]'"},
        {"m[-1]", "array index -1 is out of bounds in 'm[-1]'"},
        {"pos[0]", "invalid field path 'pos[0]'"},
        {"m.x", "'x' in 'm.x' is not a struct field"},
        {"q", "struct 'Item' has no field 'q'"},
        {"m[1", "invalid field path 'm[1'"},
        {"tag.x", "'x' in 'tag.x' is not a struct field"},
    };
    for (const auto& [path, expected] : paths) {
        const std::string offset = show(m(S, "offset", path));
        const std::string error = errors();
        EXPECT_EQ(error.empty() ? offset : error, expected) << path;
    }
}

TEST(KernelStructAccess, GetSetReadWriteOverABuffer) {
    session s;
    V u = structs();
    V S = get(u, "Item");
    V b = buffer(2 * 22 + 3);
    EXPECT_EQ(show(m(S, "count", b)), "2");
    m(S, "set", b, 1, "pos.y", -7);
    m(S, "set", b, 1, "m[2].x", 300);
    m(S, "set", b, 1, "w", 2);
    m(S, "set", b, 0, "tag", 255);
    m(S, "set", b, 0, "s", -1);
    EXPECT_EQ(show(m(S, "get", b, 1, "pos.y"), m(S, "get", b, 1, "m[2].x"), m(S, "get", b, 1, "w"),
                   m(S, "get", b, 0, "tag"), m(S, "get", b, 0, "s"), m(S, "get", b, 1, "tag")),
              "-7 300 2.000000 255 -1 0");
    EXPECT_EQ(show(m(S, "read", b, 1)),
              "{\"m\": [{\"x\": 0,\"y\": 0},{\"x\": 0,\"y\": 0},{\"x\": 300,\"y\": 0}],"
              "\"pos\": {\"x\": 0,\"y\": -7},\"s\": 0,\"tag\": 0,\"w\": 2.0}");
    m(S, "write", b, 0, json("{\"pos\": {\"x\": 3, \"y\": 4}, \"m\": [{\"x\": 1}, {\"y\": 2}], \"w\": 0.25}"));
    EXPECT_EQ(show(m(S, "read", b, 0)),
              "{\"m\": [{\"x\": 1,\"y\": 0},{\"x\": 0,\"y\": 2},{\"x\": 0,\"y\": 0}],"
              "\"pos\": {\"x\": 3,\"y\": 4},\"s\": -1,\"tag\": 255,\"w\": 0.25}");
    m(S, "write", b, 0, json("{\"m\": [{\"x\": 9}, {\"x\": 8}, {\"x\": 7}, {\"x\": 6}]}"));
    EXPECT_EQ(show(m(S, "get", b, 0, "m[0].x"), m(S, "get", b, 0, "m[2].x"), m(S, "get", b, 0, "pos.x")), "9 7 3");
    EXPECT_EQ(fails(m(S, "write", b, 0, json("{\"tag\": 5, \"s\": 300}"))), "field 's' expects i8 but 300 does not fit");
    EXPECT_EQ(show(m(S, "get", b, 0, "tag")), "5");  // fields before the failing one stay
    const std::vector<uint8_t> kept = lumvar_to_std_buffer(b.get())->bytes;
    const std::pair<V, const char*> refusals[] = {
        {m(S, "write", b, 0, json("{\"m\": 5}")), "field 'm' expects a list"},
        {m(S, "write", b, 0, json("{\"pos\": 5}")), "field 'pos' expects a json object"},
        {m(S, "get", b, 0, "pos"), "get() needs a number field, 'pos' is a struct or an array (use read())"},
        {m(S, "get", b, 0, "m"), "get() needs a number field, 'm' is a struct or an array (use read())"},
        {m(S, "set", b, 0, "m", 1), "set() needs a number field, 'm' is a struct or an array (use write())"},
        {m(S, "get", b, 2, "tag"), "index 2 is out of range (2 structs in the buffer)"},
        {m(S, "get", b, -1, "tag"), "index -1 is out of range (2 structs in the buffer)"},
        {m(S, "get", b, 1.0, "tag"), "get() expects (buffer, index, field)"},
        {m(S, "get", 5, 0, "tag"), "get() expects (buffer, index, field)"},
        {m(S, "set", b, 0, "tag", 256), "expects u8 but 256 does not fit"},
        {m(S, "set", b, 0, "tag", 1.5), "expects u8 but got float (convert with std.int(x))"},
        {m(S, "set", "b", 0, "tag", 1), "set() expects (buffer, index, field, value)"},
        {m(S, "read", b, 2), "index 2 is out of range (2 structs in the buffer)"},
        {m(S, "read", b, "0"), "read() expects (buffer, index)"},
        {m(S, "write", b, 0, 5), "write() expects (buffer, index, json)"},
        {m(S, "write", b, 2, json("{}")), "index 2 is out of range (2 structs in the buffer)"},
        {m(S, "count", "text"), "count() expects a std.buffer (or an object with kernel memory, e.g. a bitmap)"},
        {m(get(u, "Small"), "get", buffer(10), 2, "a"), "index 2 is out of range (2 structs in the buffer)"},
        {m(get(u, "Small"), "count", fn("buffer")), ""},
    };
    std::string expected;
    for (const auto& r : refusals) expected += *r.second ? std::string(expected.empty() ? "" : "\n") + r.second : "";
    EXPECT_EQ(errors(), expected);
    for (const auto& r : refusals) EXPECT_TRUE(!*r.second || r.first->type == LUMVAR_NONE) << r.second;
    EXPECT_EQ(lumvar_to_std_buffer(b.get())->bytes, kept);  // refusals write nothing
    EXPECT_EQ(show(m(get(u, "Small"), "count", buffer(10)), m(get(u, "Small"), "count", buffer(3))), "2 0");
}

V ref_to(const V& target) {
    V r = V::make();
    r->set_ref(target.get());
    return r;
}

TEST(KernelStructAccess, ReferencesAreFollowedForEveryArgument) {
    session s;
    V S = get(compile("struct P { i16 x; i16 y; }", "p.k"), "P");
    V buf = buffer(8);
    V one = V::from_int(1);
    V y = V::from_string("y");
    m(S, "set", ref_to(buf), ref_to(one), ref_to(y), -2);
    EXPECT_EQ(show(m(S, "get", ref_to(buf), ref_to(one), y), m(S, "count", ref_to(buf))), "-2 2");
    EXPECT_EQ(m(S, "read", buf, ref_to(one))->type, LUMVAR_JSON);
    m(S, "write", buf, ref_to(one), ref_to(json("{\"x\": 4}")));
    EXPECT_EQ(show(m(S, "get", buf, 1, "x")), "4");
}

TEST(KernelStructAccess, InUseRefusals) {
    session s;
    V S = get(compile("struct P { i16 x; i16 y; }", "p.k"), "P");
    V buf = buffer(8);
    lum_std_buffer* b = lumvar_to_std_buffer(buf.get());
    V values = json("{}");
    b->read_locks = 1;  // a const launch: readers go on, writers are refused
    EXPECT_EQ(show(m(S, "get", buf, 0, "x"), m(S, "read", buf, 0)), "0 {\"x\": 0,\"y\": 0}");
    m(S, "set", buf, 0, "x", 1);
    m(S, "write", buf, 0, values);
    EXPECT_EQ(errors(), std::string(in_use) + "\n" + in_use);
    b->read_locks = 0;
    b->write_locks = 1;  // a writing launch: every access but count is refused
    EXPECT_EQ(show(m(S, "count", buf)), "2");
    m(S, "get", buf, 0, "x");
    m(S, "read", buf, 0);
    m(S, "set", buf, 0, "x", 1);
    m(S, "write", buf, 0, values);
    EXPECT_EQ(errors(), std::string(in_use) + "\n" + in_use + "\n" + in_use + "\n" + in_use);
    b->write_locks = 0;
    EXPECT_EQ(b->bytes[0], 0u);
}

}  // namespace
