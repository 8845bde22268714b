// Asynchronous launches and launches from several threads: std.kernel_job
// (wait twice, done, traps on every wait, dropped jobs) with every buffer
// refusal while a job holds the buffer; two script threads that share one VM
// and launch at the same time (each drops the VM lock while its lanes run);
// and exceptions from foreign memory or the job factory during a launch.

#include <stdexcept>
#include <thread>

#include "kernel/script/kernel_job.h"
#include "kernel/script/launch.h"
#include "runtime/vm_lock.h"
#include "tests/script/script_test_support.h"

namespace {

using namespace kst;

constexpr const char* source =
    "kernel fill(u32* out, u32 v) { out[gid] = v + u32(gid); }\n"
    "kernel sum(const u32* in) -> u64 reduce(+) { return u64(in[gid]); }\n"
    "kernel mix(u32* out, const u32* in) { out[gid] = in[gid]; }\n";

constexpr const char* in_use = "std.buffer is in use by a running kernel launch (call wait() on the launch first)";

lumptr_strong<lum_std_kernel> kernel(const V& unit, const char* name) {
    return lumptr_strong<lum_std_kernel>(static_cast<lum_std_kernel*>(get(unit, name)->object_raw()));
}

TEST(KernelLaunchThreads, JobsHoldTheirBuffersUntilWait) {
    session s;
    V u = compile("kernel fill(u8* b, u8 v) { b[gid] = v; }\n"
                  "kernel sum(const u8* b) -> u32 reduce(+) { return u32(b[gid]); }\n"
                  "kernel past(const u8* b) -> u32 reduce(+) { return u32(b[gid + 1]); }\nkernel nothing() { }\n",
                  "jobs.k");
    V fill = get(u, "fill"), sum = get(u, "sum");
    V b = buffer(300), c = fn("buffer");
    V j = m(fill, "launch_async", 300, b, 2);
    EXPECT_EQ(show(j, m(b, "size"), b), "std.kernel_job 300 <std.buffer in use by a kernel launch>");
    const V writing[] = {m(b, "clear"), m(b, "resize", 1), m(b, "fill", 1), m(b, "push", 1), m(b, "append", "x"),
                         m(b, "write", "u8", 0, 1), m(b, "string"), m(b, "read", "u8", 0),
                         b->object_raw()->get_member(0), m(c, "append", b)};
    b->object_raw()->set_member(0, val(1));
    std::string expected;
    for (const V& r : writing) expected += show(r) + in_use + "\n";
    EXPECT_EQ(errors() + "\n", expected + in_use + "\n");
    EXPECT_EQ(fails(m(sum, "launch", 300, b)),
              "kernel 'sum': argument 1 ('const u8* b') the std.buffer is already used by another running kernel launch");
    EXPECT_EQ(show(m(j, "wait")), "");
    EXPECT_EQ(show(m(j, "wait"), m(c, "size")), " 0");
    EXPECT_EQ(show(m(j, "done")), "1");
    EXPECT_EQ(show(m(sum, "launch", 300, b), b->object_raw()->get_member(299)), "600 2");
    V r = m(sum, "launch_async", 300, b);  // readers go on, writers are refused
    EXPECT_EQ(show(m(b, "string", 0, 2)->to_std_string().size(), m(b, "read", "u8", 1), show(b).size()), "2 2 300");
    m(b, "push", 1);
    m(b, "write", "u8", 0, 1);
    m(b, "clear");
    EXPECT_EQ(errors(), std::string(in_use) + "\n" + in_use + "\n" + in_use);
    EXPECT_EQ(fails(m(fill, "launch", 300, b, 1)),
              "kernel 'fill': argument 1 ('u8* b') the std.buffer is already used by another running kernel launch");
    m(c, "append", b);
    EXPECT_EQ(show(m(sum, "launch", 300, b), m(c, "size")), "600 300");
    EXPECT_EQ(show(m(r, "wait")), "600");
    EXPECT_EQ(show(m(r, "wait")), "600");
    V t = m(get(u, "past"), "launch_async", 300, b);
    const std::string trap = "kernel 'past' failed at jobs.k:3 (gid 299): index 300 is out of bounds of 'b' (300 elements)";
    EXPECT_EQ(fails(m(t, "wait")), trap);
    EXPECT_EQ(fails(m(t, "wait")), trap);
    m(fill, "launch_async", 300, b, 3);  // a dropped job joins its lanes and unlocks
    m(b, "push", 4);
    EXPECT_EQ(show(m(b, "size"), b->object_raw()->get_member(0), b->object_raw()->get_member(300)), "301 3 4");
    V p = m(sum, "launch_async", 300, b);
    for (int spins = 0; m(p, "done")->payload.i == 0 && spins < 10000000; ++spins) std::this_thread::yield();
    EXPECT_EQ(show(m(p, "done"), m(p, "wait"), m(p, "done")), "1 900 1");
    V e = m(get(u, "nothing"), "launch_async", 0);
    EXPECT_EQ(show(m(e, "done"), m(e, "wait")), "1 ");
    V text = V::from_string("abc");
    V k = m(sum, "launch_async", 3, text);  // a const string is copied
    text->set_string("zzzzzzzzz");
    EXPECT_EQ(show(m(k, "wait")), "294");
}

TEST(KernelLaunchThreads, TwoScriptThreadsLaunchAtOnce) {
    session s;
    V u = compile(source, "threads.k");
    auto fill = kernel(u, "fill");
    auto sum = kernel(u, "sum");
    constexpr int64_t n = 5000;
    uint64_t totals[2] = {0, 0};
    s.host.drop_lock();
    auto script_thread = [&](int id) {
        lum_get_thread_local().vm = s.host.get();
        lum_vm_lock_guard lock(s.host.get());
        V buf = buffer(n * 4);
        for (int round = 0; round < 20; ++round) {
            std::vector<V> args{V::from_int(n), buf, V::from_int(id * 1000 + round)};
            lum_kernel_launch(fill.get(), args);
            std::vector<V> sargs{V::from_int(n), buf};
            totals[id] = static_cast<uint64_t>(lum_kernel_launch(sum.get(), sargs)->payload.i);
            // A job dropped at once joins its lanes and unlocks the buffer.
            std::vector<V> jargs{V::from_int(n), buf, V::from_int(0)};
            lum_kernel_launch_async(fill.get(), jargs);
            EXPECT_FALSE(lumvar_to_std_buffer(buf.get())->in_use());
        }
        EXPECT_EQ(lumvar_to_std_buffer(buf.get())->bytes[4], 1u);  // the dropped job's write
        lum_get_thread_local().vm = nullptr;
    };
    std::thread a(script_thread, 0);
    std::thread b(script_thread, 1);
    a.join();
    b.join();
    const uint64_t base = static_cast<uint64_t>(n) * (n - 1) / 2;
    EXPECT_EQ(totals[0], base + 19u * n);
    EXPECT_EQ(totals[1], base + 1019u * n);
    s.host.hold_lock();
}

// A job dropped on a thread that is no script thread (no current VM, no VM
// lock) unlocks its buffer under the lock of the VM it was launched from,
// while a script thread reads the buffer's lock counts under that lock.
TEST(KernelLaunchThreads, AJobDroppedOnAnotherThreadUnlocksUnderTheVmLock) {
    session s;
    auto fill = kernel(compile(source, "threads.k"), "fill");
    V out = buffer(4 * 20000);
    const lum_std_buffer* bytes = lumvar_to_std_buffer(out.get());
    std::vector<V> args{V::from_int(20000), out, V::from_int(5)};
    V j = lum_kernel_launch_async(fill.get(), args);
    ASSERT_EQ(j->type, LUMVAR_OBJECT);
    lumptr_strong<lum_std_kernel_job> job(static_cast<lum_std_kernel_job*>(j->object_raw()));
    j.reset();
    s.host.drop_lock();
    std::thread dropper([job = std::move(job)]() mutable { job.reset(); });
    bool in_use = true;
    for (int reads = 0; in_use && reads < 10000000; ++reads) {
        lum_vm_lock_guard lock(s.host.get());
        in_use = bytes->in_use();
    }
    dropper.join();
    s.host.hold_lock();
    EXPECT_FALSE(in_use);
    EXPECT_EQ(bytes->bytes[4 * 19999], (5 + 19999) & 0xFF);  // the job ran to its end
}

// The kernel "mix" bound to a byte buffer and a foreign memory object.
struct mix_launch {
    session s;
    lumptr_strong<lum_std_kernel> mix = kernel(compile(source, "threads.k"), "mix");
    V out = buffer(16);
    lumptr_strong<fake_memory> mem{new fake_memory()};
    std::vector<V> args{V::from_int(2), out, V::from_object(mem.get())};
};

TEST(KernelLaunchThreads, AnExceptionDuringBindingLocksNothing) {
    mix_launch m;
    auto& [s, mix, out, mem, args] = m;
    mem->throw_on_get = true;
    EXPECT_THROW(lum_kernel_launch(mix.get(), args), std::runtime_error);
    EXPECT_FALSE(lumvar_to_std_buffer(out.get())->in_use());
}

TEST(KernelLaunchThreads, ALockThatCannotBeTakenUndoesTheOthers) {
    mix_launch m;
    auto& [s, mix, out, mem, args] = m;
    mem->refuse_lock = true;
    EXPECT_THROW(lum_kernel_launch(mix.get(), args), std::runtime_error);
    EXPECT_THROW(lum_kernel_launch_async(mix.get(), args), std::runtime_error);
    EXPECT_FALSE(lumvar_to_std_buffer(out.get())->in_use() || mem->readers != 0);
    mem->refuse_lock = false;
    lum_kernel_launch(mix.get(), args);
    EXPECT_FALSE(lumvar_to_std_buffer(out.get())->in_use() || mem->readers != 0);
}

TEST(KernelLaunchThreads, AJobThatCannotBeMadeUnlocksItsBuffers) {
    session s;
    auto fill = kernel(compile(source, "threads.k"), "fill");
    V out = buffer(4 * 100000);
    auto saved = lum_std_kernel_job::tables().factory;
    lum_std_kernel_job::tables().factory = [] () -> lumptr_strong<lum_std_kernel_job> {
        throw std::runtime_error("no memory for the job");
    };
    std::vector<V> args{V::from_int(100000), out, V::from_int(7)};
    EXPECT_THROW(lum_kernel_launch_async(fill.get(), args), std::runtime_error);
    lum_std_kernel_job::tables().factory = {};
    EXPECT_THROW(lum_kernel_launch_async(fill.get(), args), std::bad_function_call);
    lum_std_kernel_job::tables().factory = saved;
    // No lane runs on the buffer any more and nothing keeps it locked.
    EXPECT_FALSE(lumvar_to_std_buffer(out.get())->in_use());
    std::vector<V> again{V::from_int(100000), out, V::from_int(1)};
    V job = lum_kernel_launch_async(fill.get(), again);
    ASSERT_EQ(job->type, LUMVAR_OBJECT);
    job.reset();
    EXPECT_EQ(lumvar_to_std_buffer(out.get())->bytes[4], 2u);
}

}  // namespace
