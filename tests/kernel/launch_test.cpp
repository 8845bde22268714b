// Kernel launches: the chunk split, which engine a runner picks (observed
// through a kernel whose result shows whether items ran one after another or
// in lock step), the batch auto-drop, the native entry of a ready JIT slot,
// traps and aborts across runners, refused and never-run helper jobs, and
// exceptions inside a runner.

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "kernel/exec/reduce.h"
#include "launch_test_util.h"

namespace {

// o[gid + 1] = o[gid] + 1 over o zeroed: one item after another the values
// climb within a chunk; in lock step every lane loads before any lane stores,
// so the values stay 1.
std::shared_ptr<lumk_program> chain_program(uint32_t regs = 16) {
    auto p = std::make_shared<lumk_program>();
    lumk_set_fixed_registers(*p);
    p->reg_count = regs;
    p->ptr_count = 1;
    p->frame_slot = 1;
    p->params.push_back(lumk_param{"o", lumk_type{LUMK_PRIM_I32, -1, 1, 0}, 0, 0, 4, "i32*"});
    p->code = {
        {LUMK_LD_I32, 7, 0, 0, 0},
        {LUMK_ADDI_I32, 7, 7, 0, 1},
        {LUMK_ST_I32, 7, 0, 0, 1},
        {LUMK_END, 0, 0, 0, 0},
    };
    return p;
}

struct chain_run {
    std::vector<int32_t> o;
    std::shared_ptr<lumk_launch> launch;
};

chain_run run_chain(const std::shared_ptr<lumk_program>& p, uint64_t n, int helpers = 0) {
    chain_run r{std::vector<int32_t>(n + 1, 0), std::make_shared<lumk_launch>()};
    r.launch->prepare(nullptr, p.get(), n, 1);
    r.launch->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(r.o.data()), n + 1, 4, (n + 1) * 4};
    ltest::thread_pool pool;
    r.launch->start_helpers(helpers, pool.submit());
    r.launch->run_and_wait();
    return r;
}

// True when item 2 ran after item 1 on the scalar engine (or natively).
bool ran_one_by_one(const chain_run& r) { return r.o[3] == 3; }

TEST(Launch, ChunkSplit) {
    struct row { uint64_t w, h, gsize, size, count; };
    const row rows[] = {{0, 5, 0, 1, 0}, {5, 0, 0, 1, 0}, {1, 1, 1, 1, 1}, {256, 1, 256, 1, 256},
                        {257, 1, 257, 2, 129}, {2048, 1, 2048, 8, 256}, {1792, 1, 1792, 7, 256},
                        {1793, 1, 1793, 8, 225}, {4294967295ull, 1, 4294967295ull, 16777216, 256},
                        {70, 40, 2800, 11, 255}};
    auto p = chain_program();
    p->reductions.push_back(lumk_reduction{2, LUMK_PRIM_I32, LUMK_REDUCE_MIN, 0, ""});
    for (const row& r : rows) {
        lumk_launch l;
        l.prepare(nullptr, p.get(), r.w, r.h);
        EXPECT_EQ(l.gsize, r.gsize) << r.w << "x" << r.h;
        EXPECT_EQ(l.chunk_size, r.size) << r.w << "x" << r.h;
        EXPECT_EQ(l.chunk_count, r.count) << r.w << "x" << r.h;
        EXPECT_EQ(l.width, r.w == 0 ? 1u : r.w);
        EXPECT_EQ(l.regs[p->gsize_x], r.w);
        EXPECT_EQ(l.regs[p->gsize_y], r.h);
        EXPECT_EQ(l.partials, std::vector<uint64_t>(r.count, 0x7FFFFFFFull));
        EXPECT_LE((r.count - (r.count != 0)) * r.size, r.gsize);
        EXPECT_GE(r.count * r.size, r.gsize);
    }
}

TEST(Launch, DomainsAtTheTopOf64Bits) {
    auto p = chain_program();
    p->reductions.push_back(lumk_reduction{2, LUMK_PRIM_I32, LUMK_REDUCE_MIN, 0, ""});
    // width x height past 2^64 - 1: refused, and the launch is left as it was
    for (const auto& [w, h] : {std::pair<uint64_t, uint64_t>{1ull << 32, 1ull << 32},
                               {UINT64_MAX, 2}, {3, 0x5555555555555556ull}}) {
        lumk_launch l;
        try {
            l.prepare(nullptr, p.get(), w, h);
            ADD_FAILURE() << w << "x" << h << " was accepted with gsize " << l.gsize;
        } catch (const std::length_error& e) {
            EXPECT_NE(std::string(e.what()).find("too large"), std::string::npos) << e.what();
        }
        EXPECT_EQ(l.program, nullptr);
        EXPECT_EQ(l.gsize, 0u);
        EXPECT_EQ(l.chunk_count, 0u);
        EXPECT_TRUE(l.regs.empty());
    }
    // the largest domains that fit still split into at most 256 chunks
    const struct { uint64_t w, h, size, count; } rows[] = {
        {UINT64_MAX, 1, 1ull << 56, 256}, {3, 0x5555555555555555ull, 1ull << 56, 256},
        {UINT64_MAX - 254, 1, 1ull << 56, 256}, {(1ull << 63) + 1, 1, (1ull << 55) + 1, 256}};
    for (const auto& r : rows) {
        lumk_launch l;
        l.prepare(nullptr, p.get(), r.w, r.h);
        EXPECT_EQ(l.gsize, r.w * r.h);
        EXPECT_EQ(l.chunk_size, r.size) << r.w << "x" << r.h;
        EXPECT_EQ(l.chunk_count, r.count) << r.w << "x" << r.h;
        EXPECT_EQ(l.partials.size(), r.count);
    }
}

TEST(Launch, EngineChoice) {
    auto p = chain_program();
    {
        ltest::settings_scope s(LUM_KERNEL_MODE_AUTO);
        EXPECT_TRUE(ran_one_by_one(run_chain(p, 1792)));   // chunks of 7: scalar
        EXPECT_FALSE(ran_one_by_one(run_chain(p, 1793)));  // chunks of 8: batch
        EXPECT_FALSE(ran_one_by_one(run_chain(chain_program(512), 1793)));
        EXPECT_TRUE(ran_one_by_one(run_chain(chain_program(513), 1793)));
    }
    {
        ltest::settings_scope s(LUM_KERNEL_MODE_BATCH);
        EXPECT_FALSE(ran_one_by_one(run_chain(p, 300)));  // any chunk size
        auto framed = chain_program();
        framed->frame_bytes = 16;
        EXPECT_TRUE(ran_one_by_one(run_chain(framed, 4000)));  // a frame never runs batched
    }
    {
        ltest::settings_scope s(LUM_KERNEL_MODE_SCALAR);
        EXPECT_TRUE(ran_one_by_one(run_chain(p, 100000)));
    }
}

// Native entry stand-in: marks every item with 100 + gid and sums into acc.
std::atomic<int> g_native_calls{0};
int fake_native(kreg* regs, const kptr* ptrs, uint64_t begin, uint64_t end, const volatile unsigned char*, ktrap* trap) {
    g_native_calls.fetch_add(1);
    auto* o = reinterpret_cast<int32_t*>(ptrs[0].base);
    for (uint64_t g = begin; g < end; ++g) {
        if (g == 777777) {
            trap->code = LUMK_TRAP_DIV_ZERO;
            trap->gid = g;
            trap->value = 5;
            return 0x102;  // only the low byte is the code
        }
        o[g] = int32_t(100 + g);
        regs[2].i += 1;
    }
    return 0;
}
int throwing_native(kreg*, const kptr*, uint64_t, uint64_t, const volatile unsigned char*, ktrap*) {
    throw std::runtime_error("out of frames");
}

TEST(Launch, NativeEntryOfAReadySlot) {
    auto p = chain_program();
    p->reductions.push_back(lumk_reduction{2, LUMK_PRIM_I64, LUMK_REDUCE_ADD, 0, ""});
    ASSERT_TRUE(lumk_jit_begin_compile(*p->jit));
    ASSERT_TRUE(lumk_jit_finish_ready(*p->jit, fake_native));
    {
        ltest::settings_scope s(LUM_KERNEL_MODE_AUTO);
        g_native_calls = 0;
        chain_run r = run_chain(p, 5000, 3);
        EXPECT_EQ(r.o[4999], 100 + 4999);
        EXPECT_EQ(g_native_calls.load(), 250);
        EXPECT_EQ(r.launch->reduce_results(), std::vector<uint64_t>{5000});
    }
    for (uint32_t mode : {LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_MODE_BATCH}) {
        ltest::settings_scope s(mode);
        g_native_calls = 0;
        EXPECT_EQ(run_chain(p, 5000).o[10], mode == LUM_KERNEL_MODE_SCALAR ? 10 : 1);
        EXPECT_EQ(g_native_calls.load(), 0);
    }
    {
        ltest::settings_scope s(LUM_KERNEL_MODE_AUTO, LUM_KERNEL_JIT_OFF);
        g_native_calls = 0;
        run_chain(p, 5000);
        EXPECT_EQ(g_native_calls.load(), 0);
    }
    {
        ltest::settings_scope s(LUM_KERNEL_MODE_AUTO);
        chain_run r = run_chain(p, 1000000, 2);
        ASSERT_EQ(r.launch->trap_recorded.load(), 1);
        EXPECT_EQ(r.launch->trap.code, uint32_t{LUMK_TRAP_DIV_ZERO});
        EXPECT_EQ(r.launch->trap.gid, 777777u);
        EXPECT_EQ(r.launch->trap.value, 5);
    }
}

// An exception inside a runner stops the launch, never leaves it counted as
// running, and reaches the caller after the join.
TEST(Launch, ExceptionInARunnerReachesTheCaller) {
    auto p = chain_program();
    ASSERT_TRUE(lumk_jit_begin_compile(*p->jit));
    ASSERT_TRUE(lumk_jit_finish_ready(*p->jit, throwing_native));
    ltest::settings_scope s(LUM_KERNEL_MODE_AUTO);
    for (int helpers : {0, 3}) {
        auto l = std::make_shared<lumk_launch>();
        std::vector<int32_t> o(5001);
        l->prepare(nullptr, p.get(), 5000, 1);
        l->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(o.data()), 5001, 4, 5001 * 4};
        ltest::thread_pool pool;
        l->start_helpers(helpers, pool.submit());
        EXPECT_THROW(l->run_and_wait(), std::runtime_error);
        pool.join();
        EXPECT_EQ(l->running.load(), 0u);
        EXPECT_EQ(l->abort.load(), 1);
        EXPECT_EQ(l->trap_recorded.load(), 0);
        EXPECT_TRUE(l->done());
    }
}

// The first chunks diverge at a branch in `diverging` of their batches; in auto
// mode the runner drops the batch engine once more than half of at least 32
// batches diverged, which the chain shows from then on.
TEST(Launch, BatchAutoDrop) {
    auto program_with = [](uint64_t diverging) {
        auto p = chain_program();
        p->code = {
            {LUMK_JFLT_U, 0, 8, 0, 3},    // 0: gid >= limit: straight to the chain
            {LUMK_AND_X, 9, 0, 10, 0},    // 1: gid & 1
            {LUMK_JT, 9, 0, 0, 3},        // 2: lanes disagree
            {LUMK_LD_I32, 7, 0, 0, 0},    // 3
            {LUMK_ADDI_I32, 7, 7, 0, 1},  // 4
            {LUMK_ST_I32, 7, 0, 0, 1},    // 5
            {LUMK_END, 0, 0, 0, 0},
        };
        p->constants = {lumk_const{8, LUMK_PRIM_U64, diverging * 64}, lumk_const{10, LUMK_PRIM_U64, 1}};
        return p;
    };
    ltest::settings_scope s(LUM_KERNEL_MODE_AUTO);
    const uint64_t n = 256 * 128;  // chunks of 128 items: two batches each
    // 17 of the first 32 batches diverged: dropped after chunk 15.
    chain_run dropped = run_chain(program_with(17), n);
    EXPECT_EQ(dropped.o[16 * 128 + 3], dropped.o[16 * 128 + 2] + 1);
    EXPECT_GT(dropped.o[16 * 128 + 3], 1);
    // 16 of 32: 32 is not more than 32, the runner stays batched.
    chain_run kept = run_chain(program_with(16), n);
    EXPECT_EQ(kept.o[16 * 128 + 3], 1);
    EXPECT_EQ(kept.o[200 * 128 + 3], 1);
    // A diverged batch is finished lane by lane from the branch.
    EXPECT_EQ(kept.o[3], 3);
    // Mode batch never drops.
    ltest::settings_scope b(LUM_KERNEL_MODE_BATCH);
    EXPECT_EQ(run_chain(program_with(17), n).o[16 * 128 + 3], 1);
}

TEST(Launch, AbortFromAnotherThreadStopsEveryRunner) {
    auto unit = ltest::compile("kernel spin(i32* o) { i32 n = 0; while (o[0] == 0) { n++; } o[gid] = n; }");
    ASSERT_TRUE(unit);
    const lumk_program& p = *unit->programs[0];
    for (uint32_t mode : {LUM_KERNEL_MODE_SCALAR, LUM_KERNEL_MODE_BATCH}) {
        ltest::settings_scope s(mode);
        std::vector<int32_t> o(4000, 0);
        auto l = std::make_shared<lumk_launch>();
        l->prepare(unit, &p, 4000, 1);
        l->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(o.data()), 4000, 4, 16000};
        ltest::thread_pool pool;
        EXPECT_EQ(l->start_helpers(3, pool.submit()), 3);
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            l->abort.store(1);
        });
        l->run_and_wait();
        stopper.join();
        pool.join();
        EXPECT_TRUE(l->done());
        EXPECT_EQ(l->trap_recorded.load(), 0);  // stopped, not failed
        EXPECT_EQ(l->next_chunk.load(), l->chunk_count);
    }
}

// Every item divides by zero on four runners: exactly one trap is recorded.
TEST(Launch, OneTrapAmongManyRunners) {
    auto unit = ltest::compile("kernel t(const i32* d) -> i32 reduce(+) { return 10 / d[gid]; }");
    ASSERT_TRUE(unit);
    for (int round = 0; round < 20; ++round) {
        ltest::outcome o = ltest::run(unit, *unit->programs[0], ltest::args().buf(std::vector<int32_t>(3000, 0)), 3000, 1, 3);
        ASSERT_TRUE(o.trapped);
        EXPECT_EQ(o.trap_code, 2u);
        EXPECT_EQ(o.trap_text, "integer division by zero");
    }
}

TEST(Launch, HelperSubmission) {
    auto p = chain_program();
    auto l = std::make_shared<lumk_launch>();
    std::vector<int32_t> o(3001);
    l->prepare(nullptr, p.get(), 3000, 1);
    l->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(o.data()), 3001, 4, 3001 * 4};
    ltest::thread_pool pool;
    EXPECT_EQ(l->start_helpers(0, pool.submit()), 0);
    EXPECT_EQ(l->start_helpers(5, lumk_launch::submit_fn()), 0);
    pool.refuse_from = 2;  // the third offer is refused: stop there
    EXPECT_EQ(l->start_helpers(5, pool.submit()), 2);
    EXPECT_EQ(pool.offered, 3);  // nothing is offered after the refusal
    l->run_and_wait();
    pool.join();
    EXPECT_TRUE(l->done());
    EXPECT_EQ(l->trap_recorded.load(), 0);

    lumk_launch unowned;
    unowned.prepare(nullptr, p.get(), 10, 1);
    EXPECT_THROW(unowned.start_helpers(1, pool.submit()), std::bad_weak_ptr);
}

// A pool that takes jobs but shuts down before running them: the caller runs
// every chunk, and the queued jobs keep the launch alive until they are
// destroyed. A job that does run after the end finds nothing to do.
TEST(Launch, JobsQueuedInAPoolThatShutsDown) {
    auto p = chain_program();
    p->reductions.push_back(lumk_reduction{2, LUMK_PRIM_I32, LUMK_REDUCE_ADD, 0, ""});
    std::vector<std::function<void()>> queued;
    lumk_launch::submit_fn submit = [&](std::function<void()> job) {
        queued.push_back(std::move(job));
        return true;
    };
    std::vector<int32_t> o(2001);
    std::weak_ptr<lumk_launch> watch;
    {
        auto l = std::make_shared<lumk_launch>();
        watch = l;
        l->prepare(nullptr, p.get(), 2000, 1);
        l->ptrs[0] = kptr{reinterpret_cast<uint8_t*>(o.data()), 2001, 4, 2001 * 4};
        EXPECT_EQ(l->start_helpers(3, submit), 3);
        l->run_and_wait();
        EXPECT_TRUE(l->done());
        // A late helper inside run_lanes claims nothing: the launch stays done.
        l->running.fetch_add(1);
        EXPECT_TRUE(l->done());
        l->running.fetch_sub(1);
    }
    EXPECT_FALSE(watch.expired());
    queued[0]();  // runs late: no chunk left
    EXPECT_TRUE(watch.lock()->done());
    EXPECT_EQ(watch.lock()->running.load(), 0u);
    queued.clear();  // the pool's shutdown destroys what it never ran
    EXPECT_TRUE(watch.expired());
}

TEST(Launch, EmptyDomainGivesIdentitiesAfterThePrologue) {
    auto unit = ltest::compile("kernel k(const f32* x, f32 s) -> f32 reduce(min) { return x[gid] * (s * 2.0); }");
    ASSERT_TRUE(unit);
    const lumk_program& p = *unit->programs[0];
    for (uint64_t w : {0ull, 7ull}) {
        auto l = std::make_shared<lumk_launch>();
        l->prepare(unit, &p, w, w == 0 ? 3 : 0);
        EXPECT_EQ(l->chunk_count, 0u);
        l->run_and_wait();
        EXPECT_TRUE(l->done());
        EXPECT_EQ(l->reduce_results(), std::vector<uint64_t>{0x7F800000ull});
    }
}

}  // namespace
