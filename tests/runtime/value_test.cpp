// Value cells and handles: allocation from the VM's pools or the heap, release
// from any thread, change of type, assignment across every pair of types,
// references, owning values and the buffer lock rules.
#include <gtest/gtest.h>

#include <thread>

#include "runtime/namespace.h"
#include "runtime/vm.h"
#include "tests/runtime/value_test_support.h"

namespace {

using cells = vm_test;

uint64_t live_cells(lum_vm& vm) { return vm.pool_cells.live_count(); }

TEST_F(cells, NewCellIsNoneWithCountOneFromThePoolAndGoesBack) {
    const uint64_t before = live_cells(vm());
    {
        lumvar_shared v = lumvar_shared::make();
        EXPECT_EQ(v->type, LUMVAR_NONE);
        EXPECT_EQ(v->refcount, 1u);
        EXPECT_LT(v->pool_slot, 255);
        EXPECT_EQ(live_cells(vm()), before + 1);
        lumvar_shared copy = v;
        EXPECT_EQ(v->refcount, 2u);
        lumvar_shared moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(v->refcount, 2u);
        moved = moved;  // self-assignment changes nothing
        EXPECT_EQ(v->refcount, 2u);
    }
    EXPECT_EQ(live_cells(vm()), before);
    EXPECT_TRUE(log().entries().empty());
}

TEST_F(cells, HeapCellsWhenPoolingIsSuspendedOrOffTheVmThread) {
    {
        lum_pooling_suspend heap_only;
        lumvar_shared v = lumvar_shared::from_string("heap");
        EXPECT_EQ(v->pool_slot, 255);
        EXPECT_EQ(v->string_object()->pool_slot, 255);
    }
    lumvar_shared pooled = lumvar_shared::from_string("pooled");
    EXPECT_LT(pooled->string_object()->pool_slot, 255);
    uint8_t slot_elsewhere = 0;
    std::thread([&] { slot_elsewhere = lumvar_shared::make()->pool_slot; }).join();
    EXPECT_EQ(slot_elsewhere, 255);
}

TEST_F(cells, ReleaseOnAnotherThreadOfTheVmGoesThroughTheRing) {
    const uint64_t before = live_cells(vm());
    const uint64_t strings_before = vm().pool_strings.live_count();
    std::vector<lumvar_shared> values;
    for (int i = 0; i < 300; ++i) values.push_back(lumvar_shared::from_string("x"));
    lum_vm* shared_vm = &vm();
    std::thread([&] {
        lum_get_thread_local().vm = shared_vm;  // a worker of this VM without its lock
        values.clear();
        lum_get_thread_local().vm = nullptr;
    }).join();
    EXPECT_EQ(live_cells(vm()), before + 300);  // nothing returned by the other thread itself
    EXPECT_EQ(vm().pool_cells.deferred_pending(), 300u);
    host.turn();
    EXPECT_EQ(live_cells(vm()), before);
    EXPECT_EQ(vm().pool_strings.live_count(), strings_before);
}

TEST_F(cells, NegativeCountIsLoggedAndTheCellLeftAlone) {
    lumvar* cell = lumvar::allocate();
    cell->set_int(5);
    cell->refcount = static_cast<uint32_t>(-1);
    lumvar::free(cell);
    EXPECT_EQ(errors(), (std::vector<std::string>{"refcount < 0 !!!"}));
    EXPECT_EQ(cell->type, LUMVAR_INT);
    cell->refcount = 0;
    lumvar::free(cell);
}

TEST_F(cells, PoolThatCannotGrowFallsBackToTheHeap) {
    // Fill the current chunk, then forbid new ones.
    std::vector<lumvar_shared> keep;
    keep.push_back(lumvar_shared::make());
    while (live_cells(vm()) < vm().pool_cells.chunk_count() * 255) keep.push_back(lumvar_shared::make());
    vm().pool_cells.set_chunk_limit(vm().pool_cells.chunk_count());
    lumvar_shared extra = lumvar_shared::make();
    EXPECT_EQ(extra->pool_slot, 255);
    EXPECT_EQ(errors(), (std::vector<std::string>{"Failed to allocate a pool chunk!"}));
    vm().pool_cells.set_chunk_limit(0);
}

TEST_F(cells, RetypingAUniqueStringKeepsItsObjectEmptied) {
    lumvar_shared v = lumvar_shared::from_string("abc");
    lum_std_string* before = v->string_object();
    v->set_type(LUMVAR_STRING);
    EXPECT_EQ(v->string_object(), before);
    EXPECT_EQ(v->string_object()->text, "");

    v->set_string("shared");
    lumptr_strong<lumobject_base> other_holder(v->string_object());
    v->set_type(LUMVAR_STRING);
    EXPECT_NE(v->string_object(), before);
    EXPECT_EQ(static_cast<lum_std_string*>(other_holder.get())->text, "shared");
}

TEST_F(cells, SameTypeRecordsStayWhileTheirPointersAreDropped) {
    auto probe = make_probe();
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_OBJECT_MEMBER_LITERAL);
    lumvar_member_name_ref* record = v->member_name_ref();
    record->object = lumptr_strong<lumobject_base>(probe.get());
    record->name = "m";
    EXPECT_EQ(probe.use_count(), 2u);
    v->set_type(LUMVAR_OBJECT_MEMBER_LITERAL);
    EXPECT_EQ(v->member_name_ref(), record);
    EXPECT_EQ(probe.use_count(), 1u);
    const uint64_t names = vm().pool_member_names.live_count();
    v->set_type(LUMVAR_INT);
    EXPECT_EQ(vm().pool_member_names.live_count(), names - 1);
}

TEST_F(cells, OwningObjectValueDestroysItsObjectOrDefersItWhileJobsRun) {
    auto owning = [](probe_object* p) {
        lumvar_shared v = object_value(p);
        v->flags |= LUMVAR_FLAG_OWNING;
        return v;
    };
    int destroyed = 0;
    auto probe = make_probe("owned", &destroyed);
    lumptr_weak<probe_object> watch(probe.get());
    owning(probe.get());  // the value goes at once
    EXPECT_EQ(destroyed, 1);  // destroyed although `probe` still held it
    EXPECT_FALSE(probe);
    EXPECT_TRUE(watch.expired());

    auto busy = make_probe("busy", &destroyed);
    busy->thread_jobs = 1;
    owning(busy.get());
    EXPECT_EQ(destroyed, 1);
    ASSERT_EQ(vm().deferred_releases.size(), 1u);
    EXPECT_EQ(vm().deferred_releases[0].get(), busy.get());
    busy->thread_jobs = 0;
    host.turn();
    EXPECT_EQ(destroyed, 2);

    // A thread without a VM has no list to defer to: the object is left to its holders.
    auto orphan = make_probe("orphan", &destroyed);
    orphan->thread_jobs = 1;  // a worker job still holds the object
    lumvar_shared v = owning(orphan.get());
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* saved = tl.vm;
    tl.vm = nullptr;
    v->set_type(LUMVAR_NONE);
    tl.vm = saved;
    EXPECT_EQ(destroyed, 2);  // not destroyed under the job's feet
    ASSERT_TRUE(orphan);
    EXPECT_EQ(orphan.use_count(), 1u);
    orphan->thread_jobs = 0;
    orphan.reset();  // the last holder goes: now it is destroyed
    EXPECT_EQ(destroyed, 3);
}

TEST_F(cells, OwningJsonValueEmptiesNestedContainersAndOwnsTheirObjects) {
    int destroyed = 0;
    auto probe = make_probe("inner", &destroyed);
    lumvar_shared outer = lumvar_shared::make();
    lum_std_json* top = outer->json_object(true);
    lumvar_shared inner_value = lumvar_shared::make();
    lum_std_json* inner = inner_value->json_object(true);
    lumvar_shared held = object_value(probe.get());
    held->flags |= LUMVAR_FLAG_SHARED;  // the entry holds this very object
    inner->push_keyed(std::move(held), "p");
    top->push_keyed(lumvar_shared(inner_value), "inner");
    top->push_keyed(lumvar_shared(outer), "self");  // a cycle: the guard cuts it
    lumptr_strong<lumobject_base> keep_inner(inner);
    outer->flags |= LUMVAR_FLAG_OWNING;
    outer->set_type(LUMVAR_NONE);
    EXPECT_EQ(inner->entries.size(), 0u);
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(json_visit_guard::for_thread().stack.empty());
}

// ---- assignment across every pair of types ----

struct type_samples {
    lumptr_strong<probe_object> probe = make_probe("src");
    lum_function_def def;
    lumvar_shared ref_target = lumvar_shared::from_int(99);

    type_samples() {
        probe->named["m"] = lumvar_shared::from_int(41);
        probe->indexed[2] = lumvar_shared::from_int(42);
    }

    lumvar_shared make(uint8_t type) {
        lumvar_shared v = lumvar_shared::make();
        switch (type) {
            case LUMVAR_INT: v->set_int(7); break;
            case LUMVAR_FLOAT: v->set_float(2.5); break;
            case LUMVAR_STRING: v->set_string("text"); break;
            case LUMVAR_BINARY: {
                const uint8_t bytes[] = {1, 2, 3};
                v = lumvar_shared::from_bytes(bytes);
                break;
            }
            case LUMVAR_JSON: v->json_object(true)->push_keyed(lumvar_shared::from_int(1), "k"); break;
            case LUMVAR_OBJECT: v = object_value(probe.get()); break;
            case LUMVAR_EXT_FUNCTION: v->set_ext_function(&def, probe.get()); break;
            case LUMVAR_OBJECT_MEMBER_LITERAL:
                v->set_type(type);
                v->member_name_ref()->object = lumptr_strong<lumobject_base>(probe.get());
                v->member_name_ref()->name = "m";
                break;
            case LUMVAR_OBJECT_MEMBER_INDEX:
                v->set_type(type);
                v->member_index_ref()->object = lumptr_strong<lumobject_base>(probe.get());
                v->member_index_ref()->index = 2;
                break;
            case LUMVAR_OBJECT_MEMBER_VAR:
                v->set_type(type);
                v->member_key_ref()->object = lumptr_weak<lumobject_base>(probe.get());
                v->member_key_ref()->key->set_string("m");
                break;
            case LUMVAR_REF: v->set_ref(ref_target.get()); break;
            default: v->set_type(type); break;
        }
        return v;
    }
};

bool is_marker(uint8_t t) { return t == LUMVAR_PRIMITIVE_END || t == LUMVAR_OBJECTS_END || t >= 18; }

TEST_F(cells, AssignmentAcrossEveryPairOfTypes) {
    const uint64_t cells_before = live_cells(vm());
    {
        type_samples src;
        type_samples dst;
        for (uint8_t s = 0; s <= 18; ++s) {
            for (uint8_t t = 0; t <= 18; ++t) {
                SCOPED_TRACE("source " + std::to_string(s) + " target " + std::to_string(t));
                log().clear();
                lumvar_shared source = src.make(s);
                lumvar_shared target = dst.make(t);
                lumvar_shared handle = source;
                target->set(handle);
                // A member-reference source hands its value to the caller's handle.
                const uint8_t effective = (s >= 14 && s <= 16) ? uint8_t{LUMVAR_INT} : s;
                EXPECT_EQ(handle->type, effective);
                if (t >= 14 && t <= 16) {
                    EXPECT_EQ(target->type, t);  // writes through instead
                    lumvar_shared written;
                    target->deref(written);
                    // (a written ref is read back through its target)
                    if (!is_marker(effective) && effective != LUMVAR_REF) {
                        EXPECT_EQ(written->type, effective);
                    }
                    continue;
                }
                if (is_marker(effective)) {
                    EXPECT_EQ(target->type, t);
                    EXPECT_EQ(warnings(), (std::vector<std::string>{"set() not implemented for var type: " +
                                                                    std::to_string(effective)}));
                    continue;
                }
                EXPECT_TRUE(warnings().empty());
                EXPECT_TRUE(errors().empty());
                EXPECT_EQ(target->type, effective);
                switch (effective) {
                    case LUMVAR_INT: EXPECT_EQ(target->int_value(), s == 2 ? 7 : s == 15 ? 42 : 41); break;
                    case LUMVAR_FLOAT: EXPECT_EQ(target->payload.f, 2.5); break;
                    case LUMVAR_STRING:
                        EXPECT_EQ(target->string_object()->text, "text");
                        EXPECT_NE(target->string_object(), source->string_object());
                        break;
                    case LUMVAR_BINARY:
                        EXPECT_EQ(target->buffer_object()->bytes, (std::vector<uint8_t>{1, 2, 3}));
                        EXPECT_NE(target->buffer_object(), source->buffer_object());
                        break;
                    case LUMVAR_JSON: EXPECT_EQ(target->json_container(), source->json_container()); break;
                    case LUMVAR_OBJECT:  // not shared: the object's copy
                        EXPECT_EQ(target->object_holder()->object->to_string(), "src'");
                        break;
                    case LUMVAR_EXT_FUNCTION:
                        EXPECT_EQ(target->ext_function_record()->definition.get(), &src.def);
                        EXPECT_EQ(target->ext_function_record()->owner.get(), src.probe.get());
                        break;
                    case LUMVAR_REF:
                        EXPECT_EQ(target->payload.ref, src.ref_target.get());
                        EXPECT_EQ(target->int_value(), 99);
                        break;
                    default: break;
                }
            }
        }
    }
    EXPECT_EQ(live_cells(vm()), cells_before);
    EXPECT_EQ(vm().pool_object_holders.live_count(), 0u);
    EXPECT_EQ(vm().pool_member_keys.live_count(), 0u);
    EXPECT_EQ(vm().pool_ext_functions.live_count(), 0u);
}

TEST_F(cells, StringsAreCopiedJsonIsSharedObjectsShareOnlyWithTheFlag) {
    lumvar_shared a = lumvar_shared::from_string("one");
    lumvar_shared b = lumvar_shared::make();
    b->set(a);
    b->set_string("two");
    EXPECT_EQ(a->to_std_string(), "one");

    lumvar_shared j = lumvar_shared::make();
    j->json_object(true);
    lumvar_shared k = lumvar_shared::make();
    k->set(j);
    k->json_container()->push_keyed(lumvar_shared::from_int(1), "");
    EXPECT_EQ(j->size(), 1);

    auto probe = make_probe("p");
    lumvar_shared o = object_value(probe.get());
    o->flags |= LUMVAR_FLAG_SHARED;
    lumvar_shared p = lumvar_shared::make();
    p->set(o);
    EXPECT_EQ(p->object_holder()->object.get(), probe.get());
    p->set(o);  // same object: no change
    EXPECT_EQ(probe.use_count(), 3u);

    // Assigning itself or nothing changes nothing.
    lumvar_shared self = a;
    a->set(self);
    lumvar_shared none;
    a->set(none);
    EXPECT_EQ(a->to_std_string(), "one");
    EXPECT_EQ(a->refcount, 2u);
}

TEST_F(cells, RefsCountTheirTargetAndCopyWhenTheTargetAsks) {
    lumvar_shared target = lumvar_shared::from_int(3);
    lumvar_shared r = lumvar_shared::make();
    r->set_ref(target.get());
    EXPECT_EQ(r->type, LUMVAR_REF);
    EXPECT_EQ(target->refcount, 2u);
    lumvar_shared other = lumvar_shared::from_int(4);
    r->set_ref(other.get());
    EXPECT_EQ(target->refcount, 1u);
    EXPECT_EQ(other->refcount, 2u);
    r->set_ref(nullptr);
    EXPECT_EQ(r->type, LUMVAR_NONE);
    EXPECT_EQ(other->refcount, 1u);

    target->ref_flags |= LUMVAR_REF_FLAG_COPY;
    r->set_ref(target.get());
    EXPECT_EQ(r->type, LUMVAR_INT);
    EXPECT_EQ(r->int_value(), 3);
    EXPECT_EQ(target->refcount, 1u);
    target->set_type(LUMVAR_STRING);  // a change of type clears the reference flags
    EXPECT_EQ(target->ref_flags, 0);
}

// Each link is a ref to the previous one; dropping the last handle (or
// retyping the head) frees the whole chain without a stack frame per link.
TEST_F(cells, LongRefChainsAreReleasedWithoutDeepRecursion) {
    constexpr int links = 200000;
    for (const bool retype_head : {false, true}) {
        const uint64_t before = live_cells(vm());
        lumvar_shared head = lumvar_shared::from_int(7);
        for (int i = 0; i < links; ++i) {
            lumvar_shared next = lumvar_shared::make();
            next->set_ref(head.get());
            head = std::move(next);
        }
        lumvar_shared value;
        head->deref(value);
        EXPECT_EQ(value->int_value(), 7);
        value.reset();
        EXPECT_EQ(live_cells(vm()), before + links + 1);
        if (retype_head) {
            head->set_int(1);
            EXPECT_EQ(live_cells(vm()), before + 1);
        }
        head.reset();
        EXPECT_EQ(live_cells(vm()), before);
    }
}

TEST_F(cells, WritingThroughMemberReferencesReachesTheObjectOrWarnsWhenItIsGone) {
    lumvar_shared ref;
    {
        auto probe = make_probe();
        lumvar_shared v = object_value(probe.get());
        v->get_member_by_name(ref, "m");
        probe_object* raw = probe.get();
        raw->detach();  // the object is gone for every handle
        raw->destroy();
    }
    lumvar_shared value = lumvar_shared::from_int(1);
    ref->set(value);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"Cannot set object member, doesnt exist anymore!"}));

    auto probe = make_probe();
    lumvar_shared v = object_value(probe.get());
    lumvar_shared by_name, by_index;
    v->get_member_by_name(by_name, "x");
    v->get_member_by_index(by_index, 4);
    lumvar_shared five = lumvar_shared::from_int(5);
    by_name->set(five);
    lumvar_shared text = lumvar_shared::from_string("t");
    by_index->set(text);
    EXPECT_EQ(probe->named["x"]->int_value(), 5);
    EXPECT_EQ(probe->indexed[4]->to_std_string(), "t");
    EXPECT_EQ(by_name->type, LUMVAR_OBJECT_MEMBER_LITERAL);
}

TEST_F(cells, BufferLocksGuardAssignment) {
    const uint8_t bytes[] = {7, 8};
    lumvar_shared source = lumvar_shared::from_bytes(bytes);
    source->buffer_object()->write_locks = 1;
    lumvar_shared target = lumvar_shared::from_string("keep");
    target->set(source);
    EXPECT_EQ(errors(), (std::vector<std::string>{framed(std::string(lum_buffer_in_use_message))}));
    EXPECT_EQ(target->type, LUMVAR_STRING);
    EXPECT_EQ(target->to_std_string(), "keep");
    source->buffer_object()->write_locks = 0;

    // A target buffer held by a launch is replaced, not overwritten.
    const uint8_t old_bytes[] = {1, 1, 1};
    const uint8_t new_bytes[] = {2};
    target = lumvar_shared::from_bytes(old_bytes);
    lumptr_strong<lumobject_base> launch_view(target->buffer_object());
    auto* launch_buffer = static_cast<lum_std_buffer*>(launch_view.get());
    launch_buffer->read_locks = 1;
    source = lumvar_shared::from_bytes(new_bytes);
    target->set(source);
    EXPECT_NE(target->buffer_object(), launch_buffer);
    EXPECT_EQ(target->buffer_object()->bytes, (std::vector<uint8_t>{2}));
    EXPECT_EQ(launch_buffer->bytes, (std::vector<uint8_t>{1, 1, 1}));
    launch_buffer->read_locks = 0;
}

TEST_F(cells, NullObjectMakesNoneAndTypeNamesCoverTheReservedRows) {
    EXPECT_EQ(lumvar_shared::from_object(nullptr)->type, LUMVAR_NONE);
    EXPECT_STREQ(lumvar_type_name(18), "deckcom");
    EXPECT_STREQ(lumvar_type_name(19), "deckcom_cmd");
    EXPECT_STREQ(lumvar_type_name(16), "object_member_var");
    EXPECT_STREQ(lumvar_type_name(20), "unknown");
}

TEST_F(cells, ANewBufferIsEmptyWithBothLockCountsZeroEvenWhenItsSlotWasLeftLocked) {
    lum_std_buffer* b = lum_std_buffer::create();
    ASSERT_NE(b->pool_slot, LUM_POOL_HEAP_SLOT);
    b->bytes = {1, 2, 3};
    b->read_locks = 2;
    b->write_locks = 1;
    b->destroy();  // back to its slot with the counts still raised
    lum_std_buffer* again = lum_std_buffer::create();
    ASSERT_EQ(again, b);  // the same slot is handed out next
    EXPECT_TRUE(again->bytes.empty());
    EXPECT_EQ(again->read_locks, 0u);
    EXPECT_EQ(again->write_locks, 0u);
    again->destroy();
}

}  // namespace
