// Launch argument binding through its public functions: buffers, strings,
// foreign memory (a test double of lum_kernel_memory), the refusal texts, and
// the lock counts that a launch state raises and releases once.

#include "kernel/script/binding.h"
#include "tests/script/script_test_support.h"

namespace {

// An object without kernel memory.
class test_plain : public lumobject<test_plain, CLASS_STRING<"test.plain">> {};

lumvar_shared buffer_value(size_t n) {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_BINARY);
    v->buffer_object()->bytes.assign(n, 0);
    return v;
}

std::string bind_error(lumvar* v, bool writable) {
    lum_kernel_arg_binding b;
    std::string error;
    EXPECT_FALSE(lum_kernel_bind_memory_arg(v, writable, false, b, error));
    return error;
}

lum_kernel_arg_binding bind(lumvar* v, bool writable, bool copy = false) {
    lum_kernel_arg_binding b;
    std::string error;
    EXPECT_TRUE(lum_kernel_bind_memory_arg(v, writable, copy, b, error)) << error;
    return b;
}

TEST(KernelBinding, RefusalTexts) {
    EXPECT_EQ(bind_error(nullptr, false), "expects a std.buffer but got None");
    EXPECT_EQ(bind_error(lumvar_shared::from_int(3).get(), false), "expects a std.buffer but got int");
    EXPECT_EQ(bind_error(lumvar_shared::make_typed(LUMVAR_JSON).get(), true), "expects a std.buffer but got json");
    EXPECT_EQ(bind_error(lumvar_shared::from_string("abc").get(), true),
              "strings are read only, declare the parameter as const (const u8*) or use a std.buffer");
    lumptr_strong<test_plain> plain(new test_plain());
    EXPECT_EQ(bind_error(lumvar_shared::from_object(plain.get()).get(), false),
              "expects a std.buffer but got test.plain");
    lumptr_strong<kst::fake_memory> ro(new kst::fake_memory());
    ro->allow_write = false;
    EXPECT_EQ(bind_error(lumvar_shared::from_object(ro.get()).get(), true),
              "the memory of test.bitmap is not writable (declare the parameter as const)");

    // An object that is already gone is named "object", and its value becomes None.
    lumvar_shared gone = lumvar_shared::make_typed(LUMVAR_OBJECT);
    EXPECT_EQ(bind_error(gone.get(), false), "expects a std.buffer but got object");
    EXPECT_EQ(gone->type, LUMVAR_NONE);
}

TEST(KernelBinding, LockCountsFollowTheStateOnce) {
    lumvar_shared buf = buffer_value(6);
    lum_std_buffer* b = buf->buffer_object();
    lumptr_strong<kst::fake_memory> mem(new kst::fake_memory());
    lumvar_shared memv = lumvar_shared::from_object(mem.get());

    lum_kernel_launch_state state;
    state.bindings.push_back(bind(buf.get(), true));
    state.bindings.push_back(bind(buf.get(), true));  // the same buffer twice is accepted
    state.bindings.push_back(bind(memv.get(), false));
    EXPECT_EQ(state.bindings[0].size, 6u);
    EXPECT_EQ(state.bindings[2].data, mem->bytes);
    state.add_locks(+1);
    state.locked = true;
    EXPECT_EQ(b->write_locks, 2u);
    EXPECT_EQ(mem->readers, 1);

    // While held: a writable buffer refuses every binding; read-only memory
    // still binds for reading but not for writing.
    EXPECT_EQ(bind_error(buf.get(), false), "the std.buffer is already used by another running kernel launch");
    bind(memv.get(), false);
    EXPECT_EQ(bind_error(memv.get(), true), "the test.bitmap is already used by another running kernel launch");

    state.release();
    state.release();
    EXPECT_EQ(b->write_locks, 0u);
    EXPECT_EQ(mem->readers, 0);
    EXPECT_TRUE(state.bindings.empty());
}

TEST(KernelBinding, ReadLockedBufferBindsConstOnly) {
    lumvar_shared buf = buffer_value(4);
    buf->buffer_object()->read_locks = 1;
    bind(buf.get(), false);
    EXPECT_EQ(bind_error(buf.get(), true), "the std.buffer is already used by another running kernel launch");
    buf->buffer_object()->read_locks = 0;
}

TEST(KernelBinding, ConstStringsBindTheirBytesOrACopy) {
    lumvar_shared s = lumvar_shared::from_string(std::string("ab\0c", 4));
    lum_kernel_arg_binding own = bind(s.get(), false);
    EXPECT_EQ(own.size, 4u);
    EXPECT_FALSE(own.text_copy);
    lum_kernel_arg_binding copy = bind(s.get(), false, true);
    ASSERT_TRUE(copy.text_copy);
    s->set_string("changed");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy.data), copy.size), std::string("ab\0c", 4));
}

TEST(KernelMemoryView, ForeignMemoryAccess) {
    lumptr_strong<kst::fake_memory> mem(new kst::fake_memory());
    lumvar_shared v = lumvar_shared::from_object(mem.get());
    lum_kernel_memory_view view;
    ASSERT_TRUE(lum_kernel_memory_view_of(v.get(), view));
    lumvar_shared out;
    std::string error;
    ASSERT_TRUE(lum_kernel_read_scalar(view, 2, LUMK_PRIM_U16, out, error));
    EXPECT_EQ(out->payload.i, 0x0403);
    EXPECT_FALSE(lum_kernel_read_scalar(view, 7, LUMK_PRIM_U16, out, error));
    EXPECT_EQ(error, "offset 7 is out of range (buffer size 8)");

    mem->allow_write = false;
    lum_kernel_memory_view ro;
    ASSERT_TRUE(lum_kernel_memory_view_of(v.get(), ro));
    EXPECT_FALSE(lum_kernel_write_scalar(ro, 0, LUMK_PRIM_U8, lumvar_shared::from_int(1).get(), error));
    EXPECT_EQ(error, "the memory is read only");

    mem->add_lock(true, 1);
    lum_kernel_memory_view busy;
    ASSERT_TRUE(lum_kernel_memory_view_of(v.get(), busy));
    EXPECT_FALSE(lum_kernel_read_scalar(busy, 0, LUMK_PRIM_U8, out, error));
    EXPECT_EQ(error, "test.bitmap is in use by a running kernel launch (call wait() on the launch first)");
    mem->add_lock(true, -1);
}

}  // namespace
