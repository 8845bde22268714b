// The VM's bounded job queue of 1024 callables. Pushing is lock-free and
// allocation-free for callables that fit lum_job's inline buffer; the host's
// worker threads pop and run jobs.
#pragma once

#include <atomic>
#include <functional>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

// A move-only callable without arguments and result. Callables up to
// lum_job::inline_size bytes live inline; larger ones on the heap. A job that
// is destroyed without having run destroys its callable, so a callable that
// owns references gives them back in its destructor.
class lum_job {
public:
    static constexpr size_t inline_size = 48;

    lum_job() noexcept = default;
    lum_job(std::nullptr_t) noexcept {}

    template <class F, class D = std::decay_t<F>,
              std::enable_if_t<!std::is_same_v<D, lum_job> && std::is_invocable_r_v<void, D&>, int> = 0>
    lum_job(F&& f) {
        if (is_empty_callable(f)) return;  // an empty std::function or null pointer makes an empty job
        if constexpr (fits<D>()) {
            ::new (static_cast<void*>(buf_)) D(std::forward<F>(f));
            ops_ = &inline_ops<D>;
        } else {
            *reinterpret_cast<D**>(buf_) = new D(std::forward<F>(f));
            ops_ = &heap_ops<D>;
        }
    }

    lum_job(lum_job&& other) noexcept { move_from(other); }
    lum_job& operator=(lum_job&& other) noexcept {
        if (this != &other) {
            reset();
            move_from(other);
        }
        return *this;
    }
    lum_job(const lum_job&) = delete;
    lum_job& operator=(const lum_job&) = delete;
    ~lum_job() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    void operator()() { ops_->invoke(buf_); }

    // Destroys the callable (the job becomes empty).
    void reset() noexcept {
        if (ops_ != nullptr) {
            const ops* o = ops_;
            ops_ = nullptr;
            o->destroy(buf_);
        }
    }

private:
    template <class T>
    struct is_std_function : std::false_type {};
    template <class R, class... A>
    struct is_std_function<std::function<R(A...)>> : std::true_type {};
    template <class D>
    static bool is_empty_callable(const D& f) noexcept {
        if constexpr (std::is_pointer_v<D> || std::is_member_pointer_v<D>) return f == nullptr;
        else if constexpr (is_std_function<D>::value) return !f;
        else return false;
    }

    struct ops {
        void (*invoke)(void* buf);
        void (*move)(void* dst, void* src) noexcept; // move-constructs into dst, destroys src
        void (*destroy)(void* buf) noexcept;
    };

    template <class D>
    static constexpr bool fits() {
        return sizeof(D) <= inline_size && alignof(D) <= alignof(std::max_align_t) &&
               std::is_nothrow_move_constructible_v<D>;
    }

    template <class D>
    static constexpr ops inline_ops = {
        [](void* b) { (*std::launder(reinterpret_cast<D*>(b)))(); },
        [](void* d, void* s) noexcept {
            D* src = std::launder(reinterpret_cast<D*>(s));
            ::new (d) D(std::move(*src));
            src->~D();
        },
        [](void* b) noexcept { std::launder(reinterpret_cast<D*>(b))->~D(); },
    };
    template <class D>
    static constexpr ops heap_ops = {
        [](void* b) { (**reinterpret_cast<D**>(b))(); },
        [](void* d, void* s) noexcept { *reinterpret_cast<D**>(d) = *reinterpret_cast<D**>(s); },
        [](void* b) noexcept { delete *reinterpret_cast<D**>(b); },
    };

    void move_from(lum_job& other) noexcept {
        if (other.ops_ != nullptr) {
            other.ops_->move(buf_, other.buf_);
            ops_ = other.ops_;
            other.ops_ = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char buf_[inline_size];
    const ops* ops_ = nullptr;
};

class lum_job_queue {
public:
    static constexpr uint32_t capacity = 1024;
    static constexpr uint8_t slot_free = 0;
    static constexpr uint8_t slot_writing = 1;
    static constexpr uint8_t slot_full = 2;

    lum_job_queue() = default;
    lum_job_queue(const lum_job_queue&) = delete;
    lum_job_queue& operator=(const lum_job_queue&) = delete;
    ~lum_job_queue(); // destroys jobs left in the queue

    // Any thread. True when the job was queued, or dropped because it is empty
    // or the queue is shut down; false when the queue is full (the job is then
    // destroyed). Wakes sleeping workers (no wake-up is lost).
    bool try_push(lum_job job);

    // Host side (worker threads).
    // Takes the oldest job when one is pending; false when none is or the
    // queue is shut down.
    bool try_pop(lum_job& out);
    // Blocks until a job can be taken (true) or the queue is shut down (false).
    bool wait_pop(lum_job& out);
    // Stops the workers: every wait_pop returns false from now on; later
    // pushes are dropped and report success. Queued jobs stay until clear().
    void shut_down();
    // Destroys the jobs still queued (call once no worker pops any more).
    // Returns how many were destroyed.
    size_t clear();

    bool is_shut_down() const noexcept { return shutdown.load(std::memory_order_acquire) != 0; }
    uint64_t pending_count() const noexcept;

    // Fields in the order shared with the host's workers. Counters written by
    // different sides start cache lines of their own (padding only; the order
    // is kept). Fields the host does not read come after `shutdown`.
    std::condition_variable cv;                           // kept for the layout; workers wait on `pending`
    alignas(64) std::atomic<uint32_t> write_counter{0};   // slots claimed so far (wraps)
    alignas(64) std::atomic<uint32_t> read_counter{0};    // slots taken by workers (wraps)
    alignas(64) std::atomic<uint8_t> slot_state[capacity] = {}; // 0 free, 1 being written, 2 full
    lum_job slots[capacity];
    alignas(64) std::atomic<uint64_t> pending{0};         // jobs pushed and not yet taken (+ shutdown bias)
    alignas(64) std::atomic<uint64_t> waiting{0};         // workers asleep on `pending`
    std::atomic<uint8_t> shutdown{0};
    // Not part of the shared layout:
    std::atomic<uint8_t> wake_pending{0};                 // a wake-up is on its way to the sleepers
    alignas(64) std::atomic<uint32_t> wake_seq{0};        // sleepers wait for it to change; raised by waking pushes
    alignas(64) std::atomic<uint32_t> read_seen{0};       // the read counter as pushers last saw it

    // Pauses a worker spins on `pending` before it goes to sleep.
    static constexpr int spin_before_sleep = 256;
    // Longest sleep of a worker before it looks at `pending` again: a safety
    // net only (every push that finds sleepers wakes them), so it is long
    // enough that idle workers cost next to nothing. Tests that drop
    // wake-ups on purpose lower it.
    static constexpr uint32_t default_sleep_limit_ms = 250;
    std::atomic<uint32_t> sleep_limit_ms{default_sleep_limit_ms};

    // Added to `pending` at shutdown so that sleeping workers wake and see it.
    static constexpr uint64_t shutdown_bias = uint64_t{1} << 62;

private:
    void take_slot(lum_job& out);
};
