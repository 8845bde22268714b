// The "std.json" container: element access, the key index and its designated
// entries through appends, erasures, copies and sorts, removal by key,
// clear_free, the visit guard, and builders used off the VM thread.
#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "runtime/vm.h"
#include "tests/types/json_test_support.h"
#include "types/string_object.h"

namespace j1test {
namespace {

using container = json_test;

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

TEST_F(container, AtCountsFromTheEndAndRaisesOutOfBounds) {
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

TEST_F(container, DesignatedEntryFollowsAppendsAndErasures) {
    auto [v, c] = fresh_json();
    push_all(c, {{"a", num(1)}, {"a", num(2)}});
    EXPECT_EQ(c->get_or_add("a")->payload.i, 2);  // the last append is designated
    EXPECT_EQ(c->key_count("a"), 2u);
    EXPECT_TRUE(c->erase_at(1));
    EXPECT_EQ(c->get_or_add("a")->payload.i, 1);
    EXPECT_EQ(c->key_count("a"), 1u);
    EXPECT_TRUE(c->erase_at(0));
    EXPECT_FALSE(c->has_key("a"));
    EXPECT_EQ(c->find_key("a"), nullptr);

    // Erasing the designated entry designates the FIRST remaining one, not the
    // previous designated or the nearest.
    push_all(c, {{"k", num(1)}, {"x", num(0)}, {"k", num(2)}, {"k", num(3)}});
    EXPECT_EQ(c->get_or_add("k")->payload.i, 3);
    EXPECT_TRUE(c->erase_at(-1));
    EXPECT_EQ(c->get_or_add("k")->payload.i, 1);
    // Erasing a non-designated entry keeps the designation.
    EXPECT_TRUE(c->erase_at(2));
    EXPECT_EQ(c->get_or_add("k")->payload.i, 1);
    EXPECT_EQ(c->key_count("k"), 1u);
    // Out of range (after adding the size once) changes nothing.
    EXPECT_FALSE(c->erase_at(2));
    EXPECT_FALSE(c->erase_at(-3));
    EXPECT_EQ(c->entries.size(), 2u);
}

TEST_F(container, AssignFromDesignatesTheFirstAndSharesNestedContainers) {
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

TEST_F(container, EmptyKeysAndKeysWithNulBytes) {
    auto [v, c] = fresh_json();
    c->push_keyed(num(1), "");
    EXPECT_FALSE(c->entries[0].key);  // a list element
    EXPECT_FALSE(c->has_key(""));
    lumvar_shared e = c->get_or_add("");
    ASSERT_EQ(c->entries.size(), 2u);
    ASSERT_TRUE(c->entries[1].key);
    EXPECT_TRUE(c->entries[1].key->empty());
    EXPECT_TRUE(c->entries[1].has_present_key());
    EXPECT_FALSE(c->entries[1].has_key());
    EXPECT_TRUE(c->has_key(""));
    EXPECT_EQ(c->get_or_add("").get(), e.get());  // found, not added again

    const std::string a("k\0a", 3), b("k\0b", 3);
    c->push_keyed(num(10), a);
    c->push_keyed(num(20), b);
    EXPECT_EQ(c->get_or_add(a)->payload.i, 10);
    EXPECT_EQ(c->get_or_add(b)->payload.i, 20);
    EXPECT_FALSE(c->has_key("k"));
    EXPECT_TRUE(c->erase_key(a));
    EXPECT_FALSE(c->has_key(a));
    EXPECT_TRUE(c->has_key(b));
}

TEST_F(container, EraseKeyRemovesEveryEntryWithTheKey) {
    auto [v, c] = fresh_json();
    c->push_keyed(num(1), "");
    EXPECT_FALSE(c->erase_key("a"));  // no index: no notice
    EXPECT_TRUE(notices().empty());

    push_all(c, {{"a", num(2)}, {"b", num(3)}, {"a", num(4)}});
    EXPECT_FALSE(c->erase_key("zz"));
    EXPECT_EQ(notices(), std::vector<std::string>{"Key zz does not exist!"});

    // The key may view an entry's own text.
    EXPECT_TRUE(c->erase_key(*c->entries[1].key));
    EXPECT_EQ(keys_of(c), (std::vector<std::string>{"-", "b"}));
    EXPECT_EQ(c->entries[1].value->payload.i, 3);
    EXPECT_FALSE(c->has_key("a"));
    EXPECT_EQ(c->key_count("b"), 1u);

    // An empty present key is removed by the empty key.
    c->get_or_add("");
    EXPECT_TRUE(c->erase_key(""));
    EXPECT_EQ(keys_of(c), (std::vector<std::string>{"-", "b"}));
}

TEST_F(container, MemberOperations) {
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

TEST_F(container, SortingMovesEntriesWithoutDisturbingTheIndex) {
    auto [v, c] = fresh_json();
    push_all(c, {{"b", num(1)}, {"A", num(2)}, {"", num(3)}, {"a", num(4)}, {"", num(5)}, {"B", num(6)}});
    lumvar* designated_a = c->find_key("a");
    c->sort_keys_nocase();
    std::vector<std::string> keys = keys_of(c);
    ASSERT_EQ(keys.size(), 6u);
    // A/a and b/B in either order, the two list elements last.
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.begin() + 2), (std::set<std::string>{"A", "a"}));
    EXPECT_EQ(std::set<std::string>(keys.begin() + 2, keys.begin() + 4), (std::set<std::string>{"b", "B"}));
    EXPECT_EQ(keys[4], "-");
    EXPECT_EQ(keys[5], "-");
    EXPECT_EQ(c->find_key("a"), designated_a);
    EXPECT_EQ(c->get_or_add("a")->payload.i, 4);

    c->sort_keys_reverse();
    EXPECT_EQ(keys_of(c), (std::vector<std::string>{"b", "a", "B", "A", "-", "-"}));
    EXPECT_EQ(c->get_or_add("B")->payload.i, 6);
    // Erasing after a sort still finds the right records.
    EXPECT_TRUE(c->erase_at(1));
    EXPECT_FALSE(c->has_key("a"));
    EXPECT_EQ(c->find_nocase("a"), 2);  // "A" now at 2 after "B"

    // The partition swaps each unkeyed entry with the last keyed one.
    auto [pv, p] = fresh_json();
    for (const char* k : {"", "x", "", "y", "z"}) p->push_keyed(num(0), k);
    EXPECT_EQ(p->partition_keyed(), 3u);
    EXPECT_EQ(keys_of(p), (std::vector<std::string>{"z", "x", "y", "-", "-"}));
}

TEST_F(container, CaseInsensitiveLookupTakesTheFirstMatch) {
    auto [v, c] = fresh_json();
    c->get_or_add("");
    push_all(c, {{"Name", num(1)}, {"name", num(2)}});
    EXPECT_EQ(c->find_nocase("NAME"), 1);
    EXPECT_EQ(c->find_nocase("name"), 1);
    EXPECT_EQ(c->find_nocase(""), -1);
    EXPECT_EQ(c->find_nocase("nam"), -1);
    EXPECT_EQ(c->get_or_add("name")->payload.i, 2);  // exact lookups use the index
}

// Every operation that touches keys, checked against a model of the index
// rules (designation, counts) over many keys, so the hash table grows and
// deletes in every probe pattern.
TEST_F(container, KeyIndexMatchesItsModelThroughRandomOperations) {
    struct model_record {
        lumvar* designated;
        uint32_t count;
    };
    lum_std_json* c = nullptr;
    lumvar_shared v = new_json(c);
    std::map<std::string, model_record> model;
    std::mt19937 rng(1234);
    auto random_key = [&]() -> std::string {
        const int n = static_cast<int>(rng() % 60);
        if (n == 0) return "";
        if (n == 1) return std::string("\0", 1);
        return "k" + std::to_string(n);
    };
    auto first_with = [&](const std::string& k, const lumvar* skip) -> lumvar* {
        for (auto& e : c->entries)
            if (e.key && *e.key == k && e.value.get() != skip) return e.value.get();
        return nullptr;
    };
    auto check = [&](int step) {
        ASSERT_EQ(c->key_index ? c->key_index->size() : 0u, model.size()) << step;
        for (auto& [k, r] : model) {
            ASSERT_EQ(c->find_key(k), r.designated) << step << " key " << k;
            ASSERT_EQ(c->key_count(k), r.count) << step << " key " << k;
        }
    };
    for (int step = 0; step < 6000; ++step) {
        const int op = static_cast<int>(rng() % 100);
        if (op < 30) {
            const std::string k = random_key();
            c->push_keyed(num(step), k);
            if (!k.empty()) {
                auto& r = model[k];
                r.designated = c->entries.back().value.get();
                ++r.count;
            }
        } else if (op < 40) {
            const std::string k = random_key();
            lumvar_shared got = c->get_or_add(k);
            auto it = model.find(k);
            if (it != model.end()) {
                ASSERT_EQ(got.get(), it->second.designated);
            } else {
                model[k] = {c->entries.back().value.get(), 1};
                ASSERT_EQ(got.get(), c->entries.back().value.get());
            }
        } else if (op < 70 && !c->entries.empty()) {
            const int64_t n = static_cast<int64_t>(c->entries.size());
            const int64_t i = static_cast<int64_t>(rng() % static_cast<uint32_t>(2 * n)) - n;
            const size_t pos = static_cast<size_t>(i < 0 ? i + n : i);
            lum_json_entry& e = c->entries[pos];
            if (e.key) {
                auto it = model.find(*e.key);
                if (it != model.end()) {
                    if (--it->second.count == 0) {
                        model.erase(it);
                    } else if (it->second.designated == e.value.get()) {
                        it->second.designated = first_with(*e.key, e.value.get());
                    }
                }
            }
            ASSERT_TRUE(c->erase_at(i));
        } else if (op < 76) {
            const std::string k = random_key();
            const bool had = model.count(k) != 0;
            EXPECT_EQ(c->erase_key(k), had && first_with(k, nullptr) != nullptr);
            model.erase(k);
        } else if (op < 80) {
            c->sort_keys_nocase();
        } else if (op < 84) {
            c->sort_keys_reverse();
        } else if (op < 88) {
            // Both designate the first entry of each key; a rebuild leaves out present empty keys.
            const bool rebuild = op >= 86;
            if (rebuild)
                c->rebuild_key_index();
            else
                c->assign_from(*c);
            model.clear();
            for (auto& e : c->entries) {
                if (!(rebuild ? e.has_key() : static_cast<bool>(e.key))) continue;
                auto [it, added] = model.try_emplace(*e.key, model_record{e.value.get(), 0});
                ++it->second.count;
            }
        } else if (op < 89 && rng() % 4 == 0) {
            c->clear();
            model.clear();
        }
        check(step);
        if (HasFatalFailure()) return;
    }
    notices();  // missing-key notices of erase_key
}

TEST_F(container, ClearFreeOwnsOnlyCellsTheContainerAloneHolds) {
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

TEST_F(container, RemoveKeyRecursiveVisitsEveryLevelOnce) {
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

TEST_F(container, VisitGuardRefusesCyclesAndDepth) {
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

TEST_F(container, BuildersWorkOnAWorkerThreadWithHeapObjects) {
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

TEST_F(container, ReleasesNestingOfAnyDepthInEntryOrder) {
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

TEST_F(container, ReleasedTextsLeaveNoBuffersInPooledStrings) {
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
