// Runtime base layer: pooled value cells against the heap path and plain
// new/delete, counted handles against std::shared_ptr, and the lock-free job
// queue against a mutex+deque queue, each with the ratio measured in the same
// run. Heap allocations per operation are counted by a replaced global
// operator new (one thread-local increment per allocation: the heap side
// carries it, the pooled side allocates nothing).
//
// Wall time on a loaded machine is noisy; instruction counts are not. For
// those, `--callgrind-loops=N` runs each cell loop N times outside Google
// Benchmark (in functions of their own) and exits, e.g.
//   valgrind --tool=callgrind --toggle-collect='*callgrind_cell_pooled(*'
//            build/bench/bench_runtime_pool --callgrind-loops=100000
// (likewise callgrind_cell_heap_path, callgrind_string_cell_pooled and
// callgrind_string_cell_heap_path); divide the collected count by N.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "host/host_vm.h"
#include "runtime/job_queue.h"
#include "runtime/ptr.h"
#include "runtime/value.h"
#include "runtime/vm.h"

namespace {
// Heap allocations made by the calling thread (a plain per-thread counter, so
// counting does not slow the heap paths down).
thread_local uint64_t t_allocations = 0;
}

// The replacement pair below is malloc/free on both sides.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Allocations per iteration, reported as a counter.
struct allocation_meter {
    benchmark::State& state;
    uint64_t start;
    explicit allocation_meter(benchmark::State& s) : state(s), start(t_allocations) {}
    ~allocation_meter() {
        state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(t_allocations - start) /
                                                         static_cast<double>(state.iterations()));
    }
};

// ---- value cells ----
// Each pooled/heap pair runs one shared loop (the same machine code on both
// sides); only where the cells come from differs: the pooled side is the
// thread that owns the current VM, the heap side suspends pooling, so cells
// take the runtime's heap path.

lumvar_shared make_cell() { return lumvar_shared::make(); }
lumvar_shared make_string_cell() { return lumvar_shared::from_string("text"); }

// One value made and released per iteration.
template <lumvar_shared (*Make)()>
[[gnu::noinline]] void cell_loop(benchmark::State& state) {
    allocation_meter meter(state);
    for (auto _ : state) {
        lumvar_shared v = Make();
        benchmark::DoNotOptimize(v);
    }
}

// The pooled side: the thread owns the current VM (the pool's first chunk is
// made before timing starts).
template <lumvar_shared (*Make)()>
void pooled(benchmark::State& state) {
    lum_host_vm host;
    { lumvar_shared warm = Make(); }
    cell_loop<Make>(state);
}

// The heap side: the same VM, pooling suspended.
template <lumvar_shared (*Make)()>
void heap_path(benchmark::State& state) {
    lum_host_vm host;
    lum_pooling_suspend heap;
    cell_loop<Make>(state);
}

BENCHMARK(pooled<make_cell>)->Name("BM_cell_pooled");
BENCHMARK(heap_path<make_cell>)->Name("BM_cell_heap_path");

void BM_cell_new_delete(benchmark::State& state) {
    allocation_meter meter(state);
    for (auto _ : state) {
        auto* cell = new lumvar();
        benchmark::DoNotOptimize(cell);
        delete cell;
    }
}
BENCHMARK(BM_cell_new_delete);

// Batches: a frame's worth of cells made, then released (no slot is reused
// at once, as in code that builds several values before dropping them).
constexpr int kCells = 64;

[[gnu::noinline]] void cell_batch_loop(benchmark::State& state) {
    lumvar_shared cells[kCells];
    allocation_meter meter(state);
    for (auto _ : state) {
        for (auto& v : cells) v = lumvar_shared::make();
        benchmark::DoNotOptimize(cells);
        for (auto& v : cells) v.reset();
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}

void BM_cell_batch_pooled(benchmark::State& state) {
    lum_host_vm host;
    { std::vector<lumvar_shared> warm(kCells); for (auto& v : warm) v = lumvar_shared::make(); }
    cell_batch_loop(state);
}
BENCHMARK(BM_cell_batch_pooled);

void BM_cell_batch_heap_path(benchmark::State& state) {
    lum_host_vm host;
    lum_pooling_suspend heap;
    cell_batch_loop(state);
}
BENCHMARK(BM_cell_batch_heap_path);

void BM_cell_batch_new_delete(benchmark::State& state) {
    lumvar* cells[kCells];
    allocation_meter meter(state);
    for (auto _ : state) {
        for (auto& c : cells) c = new lumvar();
        benchmark::DoNotOptimize(cells);
        for (auto* c : cells) delete c;
    }
    state.SetItemsProcessed(state.iterations() * kCells);
}
BENCHMARK(BM_cell_batch_new_delete);

BENCHMARK(pooled<make_string_cell>)->Name("BM_string_cell_pooled");
BENCHMARK(heap_path<make_string_cell>)->Name("BM_string_cell_heap_path");

// ---- handles ----

struct bench_object : lumptr_base<bench_object> {
    int value = 0;
};

void BM_handle_copy_release(benchmark::State& state) {
    lumptr_strong<bench_object> h(new bench_object());
    allocation_meter meter(state);
    for (auto _ : state) {
        lumptr_strong<bench_object> copy = h;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_handle_copy_release);

void BM_shared_ptr_copy_release(benchmark::State& state) {
    auto h = std::make_shared<bench_object>();
    allocation_meter meter(state);
    for (auto _ : state) {
        std::shared_ptr<bench_object> copy = h;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_shared_ptr_copy_release);

// ---- job queues ----

constexpr int kBatch = 20000;
constexpr int kWorkers = 2;

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

struct count_job {
    std::atomic<int>* done;
    void operator()() { done->fetch_add(1, std::memory_order_relaxed); }
};

void BM_job_queue_try_push(benchmark::State& state) {
    lum_host_vm_options options;
    options.workers = kWorkers;
    lum_host_vm host(options);
    lum_job_queue& q = host.vm().jobs;
    std::atomic<int> done{0};
    allocation_meter meter(state);
    for (auto _ : state) {
        done = 0;
        for (int i = 0; i < kBatch; ++i)
            while (!q.try_push(count_job{&done})) cpu_pause(); // full: the workers drain it
        while (done.load(std::memory_order_relaxed) < kBatch) cpu_pause();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_job_queue_try_push)->UseRealTime();

// The comparison queue: a mutex, a deque and a condition variable;
// `capacity` 0 is unbounded, else a full queue refuses the push like try_push.
class mutex_deque_queue {
public:
    explicit mutex_deque_queue(size_t capacity = 0) : capacity_(capacity) {}
    bool push(lum_job job) {
        {
            std::lock_guard<std::mutex> lock(m_);
            if (capacity_ != 0 && q_.size() >= capacity_) return false;
            q_.push_back(std::move(job));
        }
        cv_.notify_one();
        return true;
    }
    bool pop(lum_job& out) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return stop_ || !q_.empty(); });
        if (q_.empty()) return false;
        out = std::move(q_.front());
        q_.pop_front();
        return true;
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
    }

private:
    size_t capacity_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<lum_job> q_;
    bool stop_ = false;
};

void run_mutex_deque(benchmark::State& state, size_t capacity) {
    mutex_deque_queue q(capacity);
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i)
        workers.emplace_back([&q] {
            lum_job job;
            while (q.pop(job)) {
                job();
                job.reset();
            }
        });
    std::atomic<int> done{0};
    {
        allocation_meter meter(state);
        for (auto _ : state) {
            done = 0;
            for (int i = 0; i < kBatch; ++i)
                while (!q.push(count_job{&done})) cpu_pause();
            while (done.load(std::memory_order_relaxed) < kBatch) cpu_pause();
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    q.stop();
    for (auto& t : workers) t.join();
}

void BM_mutex_deque_push(benchmark::State& state) { run_mutex_deque(state, 0); }
void BM_mutex_deque_bounded_push(benchmark::State& state) { run_mutex_deque(state, lum_job_queue::capacity); }
BENCHMARK(BM_mutex_deque_bounded_push)->UseRealTime();
BENCHMARK(BM_mutex_deque_push)->UseRealTime();

// Fixed-count loops for instruction counting (see the top of the file).
template <lumvar_shared (*Make)()>
[[gnu::always_inline]] inline void counted_loop(long n) {
    for (long i = 0; i < n; ++i) benchmark::DoNotOptimize(Make());
}
[[gnu::noinline]] void callgrind_cell_pooled(long n) { counted_loop<make_cell>(n); }
[[gnu::noinline]] void callgrind_cell_heap_path(long n) {
    lum_pooling_suspend heap;
    counted_loop<make_cell>(n);
}
[[gnu::noinline]] void callgrind_string_cell_pooled(long n) { counted_loop<make_string_cell>(n); }
[[gnu::noinline]] void callgrind_string_cell_heap_path(long n) {
    lum_pooling_suspend heap;
    counted_loop<make_string_cell>(n);
}

int run_callgrind_loops(long n) {
    lum_host_vm host;
    { lumvar_shared warm = make_string_cell(); } // the pools' first chunks
    callgrind_cell_pooled(n);
    callgrind_cell_heap_path(n);
    callgrind_string_cell_pooled(n);
    callgrind_string_cell_heap_path(n);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--callgrind-loops=", 0) == 0) return run_callgrind_loops(std::atol(a.c_str() + 18));
    }
    ratio_reporter reporter;
    run_benchmarks(argc, argv, reporter);
    std::printf("\nRatios (same run, fastest repetition of each, CPU time for single-thread cases;\n"
                "> 1 means the first is faster):\n");
    print_ratio(reporter, "pooled cell vs heap path (create+release)", "BM_cell_heap_path", "BM_cell_pooled", 2.0);
    print_ratio(reporter, "pooled cell vs new/delete", "BM_cell_new_delete", "BM_cell_pooled", 1.0);
    print_ratio(reporter, "pooled cells vs heap path (batch of 64)", "BM_cell_batch_heap_path",
                "BM_cell_batch_pooled", 2.0);
    print_ratio(reporter, "pooled cells vs new/delete (batch of 64)", "BM_cell_batch_new_delete",
                "BM_cell_batch_pooled", 1.0);
    print_ratio(reporter, "pooled string cell vs heap path", "BM_string_cell_heap_path", "BM_string_cell_pooled",
                2.0);
    print_ratio(reporter, "lumptr_strong vs shared_ptr (copy+release)", "BM_shared_ptr_copy_release",
                "BM_handle_copy_release", 1.0);
    print_ratio(reporter, "try_push vs mutex+deque (throughput)", "BM_mutex_deque_push/real_time",
                "BM_job_queue_try_push/real_time", 1.0);
    print_ratio(reporter, "try_push vs mutex+deque bounded to 1024", "BM_mutex_deque_bounded_push/real_time",
                "BM_job_queue_try_push/real_time", 1.0);
    if (reporter.allocs.count("BM_cell_pooled"))
        std::printf("pooled cell allocations per create+release: %.4f (target 0)\n", reporter.allocs["BM_cell_pooled"]);
    if (reporter.allocs.count("BM_cell_batch_pooled"))
        std::printf("pooled cell allocations per batch of %d: %.4f (target 0)\n", kCells,
                    reporter.allocs["BM_cell_batch_pooled"]);
    if (reporter.allocs.count("BM_string_cell_pooled"))
        std::printf("pooled string cell allocations per create+release: %.4f\n",
                    reporter.allocs["BM_string_cell_pooled"]);
    if (reporter.allocs.count("BM_job_queue_try_push/real_time"))
        std::printf("try_push allocations per batch of %d: %.4f\n", kBatch,
                    reporter.allocs["BM_job_queue_try_push/real_time"]);
    benchmark::Shutdown();
    return 0;
}
