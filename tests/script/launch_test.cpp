// k.launch from script values: domains (1-D, 2-D, empty), scalar and struct
// reductions, const strings, traps with their positions, and every refusal of
// the domain and of argument binding and conversion.

#include <stdexcept>

#include "kernel/script/launch.h"
#include "kernel/script/test_control.h"
#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

constexpr const char* source =
    "struct Stats { f64 sum; f32 top; u32 n; }\n"
    "kernel fill(f32* y, f32 step) { y[gid] = f32(gid) * step; }\n"
    "kernel saxpy(f32* y, const f32* x, f32 a) { y[gid] = a * x[gid] + y[gid]; }\n"
    "kernel total(const i32* v) -> i64 reduce(+) { return i64(v[gid]); }\n"
    "kernel stats(const f32* v) -> Stats reduce(sum: +, n: +) { return {f64(v[gid]), v[gid], 1u}; }\n"
    "kernel letters(const u8* s) -> u32 reduce(+) { return u32(s[gid]); }\n"
    "kernel grid(u32* out) { out[gid] = u32(gid_x) * 100u + u32(gid_y); }\n"
    "kernel past(const i32* v) -> i64 reduce(+) {\n  return i64(v[gid + 1]);\n}\n"
    "kernel past2(u32* out) {\n  out[gid + u64(gid_y)] = 1u;\n}\n"
    "kernel nothing() { }\nkernel one(i32* v) { v[0] = 1; }\n"
    "kernel pick(const u8* b, bool on, i8 small) -> i32 reduce(+) { return on ? i32(small) : 0; }\n";

V f32s(const V& b) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += show(m(b, "read", "f32", i)) + " ";
    return val(out);
}

TEST(KernelLaunchThreads, DomainsReductionsAndTraps) {
    session s;
    V u = compile(source, "dir/launch.k");
    V x = buffer(16), y = buffer(16), v = buffer(16), g = buffer(48);
    EXPECT_EQ(show(m(get(u, "fill"), "launch", 4, x, 1.5)), "");
    m(get(u, "fill"), "launch", 4, y, 1.0);
    m(get(u, "saxpy"), "launch", 4, y, x, 2.0);
    EXPECT_EQ(show(f32s(x), f32s(y)), "0.000000 1.500000 3.000000 4.500000  0.000000 4.000000 8.000000 12.000000 ");
    const int values[] = {5, -2, 7, 100};
    for (int i = 0; i < 4; ++i) m(v, "write", "i32", i, values[i]);
    EXPECT_EQ(show(m(get(u, "total"), "launch", 4, v), m(get(u, "total"), "launch", 3, v),
                   m(get(u, "total"), "launch", 0, v), m(get(u, "total"), "launch", list(0, 5), v)),
              "110 10 0 0");
    EXPECT_EQ(show(m(get(u, "stats"), "launch", 4, x)), "{\"n\": 4,\"sum\": 9.0,\"top\": 0.0}");
    EXPECT_EQ(show(m(get(u, "nothing"), "launch", 3), m(get(u, "letters"), "launch", 3, "AB\n")), " 141");
    m(get(u, "grid"), "launch", list(4, 3), g);
    EXPECT_EQ(show(m(g, "read", "u32", 0), m(g, "read", "u32", 5), m(g, "read", "u32", 11)), "0 101 302");
    EXPECT_EQ(show(m(get(u, "pick"), "launch", 2, v, 1, -3), m(get(u, "pick"), "launch", 2, v, 0, -3)), "-6 0");
    EXPECT_EQ(fails(m(get(u, "past"), "launch", 4, v)),
              "kernel 'past' failed at launch.k:9 (gid 3): index 4 is out of bounds of 'v' (4 elements)");
    // One work item traps: with several, the first runner's trap is reported.
    EXPECT_EQ(fails(m(get(u, "past2"), "launch", list(4, 3), buffer(52))),
              "kernel 'past2' failed at launch.k:12 (gid 11, x 3, y 2): index 13 is out of bounds of 'out' (13 elements)");
    EXPECT_EQ(show(m(get(u, "saxpy"), "launch", 4, y, y, 1.0)), "");  // one buffer for two parameters
    EXPECT_EQ(show(m(y, "read", "f32", 1)), "8.000000");
    EXPECT_EQ(show(m(m(y, "push", 1), "size"), m(m(v, "push", 1), "size"), m(m(g, "push", 1), "size")), "17 17 49");
}

TEST(KernelBinding, LaunchRefusals) {
    session s;
    V u = compile(source, "dir/launch.k");
    V x = buffer(16), y = buffer(16), v = buffer(16);
    const std::string too_large = "kernel 'nothing': the domain is too large (at most 4294967295 invocations)";
    const std::string negative = "kernel 'nothing': the domain must not be negative";
    const std::string domain = "kernel 'nothing': the domain must be an int or [width, height] but got ";
    const std::string saxpy = "kernel 'saxpy': argument ";
    V n = get(u, "nothing"), sx = get(u, "saxpy"), pick = get(u, "pick");
    const std::pair<V, std::string> refusals[] = {
        {m(get(u, "one"), "launch", int64_t{4294967295}, 5), "kernel 'one': argument 1 ('i32* v') expects a std.buffer but got int"},
        {m(n, "launch", int64_t{4294967296}), too_large},
        {m(n, "launch", list(65536, 65537)), too_large},
        {m(n, "launch", list(int64_t{1099511627776}, int64_t{1099511627776})), too_large},
        {m(n, "launch", -1), negative},
        {m(n, "launch", list(3, -1)), negative},
        {m(n, "launch", list(-3, 1)), negative},
        {m(n, "launch", 10.0), domain + "float"},
        {m(n, "launch", list(4, 4.0)), domain + "json"},
        {m(n, "launch", list(4.0, 4)), domain + "json"},
        {m(n, "launch", list(4)), domain + "json"},
        {m(n, "launch", list(4, 4, 4)), domain + "json"},
        {m(n, "launch", "x"), domain + "string"},
        {m(n, "launch", V::make()), domain + "None"},
        {m(get(u, "one"), "launch", 1), "kernel 'one' expects 1 argument (i32* v) after the domain but got 0"},
        {m(sx, "launch", 4, y, x), "kernel 'saxpy' expects 3 arguments (f32* y, const f32* x, f32 a) after the domain but got 2"},
        {m(n, "launch", 1, 2), "kernel 'nothing' expects 0 arguments () after the domain but got 1"},
        {m(sx, "launch", 4, y, x, 2), saxpy + "3 ('a') expects f32 but got int (write 2.0 instead of 2, or std.float(x))"},
        {m(sx, "launch", 4, V::make(), x, 2.0), saxpy + "1 ('f32* y') expects a std.buffer but got None"},
        {m(sx, "launch", 4, "text", x, 2.0),
         saxpy + "1 ('f32* y') strings are read only, declare the parameter as const (const u8*) or use a std.buffer"},
        {m(sx, "launch", 4, y, 7, 2.0), saxpy + "2 ('const f32* x') expects a std.buffer but got int"},
        {m(sx, "launch", 4, y, list(1, 2), 2.0), saxpy + "2 ('const f32* x') expects a std.buffer but got json"},
        {m(sx, "launch", 4, y, u, 2.0), saxpy + "2 ('const f32* x') expects a std.buffer but got std.kernel_unit"},
        {m(pick, "launch", 1, v, 2, 0), "kernel 'pick': argument 2 ('on') expects bool (true / false) but got the int 2"},
        {m(pick, "launch", 1, v, 1, 200), "kernel 'pick': argument 3 ('small') expects i8 but 200 does not fit"},
        {m(sx, "launch_async", 4, y, x), "kernel 'saxpy' expects 3 arguments (f32* y, const f32* x, f32 a) after the domain but got 2"},
        {m(n, "launch_async", -1), negative},
    };
    std::string expected;
    for (const auto& r : refusals) expected += (expected.empty() ? "" : "\n") + r.second;
    EXPECT_EQ(errors(), expected);
    for (const auto& r : refusals) EXPECT_EQ(r.first->type, LUMVAR_NONE);
    // Refused launches lock nothing.
    for (const V& b : {x, y, v}) EXPECT_FALSE(lumvar_to_std_buffer(b.get())->in_use());
    EXPECT_EQ(show(m(n, "launch", list(0, 3)), m(n, "launch", list(3, 0)), m(n, "launch", 0)), "  ");  // empty domains
}

// What the failing native-code request below throws; null: not a std::exception.
const char* request_failure = nullptr;

// The warnings logged since the last call, one line each; clears the log.
std::string warnings() {
    auto* log = dynamic_cast<recording_log*>(lum_get_thread_local().logger.get());
    std::string out;
    for (const auto& e : log->entries())
        if (e.level == LUM_LOG_WARNING) out += (out.empty() ? "" : "\n") + e.text;
    log->clear();
    return out;
}

// A failed request for native code leaves the launch to the interpreter; its
// reason is logged once as a warning, however often launches of any kernel
// meet it again, and every new reason once.
TEST(KernelLaunchThreads, AFailedNativeRequestIsLoggedOncePerReason) {
    session s;
    struct request_scope {
        lum_kernel_native_request_fn saved = lum_kernel_native_request.exchange([](lum_std_kernel*) {
            if (request_failure == nullptr) throw 7;
            throw std::runtime_error(request_failure);
        });
        ~request_scope() { lum_kernel_native_request.store(saved); }
    } failing;
    V u = compile(source, "native.k");
    V v = buffer(16), text = val("AB");
    m(v, "write", "i32", 2, 40);
    V total = get(u, "total"), letters = get(u, "letters");
    request_failure = "no room for the compile job";
    EXPECT_EQ(show(m(total, "launch", 4, v)), "40");
    EXPECT_EQ(show(m(total, "launch", 4, v)), "40");
    EXPECT_EQ(show(m(m(total, "launch_async", 4, v), "wait")), "40");
    EXPECT_EQ(show(m(letters, "launch", 2, text)), "131");
    EXPECT_EQ(warnings(),
              "kernel 'total': native code could not be requested, the kernel runs interpreted: no room for the "
              "compile job");
    request_failure = "the cache folder is gone";
    m(letters, "launch", 2, text);
    m(total, "launch", 4, v);
    request_failure = nullptr;
    m(total, "launch", 4, v);
    EXPECT_EQ(show(m(total, "launch", 4, v)), "40");
    EXPECT_EQ(warnings(),
              "kernel 'letters': native code could not be requested, the kernel runs interpreted: the cache folder is "
              "gone\nkernel 'total': native code could not be requested, the kernel runs interpreted: unknown "
              "exception");
}

}  // namespace
