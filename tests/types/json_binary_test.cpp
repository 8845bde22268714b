// The binary JSON section "j11": exact bytes, round trips, refusals that leave
// no bytes behind, the nesting limit on both sides, and malformed input that
// must fail cleanly (truncation at every length, foreign tags, forged counts).
#include <map>
#include <random>
#include <stdexcept>

#include "kernel/script/buffer.h"
#include "runtime/binary.h"
#include "tests/types/types_test_support.h"

namespace j1test {
namespace {

using bytes_t = std::vector<uint8_t>;
using JsonBinaryForm = json_test;

const bytes_t json_tag = {0x03, 'j', '1', '1', 0x00};
const bytes_t value_tag = {0x03, 'v', '1', '1', 0x00};

constexpr const char* cycle_warning =
    "Cannot serialize JSON to binary: the value contains a reference to itself (cycle).";
constexpr const char* depth_warning = "Cannot serialize JSON to binary: nesting exceeds the maximum depth of 1024.";

bytes_t cat(std::initializer_list<bytes_t> parts) {
    bytes_t out;
    for (const bytes_t& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct read_result {
    bool ok = false;
    std::string thrown;
    lumvar_shared value = lumvar_shared::make_typed(LUMVAR_JSON);
};
// Reads `in` into a fresh container.
read_result read_container(const bytes_t& in) {
    read_result r;
    lum_binary_reader reader(in.data(), in.size());
    try {
        r.ok = r.value->json_container()->from_binary(reader);
    } catch (const std::runtime_error& e) {
        r.thrown = e.what();
    }
    return r;
}

TEST_F(JsonBinaryForm, BytesOfSmallContainers) {
    auto [v, c] = fresh_json();
    bytes_t out;
    ASSERT_TRUE(c->to_binary(out));
    EXPECT_EQ(out, cat({json_tag, {0x00}}));
    read_result back = read_container(out);
    EXPECT_TRUE(back.ok);
    EXPECT_TRUE(back.value->json_container()->entries.empty());
    c->push_keyed(num(5), "a");
    out.clear();
    ASSERT_TRUE(c->to_binary(out));
    EXPECT_EQ(out, cat({json_tag, {0x01, 0x01, 'a', 0x00}, value_tag, {0x02, 0x0A}}));
    // As a value: the "v11" header of type 7 and then the section.
    out.clear();
    ASSERT_TRUE(v->to_binary(out));
    EXPECT_EQ(out, cat({value_tag, {0x07}, json_tag, {0x01, 0x01, 'a', 0x00}, value_tag, {0x02, 0x0A}}));
}

TEST_F(JsonBinaryForm, RefusalsLeaveNoBytesBehind) {
    auto [v, c] = fresh_json();
    c->push_keyed(num(1), "a");
    auto [in, inner] = fresh_json();
    inner->push_keyed(lumvar_shared(v), "back");  // cycle through a nested container
    c->push_keyed(lumvar_shared(in), "inner");
    const bytes_t before = {0xAA, 0xBB};
    bytes_t out = before;
    EXPECT_FALSE(c->to_binary(out));
    EXPECT_EQ(out, before);
    EXPECT_EQ(warnings(), std::vector<std::string>{cycle_warning});
    // Through the value writer the json header goes as well.
    EXPECT_FALSE(v->to_binary(out));
    EXPECT_EQ(out, before);
    warnings();
    // The same from the inner container's side: its own refusal comes from below.
    EXPECT_FALSE(in->to_binary(out));
    EXPECT_EQ(out, before);
    EXPECT_EQ(warnings(), std::vector<std::string>{cycle_warning});
    // A value that has no binary form fails the whole write too.
    auto [bv, b] = fresh_json();
    b->push_keyed(num(1), "x");
    auto [hv, holder] = fresh_json();
    holder->push_keyed(boolean_of(num(1)), "flag");
    b->push_keyed(lumvar_shared(hv), "nested");
    EXPECT_FALSE(bv->to_binary(out));
    EXPECT_EQ(out, before);
    EXPECT_EQ(errors(), std::vector<std::string>{"to_binary(): not implemented."});
    // A clean write afterwards is unaffected by the earlier failures.
    out.clear();
    EXPECT_TRUE(in->json_container()->entries.size() == 1 && inner->erase_at(0));
    EXPECT_TRUE(v->to_binary(out));
}

TEST_F(JsonBinaryForm, OutermostWriteIsTheFirstWriteOnTheThread) {
    // Another walk holds the thread's guard while a write runs: the write
    // still counts as the outermost one and cleans up after a failure.
    auto [w, walking] = fresh_json();
    json_visit_scope other(json_visit_guard::for_thread(), walking);
    auto [v, c] = fresh_json();
    auto [bv, bad] = fresh_json();
    bad->push_keyed(boolean_of(num(0)), "");
    push_all(c, {{"", num(3)}, {"", lumvar_shared(bv)}});
    bytes_t out = {1};
    EXPECT_FALSE(c->to_binary(out));
    EXPECT_EQ(out, bytes_t{1});
    EXPECT_EQ(json_visit_guard::thread_mark(), 0);
    errors();
    c->erase_at(1);
    EXPECT_TRUE(c->to_binary(out));
    EXPECT_EQ(out, cat({{1}, json_tag, {0x01, 0x00, 0x00}, value_tag, {0x02, 0x06}}));
}

TEST_F(JsonBinaryForm, NestingLimitOnBothSides) {
    lumvar_shared deep = nested(1024);
    bytes_t out;
    ASSERT_TRUE(deep->to_binary(out));
    lumvar_shared back = lumvar_shared::make();
    lum_binary_reader reader(out.data(), out.size());
    ASSERT_TRUE(back->from_binary(reader));
    EXPECT_TRUE(lumvar::json_equal(back->json_container(), deep->json_container()) ||
                compact(back->json_container()) == compact(deep->json_container()));
    lumvar_shared deeper = nested(1025);
    bytes_t refused;
    EXPECT_FALSE(deeper->to_binary(refused));
    EXPECT_TRUE(refused.empty());
    EXPECT_EQ(warnings(), std::vector<std::string>{depth_warning});
    // One level more on the reading side: a section wrapping the 1024 levels.
    bytes_t wrapped = cat({json_tag, {0x01, 0x00, 0x00}, out});
    read_result r = read_container(wrapped);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.thrown.empty());
    EXPECT_EQ(errors(), std::vector<std::string>{framed("JSON binary nesting exceeds the maximum depth of 1024.")});
}

TEST_F(JsonBinaryForm, MalformedInputFailsCleanly) {
    // A foreign tag: run-time error (not aborting), false, container empty.
    read_result foreign = read_container(cat({value_tag, {0x00}}));
    EXPECT_FALSE(foreign.ok);
    EXPECT_TRUE(foreign.value->json_container()->entries.empty());
    EXPECT_EQ(errors(), std::vector<std::string>{framed("invalid section.")});
    // A count of 3 with 4 bytes left: refused before any entry is read.
    read_result forged = read_container(cat({json_tag, {0x03, 0x00, 0x00, 0x00, 0x00}}));
    EXPECT_EQ(forged.thrown, "JSON member count larger than the remaining data");
    EXPECT_TRUE(forged.value->json_container()->entries.empty());
    // A count whose low 32 bits are small is taken by those bits.
    read_result wide = read_container(cat({json_tag, {0x80, 0x80, 0x80, 0x80, 0x10}}));
    EXPECT_TRUE(wide.ok);  // 2^32: low bits 0 -> empty container
    // A value that cannot be read keeps the entries before it.
    bytes_t object_value = cat({json_tag, {0x02, 0x01, 'a', 0x00}, value_tag, {0x02, 0x02, 0x00, 0x00}, value_tag, {0x08}});
    read_result stopped = read_container(object_value);
    EXPECT_FALSE(stopped.ok);
    EXPECT_EQ(stopped.value->json_container()->entries[0].value->payload.i, 1);
    warnings();
    // Truncation at every length of a real section throws or refuses, never
    // reads past the end (ASan watches) and always leaves the guard clean.
    auto [v, c] = fresh_json();
    push_all(c, {{"s", str("text")}, {"", lumvar_shared::from_float(1.5)}, {"n", lumvar_shared(nested(3))}});
    bytes_t full;
    ASSERT_TRUE(c->to_binary(full));
    for (size_t n = 0; n < full.size(); ++n) {
        bytes_t cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        read_result r = read_container(cut);
        EXPECT_FALSE(r.ok) << n;
        EXPECT_TRUE(json_visit_guard::for_thread().stack.empty()) << n;
    }
    errors();
    // Random byte flips: anything but a crash is fine.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        bytes_t flipped = full;
        flipped[rng() % flipped.size()] = static_cast<uint8_t>(rng());
        read_container(flipped);
    }
    log().clear();
}


// value -> binary -> value over generated containers: order, keys (a present
// empty key reads back as a list element), types and payloads, and the last
// entry of each key designated even when the reader's deferred index first
// meets a sort.
TEST_F(JsonBinaryForm, GeneratedContainersRoundTrip) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        lumvar_shared v = random_json(rng, 3, false);
        bytes_t out;
        ASSERT_TRUE(v->to_binary(out)) << round;
        lumvar_shared back = lumvar_shared::make();
        lum_binary_reader reader(out.data(), out.size());
        ASSERT_TRUE(back->from_binary(reader)) << round;
        EXPECT_EQ(reader.position, out.size());
        ASSERT_EQ(back->type, LUMVAR_JSON);
        lum_std_json* r = back->json_container();
        if (round % 2 == 0) {
            std::map<std::string, lumvar*> last;
            for (auto& e : r->entries)
                if (e.key) last[*e.key] = e.value.get();
            r->sort_keys_reverse();
            for (auto& [key, cell] : last) EXPECT_EQ(r->find_key(key), cell) << round << " key " << key;
        } else {
            ASSERT_EQ(describe(r), describe(v->json_container(), true)) << round;
        }
    }
    // Reading stopped by a value that cannot be read keeps an exact index.
    bytes_t stopped = cat({json_tag, {0x03, 0x01, 'k', 0x00}, value_tag, {0x02, 0x02, 0x01, 'k', 0x00}, value_tag,
                           {0x02, 0x04, 0x01, 'k', 0x00}, value_tag, {0x08}});
    read_result s = read_container(stopped);
    EXPECT_FALSE(s.ok);
    warnings();
    EXPECT_EQ(s.value->json_container()->key_count("k"), 3u);
    EXPECT_EQ(s.value->json_container()->find_key("k"), s.value->json_container()->entries[2].value.get());
}

}  // namespace
}  // namespace j1test
