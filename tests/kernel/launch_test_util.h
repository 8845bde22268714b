// Helpers of the engine and launch tests: compile a kernel, bind buffers and
// values to its parameters, run it through a launch with a chosen engine mode
// and number of std::thread helpers, and capture what it left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernel/compiler/compile.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/launch.h"
#include "kernel/exec/scalar.h"
#include "kernel/exec/settings.h"

namespace ltest {

inline std::shared_ptr<lumk_compiled_unit> compile(const std::string& src) {
    std::shared_ptr<lumk_compiled_unit> unit;
    kerror err;
    lumk_compile_unit(unit, src, "t.k", err, {});
    EXPECT_TRUE(unit != nullptr) << err.line << ":" << err.column << ": " << err.message << "\n" << src;
    return unit;
}

// Sets the interpreter mode and native-code policy for one scope.
struct settings_scope {
    uint32_t mode0 = lum_kernel_interp_mode.load(), policy0 = lum_kernel_jit_policy.load();
    explicit settings_scope(uint32_t mode, uint32_t policy = LUM_KERNEL_JIT_AUTO) {
        lum_kernel_interp_mode.store(mode);
        lum_kernel_jit_policy.store(policy);
    }
    ~settings_scope() {
        lum_kernel_interp_mode.store(mode0);
        lum_kernel_jit_policy.store(policy0);
    }
};

// A worker pool of plain threads: every accepted job gets its own thread,
// joined when the pool goes. `refuse_from` refuses the n-th job and later ones.
struct thread_pool {
    std::vector<std::thread> threads;
    std::mutex mutex;
    int refuse_from = -1;
    int offered = 0;  // jobs offered (accepted ones, and refused ones once refusing)

    lumk_launch::submit_fn submit() {
        return [this](std::function<void()> job) {
            std::lock_guard<std::mutex> lock(mutex);
            if (refuse_from >= 0 && offered++ >= refuse_from) return false;
            if (refuse_from < 0) ++offered;
            threads.emplace_back(std::move(job));
            return true;
        };
    }
    void join() {
        for (std::thread& t : threads) t.join();
        threads.clear();
    }
    ~thread_pool() { join(); }
};

// Arguments in parameter order: a buffer for a pointer parameter, a value
// (register bits) for a value parameter.
struct args {
    std::vector<std::vector<uint8_t>> buffers;  // pointer parameters, in order
    std::vector<uint64_t> values;               // value parameters, in order

    template <class T>
    args& buf(const std::vector<T>& v) {
        std::vector<uint8_t> b(v.size() * sizeof(T));
        if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
        buffers.push_back(std::move(b));
        return *this;
    }
    args& val(uint64_t bits) {
        values.push_back(bits);
        return *this;
    }
};

// What one launch left behind.
struct outcome {
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<uint64_t> results;
    bool trapped = false;
    uint32_t trap_code = 0;
    uint64_t trap_gid = 0;
    std::string trap_text;
};

// Binds `a` to the program's parameters on a prepared launch. `offset` moves
// every buffer's base by that many bytes (for misaligned memory).
inline void bind(lumk_launch& l, const lumk_program& p, args& a, size_t offset = 0) {
    size_t bi = 0, vi = 0;
    for (const lumk_param& prm : p.params) {
        if (prm.type.is_pointer) {
            std::vector<uint8_t>& b = a.buffers.at(bi++);
            const uint64_t bytes = b.size() - offset;
            l.ptrs[prm.slot] = kptr{b.data() + offset, prm.size ? bytes / prm.size : 0, prm.size, bytes};
        } else {
            l.regs[prm.reg] = a.values.at(vi++);
        }
    }
}

// Runs `prog` over width x height with `helpers` std::thread helpers.
inline outcome run(const std::shared_ptr<lumk_compiled_unit>& unit, const lumk_program& prog, args a, uint64_t width,
                   uint64_t height, int helpers, size_t offset = 0) {
    auto l = std::make_shared<lumk_launch>();
    l->prepare(unit, &prog, width, height);
    bind(*l, prog, a, offset);
    thread_pool pool;
    l->start_helpers(helpers, pool.submit());
    l->run_and_wait();
    pool.join();
    outcome o;
    o.buffers = std::move(a.buffers);
    if (l->trap_recorded.load()) {
        o.trapped = true;
        o.trap_code = l->trap.code & 0xFF;
        o.trap_gid = l->trap.gid;
        o.trap_text = lumk_trap_message(prog, l->trap);
    } else {
        o.results = l->reduce_results();
    }
    return o;
}

}  // namespace ltest
