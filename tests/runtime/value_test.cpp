// Value cells and handles: allocation from the VM's pools or the heap, release
// from any thread, change of type, assignment across every pair of types,
// references, owning values and the buffer lock rules.
#include <gtest/gtest.h>

#include <thread>

#include "runtime/namespace.h"
#include "runtime/vm.h"
#include "tests/runtime/value_test_support.h"

namespace {

using Cells = vm_test;

TEST_F(Cells, CellsComeFromThePoolOnTheVmThreadAndFromTheHeapOtherwise) {
    auto& pool = vm().pool_cells;
    const uint64_t before = pool.live_count(), strings = vm().pool_strings.live_count();
    {
        lumvar_shared v = none(), copy = v, moved = std::move(copy);
        EXPECT_FALSE(copy);
        moved = moved;  // self-assignment changes nothing
        EXPECT_EQ(std::tuple(v->type, v->refcount, pool.live_count()), std::tuple(LUMVAR_NONE, 2u, before + 1));
        EXPECT_LT(v->pool_slot, 255);
        EXPECT_EQ(typed(LUMVAR_INT)->int_value(), 0);
    }
    EXPECT_EQ(pool.live_count(), before);
    {
        lum_pooling_suspend heap_only;
        lumvar_shared v = str("heap");
        EXPECT_EQ(v->pool_slot + v->string_object()->pool_slot, 2 * 255);
    }
    EXPECT_LT(str("pooled")->string_object()->pool_slot, 255);
    uint8_t slot_elsewhere = 0;
    std::thread([&] { slot_elsewhere = none()->pool_slot; }).join();
    EXPECT_EQ(slot_elsewhere, 255);

    // Released on a worker of the VM without its lock: through the ring, back at the next turn.
    std::vector<lumvar_shared> values(300);
    for (auto& v : values) v = str("x");
    lum_vm* shared_vm = &vm();
    std::thread([&] {
        lum_get_thread_local().vm = shared_vm;
        values.clear();
        lum_get_thread_local().vm = nullptr;
    }).join();
    EXPECT_EQ(pool.live_count(), before + 300);
    EXPECT_EQ(pool.deferred_pending(), 300u);
    host.turn();
    EXPECT_EQ(pool.live_count(), before);
    EXPECT_EQ(vm().pool_strings.live_count(), strings);

    // A pool that cannot grow falls back to the heap.
    std::vector<lumvar_shared> keep{none()};
    while (pool.live_count() < pool.chunk_count() * 255) keep.push_back(none());
    pool.set_chunk_limit(pool.chunk_count());
    EXPECT_EQ(none()->pool_slot, 255);
    EXPECT_EQ(errors(), texts_t{"Failed to allocate a pool chunk!"});
    pool.set_chunk_limit(0);
}

TEST_F(Cells, NegativeCountIsLoggedAndTheCellLeftAlone) {
    lumvar* cell = lumvar::allocate();
    cell->set_int(5);
    cell->refcount = static_cast<uint32_t>(-1);
    lumvar::free(cell);
    EXPECT_EQ(errors(), texts_t{"refcount < 0 !!!"});
    EXPECT_EQ(cell->type, LUMVAR_INT);
    cell->refcount = 0;
    lumvar::free(cell);
}

TEST_F(Cells, RetypingKeepsAUniqueRecordEmptiedAndDropsSharedOnes) {
    lumvar_shared v = str("abc");
    lum_std_string* before = v->string_object();
    v->set_type(LUMVAR_STRING);
    EXPECT_EQ(v->string_object(), before);
    EXPECT_EQ(v->string_object()->text, "");
    v->set_string("shared");
    lumptr_strong<lumobject_base> other_holder(v->string_object());
    v->set_type(LUMVAR_STRING);
    EXPECT_NE(v->string_object(), before);
    EXPECT_EQ(static_cast<lum_std_string*>(other_holder.get())->text, "shared");

    auto probe = make_probe();
    v = typed(LUMVAR_OBJECT_MEMBER_LITERAL);
    lumvar_member_name_ref* record = v->member_name_ref();
    record->object = lumptr_strong<lumobject_base>(probe.get());
    v->set_type(LUMVAR_OBJECT_MEMBER_LITERAL);
    EXPECT_EQ(v->member_name_ref(), record);
    EXPECT_EQ(probe.use_count(), 1u);
    const uint64_t names = vm().pool_member_names.live_count(), keys = vm().pool_member_keys.live_count();
    v->set_type(LUMVAR_OBJECT_MEMBER_VAR);
    EXPECT_EQ(vm().pool_member_names.live_count(), names - 1);
    EXPECT_EQ(vm().pool_member_keys.live_count(), keys + 1);
    v->set_type(LUMVAR_NONE);
    EXPECT_EQ(vm().pool_member_keys.live_count(), keys);
}

lumvar_shared owning(probe_object* p) {
    lumvar_shared v = object_value(p);
    v->flags |= LUMVAR_FLAG_OWNING;
    return v;
}

// An owning value destroys its object when it goes, even while other handles
// hold it; while a thread job holds the object, its VM defers the release;
// a thread without a VM leaves the object to its other holders.
TEST_F(Cells, OwningObjectValueDestroysItsObjectOrDefersItWhileJobsRun) {
    int destroyed = 0;
    auto probe = make_probe("owned", &destroyed), busy = make_probe("busy", &destroyed),
         orphan = make_probe("orphan", &destroyed);
    lumptr_weak<probe_object> watch(probe.get());
    owning(probe.get());
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(probe);
    EXPECT_TRUE(watch.expired());

    busy->thread_jobs = orphan->thread_jobs = 1;
    owning(busy.get());
    EXPECT_EQ(destroyed, 1);
    ASSERT_EQ(vm().deferred_releases.size(), 1u);
    EXPECT_EQ(vm().deferred_releases[0].get(), busy.get());
    busy->thread_jobs = 0;
    host.turn();
    EXPECT_EQ(destroyed, 2);

    lumvar_shared v = owning(orphan.get());
    lum_get_thread_local().vm = nullptr;
    v->set_type(LUMVAR_NONE);
    lum_get_thread_local().vm = host.get();
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(orphan.use_count(), 1u);
    orphan->thread_jobs = 0;
    orphan.reset();
    EXPECT_EQ(destroyed, 3);
}

TEST_F(Cells, OwningJsonValueEmptiesNestedContainersAndOwnsTheirObjects) {
    int destroyed = 0;
    auto probe = make_probe("inner", &destroyed);
    lumvar_shared held = object_value(probe.get()), inner_value = list({}), outer = list({});
    held->flags |= LUMVAR_FLAG_SHARED;  // the entry holds this very object
    lum_std_json* inner = inner_value->json_container();
    inner->push_keyed(std::move(held), "p");
    outer->json_container()->push_keyed(lumvar_shared(inner_value), "inner");
    outer->json_container()->push_keyed(lumvar_shared(outer), "self");  // a cycle: the guard cuts it
    outer->flags |= LUMVAR_FLAG_OWNING;
    outer->set_type(LUMVAR_NONE);
    EXPECT_EQ(inner->entries.size(), 0u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(json_visit_guard::for_thread().stack.empty());
}

// One sample value of every type (member references point into `probe`).
struct type_samples {
    lumptr_strong<probe_object> probe = make_probe("src");
    lum_function_def def;
    lumvar_shared ref_target = num(99);

    type_samples() { probe->named["m"] = num(41), probe->indexed[2] = num(42); }
    lumvar_shared make(uint8_t type) {
        const lumvar_shared samples[] = {str("text"), bytes({1, 2, 3}), list({num(1)}), object_value(probe.get())};
        if (type == LUMVAR_INT) return num(7);
        if (type == LUMVAR_FLOAT) return flt(2.5);
        if (type >= LUMVAR_STRING && type <= LUMVAR_OBJECT) return samples[type - LUMVAR_STRING];
        lumvar_shared v = typed(type);
        const lumptr_strong<lumobject_base> object(probe.get());
        if (type == LUMVAR_EXT_FUNCTION) v->set_ext_function(&def, probe.get());
        if (type == LUMVAR_REF) v->set_ref(ref_target.get());
        if (type == LUMVAR_OBJECT_MEMBER_LITERAL) v->member_name_ref()->object = object, v->member_name_ref()->name = "m";
        if (type == LUMVAR_OBJECT_MEMBER_INDEX) v->member_index_ref()->object = object, v->member_index_ref()->index = 2;
        if (type == LUMVAR_OBJECT_MEMBER_VAR) v->member_key_ref()->object = lumptr_weak<lumobject_base>(probe.get());
        if (type == LUMVAR_OBJECT_MEMBER_VAR) v->member_key_ref()->key->set_string("m");
        return v;
    }
};

bool is_marker(uint8_t t) { return t == LUMVAR_PRIMITIVE_END || t == LUMVAR_OBJECTS_END || t >= 18; }
bool is_member_ref(uint8_t t) { return t >= 14 && t <= 16; }

// Strings and buffers are copied, containers shared, objects copied (without
// the shared flag); member references hand their value to the source handle
// and write through as targets; marker types are refused with a warning.
TEST_F(Cells, AssignmentAcrossEveryPairOfTypes) {
    const uint64_t cells_before = vm().pool_cells.live_count();
    {
        type_samples src, dst;
        for (uint8_t s = 0; s <= 18; ++s) {
            for (uint8_t t = 0; t <= 18; ++t) {
                SCOPED_TRACE("source " + std::to_string(s) + " target " + std::to_string(t));
                log().clear();
                lumvar_shared source = src.make(s), target = dst.make(t), handle = source, written;
                target->set(handle);
                const uint8_t effective = is_member_ref(s) ? uint8_t{LUMVAR_INT} : s;
                EXPECT_EQ(handle->type, effective);
                if (is_member_ref(t)) {
                    EXPECT_EQ(target->type, t);
                    target->deref(written);
                    if (!is_marker(effective) && effective != LUMVAR_REF) { EXPECT_EQ(written->type, effective); }
                    continue;
                }
                if (is_marker(effective)) {
                    EXPECT_EQ(target->type, t);
                    EXPECT_EQ(warnings(), texts_t{"set() not implemented for var type: " + std::to_string(effective)});
                    continue;
                }
                EXPECT_TRUE(log().entries().empty());
                ASSERT_EQ(target->type, effective);
                const int64_t ints[] = {7, 41, 42, 41};
                if (effective == LUMVAR_INT) { EXPECT_EQ(target->int_value(), ints[s == 2 ? 0 : s - 13]); }
                if (effective == LUMVAR_FLOAT) { EXPECT_EQ(target->payload.f, 2.5); }
                if (effective == LUMVAR_STRING) { EXPECT_EQ(target->string_object()->text, "text"); }
                if (effective == LUMVAR_STRING) { EXPECT_NE(target->string_object(), source->string_object()); }
                if (effective == LUMVAR_BINARY) {
                    EXPECT_EQ(target->buffer_object()->bytes, (std::vector<uint8_t>{1, 2, 3}));
                }
                if (effective == LUMVAR_BINARY) { EXPECT_NE(target->buffer_object(), source->buffer_object()); }
                if (effective == LUMVAR_JSON) { EXPECT_EQ(target->json_container(), source->json_container()); }
                if (effective == LUMVAR_OBJECT) { EXPECT_EQ(target->object_holder()->object->to_string(), "src'"); }
                if (effective == LUMVAR_EXT_FUNCTION) {
                    EXPECT_EQ(target->ext_function_record()->definition.get(), &src.def);
                    EXPECT_EQ(target->ext_function_record()->owner.get(), src.probe.get());
                }
                if (effective == LUMVAR_REF) { EXPECT_EQ(target->payload.ref, src.ref_target.get()); }
            }
        }
    }
    EXPECT_EQ(vm().pool_cells.live_count(), cells_before);
    EXPECT_EQ(vm().pool_object_holders.live_count() + vm().pool_member_keys.live_count() +
                  vm().pool_ext_functions.live_count(),
              0u);
}

TEST_F(Cells, ObjectsShareOnlyWithTheFlagAndSelfAssignmentIsANoOp) {
    auto probe = make_probe("p");
    lumvar_shared o = object_value(probe.get()), p = none(), a = str("one"), self = a, nothing;
    o->flags |= LUMVAR_FLAG_SHARED;
    p->set(o);
    EXPECT_EQ(p->object_holder()->object.get(), probe.get());
    p->set(o);  // same object: no change
    EXPECT_EQ(probe.use_count(), 3u);
    a->set(self);
    a->set(nothing);
    EXPECT_EQ(a->to_std_string(), "one");
    EXPECT_EQ(a->refcount, 2u);
}

TEST_F(Cells, RefsCountTheirTargetAndCopyWhenTheTargetAsks) {
    lumvar_shared target = num(3), other = num(4), r = ref_to(target);
    EXPECT_EQ(target->refcount, 2u);
    r->set_ref(other.get());
    EXPECT_EQ(std::tuple(target->refcount, other->refcount), std::tuple(1u, 2u));
    r->set_ref(nullptr);
    EXPECT_EQ(std::tuple(r->type, other->refcount), std::tuple(LUMVAR_NONE, 1u));
    target->ref_flags |= LUMVAR_REF_FLAG_COPY;
    r->set_ref(target.get());
    EXPECT_EQ(std::tuple(r->type, r->int_value(), target->refcount), std::tuple(LUMVAR_INT, 3, 1u));
    target->set_type(LUMVAR_STRING);  // a change of type clears the reference flags
    EXPECT_EQ(target->ref_flags, 0);
}

// Each link is a ref to the previous one; dropping the last handle (or
// retyping the head) frees the whole chain without a stack frame per link.
TEST_F(Cells, LongRefChainsAreReleasedWithoutDeepRecursion) {
    constexpr int links = 200000;
    for (const bool retype_head : {false, true}) {
        const uint64_t before = vm().pool_cells.live_count();
        lumvar_shared head = num(7), value;
        for (int i = 0; i < links; ++i) head = ref_to(head);
        head->deref(value);
        EXPECT_EQ(value->int_value(), 7);
        value.reset();
        EXPECT_EQ(vm().pool_cells.live_count(), before + links + 1);
        if (retype_head) head->set_int(1);
        if (retype_head) { EXPECT_EQ(vm().pool_cells.live_count(), before + 1); }
        head.reset();
        EXPECT_EQ(vm().pool_cells.live_count(), before);
    }
}

TEST_F(Cells, WritingThroughMemberReferencesReachesTheObjectOrWarnsWhenItIsGone) {
    auto probe = make_probe(), gone = make_probe();
    lumvar_shared v = object_value(probe.get()), by_name, by_index, dangling;
    object_value(gone.get())->get_member_by_name(dangling, "m");
    kill_probe(gone.get());
    assign(dangling, num(1));
    EXPECT_EQ(warnings(), texts_t{"Cannot set object member, doesnt exist anymore!"});
    v->get_member_by_name(by_name, "x");
    v->get_member_by_index(by_index, 4);
    assign(by_name, num(5));
    assign(by_index, str("t"));
    EXPECT_EQ(probe->named["x"]->int_value(), 5);
    EXPECT_EQ(probe->indexed[4]->to_std_string(), "t");
    EXPECT_EQ(by_name->type, LUMVAR_OBJECT_MEMBER_LITERAL);
}

TEST_F(Cells, BufferLocksGuardAssignmentAndANewBufferStartsUnlocked) {
    lumvar_shared source = bytes({7, 8}), target = str("keep");
    source->buffer_object()->write_locks = 1;
    target->set(source);
    EXPECT_EQ(errors(), texts_t{framed(std::string(lum_buffer_in_use_message))});
    EXPECT_EQ(target->to_std_string(), "keep");
    source->buffer_object()->write_locks = 0;

    // A target buffer held by a launch is replaced, not overwritten.
    target = bytes({1, 1, 1});
    lumptr_strong<lumobject_base> launch_view(target->buffer_object());
    auto* launch_buffer = static_cast<lum_std_buffer*>(launch_view.get());
    launch_buffer->read_locks = 1;
    assign(target, bytes({2}));
    EXPECT_EQ(target->buffer_object()->bytes, (std::vector<uint8_t>{2}));
    EXPECT_EQ(launch_buffer->bytes, (std::vector<uint8_t>{1, 1, 1}));
    launch_buffer->read_locks = 0;

    lum_std_buffer* b = lum_std_buffer::create();
    b->bytes = {1, 2, 3};
    b->read_locks = 2;
    b->write_locks = 1;
    b->destroy();  // back to its slot with the counts still raised
    lum_std_buffer* again = lum_std_buffer::create();
    ASSERT_EQ(again, b);
    EXPECT_TRUE(again->bytes.empty());
    EXPECT_EQ(again->read_locks + again->write_locks, 0u);
    again->destroy();
}

TEST_F(Cells, NullObjectMakesNoneAndTypeNamesCoverTheReservedRows) {
    EXPECT_EQ(lumvar_shared::from_object(nullptr)->type, LUMVAR_NONE);
    const std::pair<uint8_t, const char*> names[] = {
        {16, "object_member_var"}, {18, "deckcom"}, {19, "deckcom_cmd"}, {20, "unknown"}};
    for (auto [type, name] : names) EXPECT_STREQ(lumvar_type_name(type), name);
}

}  // namespace
