#include "kernel/exec/launch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kernel/exec/batch.h"
#include "kernel/exec/reduce.h"
#include "kernel/exec/settings.h"
#include "runtime/thread_unwind.h"

namespace {

// Registers of the batch engine: a larger file would not stay in cache.
constexpr size_t k_batch_max_regs = 512;
// In auto mode chunks shorter than this run on the scalar engine.
constexpr uint64_t k_batch_min_chunk = 8;
// Auto mode drops the batch engine once more than half of at least this many
// batches diverged.
constexpr uint32_t k_batch_drop_after = 32;

const volatile uint8_t* abort_byte(const std::atomic<uint8_t>& flag) {
    static_assert(sizeof(std::atomic<uint8_t>) == 1 && std::atomic<uint8_t>::is_always_lock_free,
                  "the abort flag is read by the engines as a plain byte");
    return reinterpret_cast<const volatile uint8_t*>(&flag);
}

}  // namespace

void lumk_launch::prepare(std::shared_ptr<const lumk_unit> unit_in, const lumk_program* program_in, uint64_t width_in,
                          uint64_t height) {
    // Refused before anything is set: the launch stays as it was.
    if (width_in != 0 && height > UINT64_MAX / width_in)
        throw std::length_error("kernel launch: the domain of " + std::to_string(width_in) + " x " +
                                std::to_string(height) + " work items is too large (more than 2^64 - 1)");
    unit = std::move(unit_in);
    program = program_in;
    width = width_in == 0 ? 1 : width_in;
    gsize = width_in * height;

    regs.assign(program->reg_count, 0);
    for (const lumk_const& k : program->constants)
        if (k.reg < regs.size()) regs[k.reg] = k.bits;
    auto set_reg = [&](uint16_t r, uint64_t v) {
        if (r < regs.size()) regs[r] = v;
    };
    set_reg(program->gsize, gsize);
    set_reg(program->gsize_x, width_in);
    set_reg(program->gsize_y, height);

    ptrs.assign(program->ptr_count + (program->frame_bytes != 0 ? 1u : 0u), kptr{});

    if (gsize != 0) {
        // ceil(gsize / 256) and ceil(gsize / chunk_size), without overflow
        // near 2^64
        chunk_size = (gsize >> 8) + ((gsize & 255) != 0 ? 1 : 0);
        chunk_count = (gsize - 1) / chunk_size + 1;
    } else {
        chunk_size = 1;
        chunk_count = 0;
    }

    const size_t nred = program->reductions.size();
    partials.resize(chunk_count * nred);
    for (size_t r = 0; r < nred; ++r) {
        const uint64_t identity = lumk_reduce_identity(program->reductions[r].op, program->reductions[r].prim);
        for (uint64_t c = 0; c < chunk_count; ++c) partials[c * nred + r] = identity;
    }
}

int lumk_launch::start_helpers(int n, const submit_fn& submit) {
    if (!submit) return 0;
    std::shared_ptr<lumk_launch> self = shared_from_this();
    int accepted = 0;
    for (int i = 0; i < n; ++i) {
        std::function<void()> job = [self] { self->run_lanes(); };
        if (!submit(std::move(job))) break;
        ++accepted;
    }
    return accepted;
}

bool lumk_launch::done() const {
    if (completed_.load(std::memory_order_acquire) != 0) return true;
    if ((next_chunk.load() >= chunk_count || abort.load() != 0) && running.load() == 0) {
        completed_.store(1, std::memory_order_release);
        return true;
    }
    return false;
}

void lumk_launch::leave() {
    if (running.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> lock(mutex);
        done_cv.notify_all();
    }
}

// Records the first real trap and stops every runner: trap_recorded (and the
// copy), then abort, then next_chunk. Code 7 means "stopped": it is recorded
// only when this runner's own exchange of abort found it clear (nobody had
// stopped the launch, so an unknown opcode ended the run).
void lumk_launch::stop_on_trap(uint32_t code, const ktrap& runner_trap) {
    if (code != LUMK_TRAP_ABORT) {
        if (trap_recorded.exchange(1) == 0) trap = runner_trap;
        abort.exchange(1);
    } else if (abort.exchange(1) == 0) {
        if (trap_recorded.exchange(1) == 0) trap = runner_trap;
    }
    next_chunk.exchange(chunk_count);
}

void lumk_launch::stop_on_failure(std::exception_ptr failure) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error_) error_ = std::move(failure);
    }
    failed_.store(1);
    abort.exchange(1);
    next_chunk.exchange(chunk_count);
}

void lumk_launch::run_lanes() {
    running.fetch_add(1);
    // However the runner ends, it is no longer counted afterwards.
    struct leave_guard {
        lumk_launch* launch;
        ~leave_guard() { launch->leave(); }
    } guard{this};

    try {
        const lumk_program& prog = *program;
        const size_t nregs = regs.size();
        const size_t nred = prog.reductions.size();
        const volatile uint8_t* abort_ptr = abort_byte(abort);

        // Engine choice, once per runner.
        const uint32_t mode = lum_kernel_interp_mode.load();
        lumk_jit_entry_fn native = nullptr;
        if (mode == LUM_KERNEL_MODE_AUTO && lum_kernel_jit_policy.load() != LUM_KERNEL_JIT_OFF && prog.jit)
            native = lumk_jit_ready_entry(*prog.jit);
        bool use_batch = native == nullptr && prog.frame_bytes == 0 && mode != LUM_KERNEL_MODE_SCALAR &&
                         nregs <= k_batch_max_regs &&
                         (chunk_size >= k_batch_min_chunk || mode == LUM_KERNEL_MODE_BATCH);

        // Every buffer of the runner is allocated here, before the first claim.
        std::vector<kptr> slots = ptrs;
        std::vector<uint64_t> frame;
        if (prog.frame_bytes != 0 && prog.frame_slot < slots.size()) {
            frame.assign((static_cast<size_t>(prog.frame_bytes) + 7) / 8, 0);
            slots[prog.frame_slot] = kptr{reinterpret_cast<uint8_t*>(frame.data()), 1, prog.frame_bytes,
                                          prog.frame_bytes};
        }
        const kptr* sp = slots.empty() ? nullptr : slots.data();

        std::vector<kreg> tmpl(nregs);
        if (nregs != 0) std::memcpy(tmpl.data(), regs.data(), nregs * sizeof(uint64_t));
        ktrap ptrap{};  // prologue and native entry
        ktrap itrap{};  // interpreters
        if (prog.prologue && nregs != 0) lumk_run_scalar(*prog.prologue, tmpl.data(), sp, 0, 1, nullptr, &ptrap, 0);

        std::vector<kreg> work = tmpl;
        std::vector<uint64_t> lanes;
        if (use_batch) {
            lanes.resize(nregs * LUMK_BATCH_LANES);
            for (size_t i = 0; i < nregs; ++i)
                std::fill_n(lanes.data() + i * LUMK_BATCH_LANES, LUMK_BATCH_LANES, tmpl[i].u);
        }
        std::vector<uint64_t> identities(nred), bacc(nred);
        for (size_t r = 0; r < nred; ++r)
            identities[r] = lumk_reduce_identity(prog.reductions[r].op, prog.reductions[r].prim);
        uint32_t batches = 0, diverged = 0;

        auto reset_accumulators = [&] {
            for (size_t r = 0; r < nred; ++r) work[prog.reductions[r].reg].u = identities[r];
        };
        auto store_partials = [&](uint64_t c) {
            for (size_t r = 0; r < nred; ++r) partials[c * nred + r] = work[prog.reductions[r].reg].u;
        };

        while (abort.load() == 0) {
            const uint64_t c = next_chunk.fetch_add(1);
            if (c >= chunk_count) break;
            const uint64_t begin = c * chunk_size;
            const uint64_t end = begin + std::min(chunk_size, gsize - begin);
            uint32_t code = 0;

            if (native != nullptr) {
                reset_accumulators();
                const int rc = native(work.data(), sp, begin, end, abort_ptr, &ptrap);
                if ((rc & 0xFF) != 0) {
                    code = static_cast<uint32_t>(rc & 0xFF);
                    itrap = ptrap;
                    itrap.code = code;
                } else {
                    store_partials(c);
                }
            } else if (!use_batch) {
                reset_accumulators();
                code = lumk_run_scalar(prog, work.data(), sp, begin, end, abort_ptr, &itrap, 0);
                if (code == 0) store_partials(c);
            } else {
                bacc = identities;
                uint64_t* L = lanes.data();
                for (uint64_t b = begin; b < end && code == 0; b += LUMK_BATCH_LANES) {
                    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(end - b, LUMK_BATCH_LANES));
                    uint64_t* gid_row = L + static_cast<size_t>(prog.gid) * LUMK_BATCH_LANES;
                    if (n == LUMK_BATCH_LANES) {  // a fixed count: the loop is vectorised
                        for (uint32_t l = 0; l < LUMK_BATCH_LANES; ++l) gid_row[l] = b + l;
                    } else {
                        for (uint32_t l = 0; l < n; ++l) gid_row[l] = b + l;
                    }
                    if (prog.is_2d) {
                        uint64_t x = b % width, y = b / width;
                        uint64_t* xr = L + static_cast<size_t>(prog.gid_x) * LUMK_BATCH_LANES;
                        uint64_t* yr = L + static_cast<size_t>(prog.gid_y) * LUMK_BATCH_LANES;
                        for (uint32_t l = 0; l < n; ++l) {
                            xr[l] = x;
                            yr[l] = y;
                            if (++x == width) {
                                x = 0;
                                ++y;
                            }
                        }
                    }
                    for (size_t r = 0; r < nred; ++r)
                        std::fill_n(L + static_cast<size_t>(prog.reductions[r].reg) * LUMK_BATCH_LANES, n, identities[r]);

                    code = static_cast<uint32_t>(lumk_run_batch(prog, L, sp, b, n, abort_ptr, &itrap));
                    if (code == LUMK_TRAP_DIVERGED) {
                        // Finish every lane on its own from the branch.
                        ++diverged;
                        const uint32_t pc = itrap.pc;
                        code = 0;
                        for (uint32_t l = 0; l < n && code == 0; ++l) {
                            for (size_t i = 0; i < nregs; ++i) work[i].u = L[i * LUMK_BATCH_LANES + l];
                            code = lumk_run_scalar(prog, work.data(), sp, b + l, b + l + 1, abort_ptr, &itrap, pc);
                            for (size_t r = 0; r < nred; ++r) {
                                const uint16_t reg = prog.reductions[r].reg;
                                L[static_cast<size_t>(reg) * LUMK_BATCH_LANES + l] = work[reg].u;
                            }
                        }
                        std::copy(tmpl.begin(), tmpl.end(), work.begin());
                    }
                    if (code != 0) break;
                    ++batches;
                    for (size_t r = 0; r < nred; ++r) {
                        const lumk_reduction& red = prog.reductions[r];
                        bacc[r] = lumk_reduce_fold(red.op, red.prim, bacc[r],
                                                   L + static_cast<size_t>(red.reg) * LUMK_BATCH_LANES, n);
                    }
                }
                if (code == 0) {
                    for (size_t r = 0; r < nred; ++r) partials[c * nred + r] = bacc[r];
                    if (mode == LUM_KERNEL_MODE_AUTO && batches >= k_batch_drop_after && 2ull * diverged > batches)
                        use_batch = false;
                }
            }

            if (code != 0) {
                stop_on_trap(code, itrap);
                break;
            }
        }
    } catch (const lum_thread_unwind&) {
        // The runner's thread is cancelled or ends: the launch stops with an
        // error, and the unwinding goes on.
        stop_on_failure(std::make_exception_ptr(std::runtime_error("a thread running the kernel was cancelled")));
        throw;
    } catch (...) {
        stop_on_failure(std::current_exception());
    }
}

void lumk_launch::run_and_wait() {
    run_lanes();
    if (done() && failed_.load() == 0) return;
    std::unique_lock<std::mutex> lock(mutex);
    done_cv.wait(lock, [this] { return done(); });
    if (error_) std::rethrow_exception(error_);
}

std::vector<uint64_t> lumk_launch::reduce_results() const {
    const size_t nred = program != nullptr ? program->reductions.size() : 0;
    std::vector<uint64_t> out(nred);
    for (size_t r = 0; r < nred; ++r) {
        const lumk_reduction& red = program->reductions[r];
        uint64_t v = lumk_reduce_identity(red.op, red.prim);
        for (uint64_t c = 0; c < chunk_count; ++c) v = lumk_reduce_combine(red.op, red.prim, v, partials[c * nred + r]);
        out[r] = v;
    }
    return out;
}
