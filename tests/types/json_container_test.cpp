// The "std.json" container: element access, the key index and its designated
// entries through appends, erasures, copies and sorts, removal by key,
// clear_free, the visit guard, and builders used off the VM thread.
#include <algorithm>
#include <cctype>
#include <optional>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "runtime/vm.h"
#include "tests/types/types_test_support.h"
#include "types/string_object.h"

namespace j1test {
namespace {

using JsonContainer = json_test;

// A native object that counts its destructions.
class tracked : public lumobject<tracked, CLASS_STRING<"test.tracked">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static void script_register() {}
    int* destroyed = nullptr;
    ~tracked() override {
        if (destroyed != nullptr) ++*destroyed;
    }
};

TEST_F(JsonContainer, AtCountsFromTheEndAndRaisesOutOfBounds) {
    auto [v, c] = fresh_json();
    for (int i = 1; i <= 3; ++i) c->push_keyed(num(i), "");
    lumvar_shared last = c->at(-1);
    EXPECT_EQ(last.get(), c->entries[2].value.get());  // the entry's own cell, not a copy
    EXPECT_EQ(c->at(0)->payload.i, 1);
    for (int64_t bad : {int64_t{-4}, int64_t{3}, INT64_MIN, INT64_MAX}) {
        lumvar_shared r = c->at(bad);
        EXPECT_EQ(r->type, LUMVAR_NONE);
        EXPECT_EQ(errors(), std::vector<std::string>{framed("Out of bounds access.")}) << bad;
    }
    EXPECT_EQ(fresh_json().container->at(0)->type, LUMVAR_NONE);
    EXPECT_EQ(errors().size(), 1u);
    // has_member by index never counts from the end.
    EXPECT_FALSE(c->has_member(int64_t{-1}));
    EXPECT_TRUE(c->has_member(int64_t{2}));
    EXPECT_FALSE(c->has_member(int64_t{3}));
}

TEST_F(JsonContainer, AssignFromDesignatesTheFirstAndSharesNestedContainers) {
    auto [s, src] = fresh_json();
    push_all(src, {{"a", num(1)}, {"a", num(2)}});
    auto [in, inner] = fresh_json();
    src->push_keyed(lumvar_shared(in), "");
    src->get_or_add("");  // a present empty key is copied too
    auto [d, dst] = fresh_json();
    dst->push_keyed(num(9), "old");
    dst->assign_from(*src);
    EXPECT_EQ(keys_of(dst), (std::vector<std::string>{"a", "a", "-", ""}));
    EXPECT_FALSE(dst->has_key("old"));
    EXPECT_EQ(dst->get_or_add("a")->payload.i, 1);
    EXPECT_EQ(dst->key_count("a"), 2u);
    EXPECT_TRUE(dst->has_key(""));
    EXPECT_EQ(dst->entries[2].value->json_container(), inner);          // shared, not copied
    EXPECT_NE(dst->entries[0].value.get(), src->entries[0].value.get()); // fresh cells
    // Assigning a container from itself keeps its content (first designated).
    src->assign_from(*src);
    EXPECT_EQ(keys_of(src), (std::vector<std::string>{"a", "a", "-", ""}));
    EXPECT_EQ(src->get_or_add("a")->payload.i, 1);
}

TEST_F(JsonContainer, MemberOperations) {
    auto [v, c] = fresh_json();
    c->set_member(std::string_view("n"), num(5));  // creates the key
    EXPECT_TRUE(c->has_member(std::string_view("n")));
    EXPECT_EQ(c->get_member(std::string_view("n"))->payload.i, 5);
    lumvar_shared missing = c->get_member(std::string_view("m"));  // reading creates it too
    EXPECT_EQ(missing->type, LUMVAR_NONE);
    EXPECT_EQ(keys_of(c), (std::vector<std::string>{"n", "m"}));
    c->set_member(int64_t{0}, num(6));
    EXPECT_EQ(c->entries[0].value->payload.i, 6);
    c->set_member(int64_t{7}, num(8));  // out of range: error, nothing changes
    EXPECT_EQ(errors(), std::vector<std::string>{framed("Out of bounds access.")});
    EXPECT_EQ(c->entries.size(), 2u);
    EXPECT_FALSE(c->compare_zero());
    EXPECT_EQ(c->size(), 2);
    c->clear();
    EXPECT_TRUE(c->compare_zero());
    EXPECT_EQ(c->key_index, nullptr);
}

// Every operation on entries and keys, checked against a model: the entry
// list (key or none, cell) and the index rules (designation, counts), over
// many keys so the hash table grows and deletes in every probe pattern.
TEST_F(JsonContainer, EntriesAndKeyIndexMatchTheirModelThroughRandomOperations) {
    struct entry_model {
        std::optional<std::string> key;
        lumvar* cell;
    };
    struct key_model {
        lumvar* designated;
        uint32_t count;
    };
    auto [v, c] = fresh_json();
    std::vector<entry_model> entries;
    std::map<std::string, key_model> index;
    std::mt19937 rng(1234);
    auto random_key = [&]() -> std::string {
        const int n = static_cast<int>(rng() % 60);
        if (n < 2) return std::string("\0", n);  // the empty key and a NUL byte
        if (n == 2) return std::string("k\0a", 3);
        return (n % 2 ? "k" : "K") + std::to_string(n / 2);
    };
    auto first_with = [&](const std::string& k) -> lumvar* {
        for (auto& e : entries)
            if (e.key && *e.key == k) return e.cell;
        return nullptr;
    };
    auto lower = [](std::string t) {
        for (char& ch : t) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return t;
    };
    auto appended = [&](std::optional<std::string> key) {
        entries.push_back({key, c->entries.back().value.get()});
        if (!key) return;
        auto& r = index[*key];
        r.designated = entries.back().cell;
        ++r.count;
    };
    auto check = [&](int step) {
        ASSERT_EQ(c->entries.size(), entries.size()) << step;
        for (size_t i = 0; i < entries.size(); ++i) {
            const lum_json_entry& e = c->entries[i];
            ASSERT_EQ(e.value.get(), entries[i].cell) << step << " entry " << i;
            ASSERT_EQ(e.key != nullptr, entries[i].key.has_value()) << step << " entry " << i;
            if (e.key) {
                ASSERT_EQ(*e.key, *entries[i].key) << step << " entry " << i;
            }
        }
        ASSERT_EQ(c->key_index ? c->key_index->size() : 0u, index.size()) << step;
        for (auto& [k, r] : index) {
            ASSERT_EQ(c->find_key(k), r.designated) << step << " key " << k;
            ASSERT_EQ(c->key_count(k), r.count) << step << " key " << k;
            ASSERT_TRUE(c->has_key(k)) << step;
        }
    };
    for (int step = 0; step < 6000; ++step) {
        const int op = static_cast<int>(rng() % 100);
        const std::string k = random_key();
        if (op < 30) {
            c->push_keyed(num(step), k);
            appended(k.empty() ? std::nullopt : std::optional<std::string>(k));
        } else if (op < 40) {
            auto it = index.find(k);
            lumvar_shared got = c->get_or_add(k);
            if (it != index.end()) {
                ASSERT_EQ(got.get(), it->second.designated);
            } else {
                appended(k);  // a present key, also when empty
                ASSERT_EQ(got.get(), entries.back().cell);
            }
        } else if (op < 65 && !entries.empty()) {
            // Negative positions count from the end once; beyond that nothing changes.
            const int64_t n = static_cast<int64_t>(entries.size());
            const int64_t i = static_cast<int64_t>(rng() % static_cast<uint32_t>(2 * n + 2)) - n - 1;
            const bool inside = i >= -n && i < n;
            ASSERT_EQ(c->erase_at(i), inside) << step;
            if (inside) {
                const auto pos = entries.begin() + (i < 0 ? i + n : i);
                const entry_model gone = *pos;
                entries.erase(pos);
                auto it = gone.key ? index.find(*gone.key) : index.end();
                if (it != index.end() && --it->second.count == 0) {
                    index.erase(it);
                } else if (it != index.end() && it->second.designated == gone.cell) {
                    it->second.designated = first_with(*gone.key);  // the FIRST remaining one
                }
            }
        } else if (op < 71) {
            const bool had = index.count(k) != 0;
            // The key may view the text of an entry that goes.
            const lum_json_entry* with_key = nullptr;
            for (auto& e : c->entries)
                if (e.key && *e.key == k) with_key = &e;
            ASSERT_EQ(c->erase_key(with_key != nullptr && op % 2 ? std::string_view(*with_key->key) : k), had) << step;
            if (had) std::erase_if(entries, [&](const entry_model& e) { return e.key && *e.key == k; });
            index.erase(k);
        } else if (op < 80) {
            // Sorting partitions first: each unkeyed entry from the front swaps with the last keyed one.
            size_t lo = 0, hi = entries.size();
            for (;;) {
                while (lo < hi && entries[lo].key) ++lo;
                while (hi > lo && !entries[hi - 1].key) --hi;
                if (lo >= hi) break;
                std::swap(entries[lo++], entries[--hi]);
            }
            const int kind = op % 3;
            std::multiset<lumvar*> keyed_cells, sorted_cells;
            for (size_t i = 0; i < lo; ++i) keyed_cells.insert(entries[i].cell);
            if (kind == 0) {
                ASSERT_EQ(c->partition_keyed(), lo);
            }
            if (kind == 1) c->sort_keys_nocase();
            if (kind == 2) c->sort_keys_reverse();
            for (size_t i = 0; i < lo && kind != 0; ++i) {
                sorted_cells.insert(c->entries[i].value.get());
                entries[i] = {*c->entries[i].key, c->entries[i].value.get()};
                if (i > 0 && kind == 1) {
                    ASSERT_LE(lower(*entries[i - 1].key), lower(*entries[i].key)) << step;
                } else if (i > 0 && kind == 2) {
                    ASSERT_GE(*entries[i - 1].key, *entries[i].key) << step;
                }
            }
            ASSERT_TRUE(kind == 0 || sorted_cells == keyed_cells) << step;
        } else if (op < 85) {
            int64_t expected = -1;
            for (size_t i = 0; i < entries.size() && !k.empty() && expected < 0; ++i)
                if (entries[i].key && !entries[i].key->empty() && lower(*entries[i].key) == lower(k))
                    expected = static_cast<int64_t>(i);
            ASSERT_EQ(c->find_nocase(k), expected) << step << " key " << k;
        } else if (op < 91) {
            // Both designate the first entry of each key; a rebuild leaves out present empty keys.
            const bool rebuild = op >= 88;
            if (rebuild) {
                c->rebuild_key_index();
            } else {
                c->assign_from(*c);  // fresh cells
                ASSERT_EQ(c->entries.size(), entries.size());
                for (size_t i = 0; i < entries.size(); ++i) entries[i].cell = c->entries[i].value.get();
            }
            index.clear();
            for (auto& e : entries) {
                if (!e.key || (rebuild && e.key->empty())) continue;
                auto [it, added] = index.try_emplace(*e.key, key_model{e.cell, 0});
                ++it->second.count;
            }
        } else if (op < 92 && rng() % 4 == 0) {
            c->clear();
            entries.clear();
            index.clear();
        }
        check(step);
        if (HasFatalFailure()) return;
    }
    notices();  // missing-key notices of erase_key
}

TEST_F(JsonContainer, ClearFreeOwnsOnlyCellsTheContainerAloneHolds) {
    int destroyed_alone = 0, destroyed_shared = 0;
    auto* alone = new tracked();
    alone->destroyed = &destroyed_alone;
    auto* shared = new tracked();
    shared->destroyed = &destroyed_shared;
    lumptr_strong<tracked> keep_alone(alone);   // another strong holder of the object,
    lumptr_strong<tracked> keep_shared(shared);  // not of the cell
    auto [v, c] = fresh_json();
    c->push_keyed(lumvar_shared::from_object(alone), "");
    lumvar_shared& outside = c->emplace_back();
    outside->set_type(LUMVAR_OBJECT);
    outside->object_holder()->object = lumptr_strong<lumobject_base>(shared);
    lumvar_shared held_elsewhere = outside;  // this cell has a second holder
    auto [in, inner] = fresh_json();
    inner->push_keyed(num(1), "x");
    inner->push_keyed(lumvar_shared(v), "self");  // a cycle back to the outer container
    c->push_keyed(lumvar_shared(in), "inner");
    c->push_keyed(lumvar_shared(v), "me");         // the container holds itself
    c->clear_free();
    EXPECT_TRUE(c->entries.empty());
    EXPECT_TRUE(inner->entries.empty());
    EXPECT_EQ(destroyed_alone, 1);  // owned: destroyed although another pointer held it
    EXPECT_FALSE(keep_alone);
    EXPECT_EQ(destroyed_shared, 0);
    EXPECT_EQ(held_elsewhere->flags & LUMVAR_FLAG_OWNING, 0);
    EXPECT_EQ(held_elsewhere->object_holder()->object.get(), shared);
}

TEST_F(JsonContainer, RemoveKeyRecursiveVisitsEveryLevelOnce) {
    auto [t, top] = fresh_json();
    push_all(top, {{"id", num(1)}, {"keep", num(2)}});
    auto [m, mid] = fresh_json();
    mid->push_keyed(num(3), "id");
    mid->push_keyed(lumvar_shared(m), "loop");  // holds itself
    top->push_keyed(lumvar_shared(m), "");
    top->push_keyed(lumvar_shared(m), "again");  // reached twice side by side
    auto [p, plain] = fresh_json();
    plain->push_keyed(num(4), "");
    top->push_keyed(lumvar_shared(p), "list");  // no index: no notice
    EXPECT_TRUE(top->remove_key_recursive("id"));
    EXPECT_EQ(keys_of(top), (std::vector<std::string>{"keep", "-", "again", "list"}));
    EXPECT_EQ(keys_of(mid), (std::vector<std::string>{"loop"}));
    EXPECT_EQ(keys_of(plain), (std::vector<std::string>{"-"}));
    // The second visit of mid looks for a key it no longer has.
    EXPECT_EQ(notices(), std::vector<std::string>{"Key id does not exist!"});
    EXPECT_TRUE(warnings().empty());
}

TEST_F(JsonContainer, VisitGuardRefusesCyclesAndDepth) {
    std::vector<lumvar_shared> holders;
    std::vector<lum_std_json*> chain;
    for (size_t i = 0; i <= json_visit_guard::max_depth; ++i) {
        lum_std_json* c = nullptr;
        holders.push_back(new_json(c));
        chain.push_back(c);
    }
    json_visit_guard local;
    for (size_t i = 0; i < json_visit_guard::max_depth; ++i) ASSERT_TRUE(local.push(chain[i]));
    EXPECT_FALSE(local.push(chain.back()));
    EXPECT_EQ(local.reason, json_visit_guard::reason_too_deep);
    local.pop(false);
    EXPECT_EQ(local.stack.size(), json_visit_guard::max_depth);
    local.pop(true);
    EXPECT_FALSE(local.push(chain[0]));
    EXPECT_EQ(local.reason, json_visit_guard::reason_cycle);
    json_visit_guard& mine = json_visit_guard::for_thread();
    {
        json_visit_scope outer(mine, chain[0]);
        json_visit_guard::thread_mark() = 1;
        {
            json_visit_scope again(mine, chain[0]);
            EXPECT_FALSE(again.accepted());
        }
        EXPECT_EQ(json_visit_guard::thread_mark(), 1);  // not empty yet
    }
    EXPECT_EQ(json_visit_guard::thread_mark(), 0);  // the outermost pop cleared it
}

TEST_F(JsonContainer, BuildersWorkOnAWorkerThreadWithHeapObjects) {
    lum_std_json* built = nullptr;
    std::thread worker([&] {
        // The worker has the VM but not its lock: everything comes from the heap.
        lum_get_thread_local().vm = host.get();
        lum_std_json* c = lum_std_json::create();
        c->push_keyed(lumvar_shared::from_string("x"), "a");
        c->emplace_keyed("b")->set_int(2);
        c->emplace_back()->set_int(3);
        c->get_or_add("a")->set_int(1);
        EXPECT_TRUE(c->has_key("b"));
        EXPECT_EQ(c->at(-1)->payload.i, 3);
        EXPECT_EQ(c->pool_slot, LUM_POOL_HEAP_SLOT);
        for (auto& e : c->entries) EXPECT_EQ(e.value->pool_slot, LUM_POOL_HEAP_SLOT);
        lum_get_thread_local().vm = nullptr;
        built = c;
    });
    worker.join();
    ASSERT_NE(built, nullptr);
    {
        lumptr_strong<lum_std_json> handle(built);  // the last handle goes on the VM thread
        EXPECT_EQ(handle->entries.size(), 3u);
        EXPECT_EQ(handle->get_or_add("a")->payload.i, 1);
        EXPECT_EQ(handle->get_or_add("b")->payload.i, 2);
    }
}

// A native object that appends its name to a list when it is destroyed.
class ordered : public lumobject<ordered, CLASS_STRING<"test.ordered">> {
public:
    static constexpr uint32_t constructor_max_args = 0;
    static void script_register() {}
    std::vector<char>* order = nullptr;
    char name = 0;
    ~ordered() override {
        if (order != nullptr) order->push_back(name);
    }
};

TEST_F(JsonContainer, ReleasesNestingOfAnyDepthInEntryOrder) {
    // A chain of containers far deeper than the native stack could follow
    // (a script builds one with a loop): releasing it must not recurse.
    {
        lumvar_shared chain = lumvar_shared::make_typed(LUMVAR_JSON);
        for (int i = 0; i < 100000; ++i) {
            lumvar_shared outer = lumvar_shared::make_typed(LUMVAR_JSON);
            outer->json_container()->emplace_back()->set(chain);
            chain = std::move(outer);
        }
        chain.reset();
    }
    // Values go depth first in entry order: a nested container's entries
    // before the entries after it, as a recursive release would take them.
    std::vector<char> order;
    auto object = [&](char name) {
        auto* o = new ordered();
        o->order = &order;
        o->name = name;
        return lumvar_shared::from_object(o);
    };
    auto [v, c] = fresh_json();
    auto [in, inner] = fresh_json();
    auto [most, innermost] = fresh_json();
    c->push_keyed(object('a'), "");
    inner->push_keyed(object('b'), "");
    innermost->push_keyed(object('c'), "");
    inner->push_keyed(std::move(most), "");
    inner->push_keyed(object('d'), "");
    c->push_keyed(std::move(in), "k");
    c->push_keyed(object('e'), "");
    c->clear();
    EXPECT_EQ(std::string(order.begin(), order.end()), "abcde");
}

TEST_F(JsonContainer, ReleasedTextsLeaveNoBuffersInPooledStrings) {
    // A pooled string object keeps its buffer for its next use; the strings a
    // container alone holds give theirs back when the container lets them go,
    // so a released document leaves no buffers scattered over the heap.
    const std::string long_text(200, 'x');
    auto [v, c] = fresh_json();
    c->push_keyed(str(long_text), "alone");
    lum_std_string* alone = c->entries[0].value->string_object();
    ASSERT_NE(alone, nullptr);
    ASSERT_NE(alone->pool_slot, LUM_POOL_HEAP_SLOT);  // pooled: the object outlives its release
    // Strings that something else still holds keep their text.
    lumvar_shared kept_cell = c->emplace_back();
    kept_cell->set_string(long_text);
    lumvar_shared& shared_object = c->emplace_back();
    shared_object->set_string(long_text);
    lumptr_strong<lumobject_base> object_holder(shared_object->string_object());
    lum_std_string* shared = shared_object->string_object();
    v.reset();
    EXPECT_LE(alone->text.capacity(), std::string().capacity());
    EXPECT_EQ(kept_cell->to_std_string(), long_text);
    EXPECT_EQ(shared->text, long_text);
}

}  // namespace
}  // namespace j1test
