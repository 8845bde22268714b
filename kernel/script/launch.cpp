#include "kernel/script/launch.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <mutex>
#include <set>
#include <string>

#include "kernel/exec/launch.h"
#include "kernel/exec/process_local.h"
#include "kernel/exec/settings.h"
#include "kernel/script/binding.h"
#include "kernel/script/convert.h"
#include "kernel/script/kernel_enqueue.h"
#include "kernel/script/kernel_job.h"
#include "kernel/script/kernel_struct.h"
#include "kernel/script/kernel_unit.h"
#include "kernel/script/launch_steps.h"
#include "kernel/script/memory.h"
#include "kernel/script/module.h"
#include "kernel/script/native_info.h"
#include "kernel/script/test_control.h"
#include "runtime/log.h"
#include "runtime/thread_local.h"
#include "runtime/thread_unwind.h"
#include "runtime/vm_lock.h"
#include "types/json_object.h"
#include "vm/runtime_error.h"
#include "vm/symbol_table.h"

namespace {

using args_t = std::vector<lumvar_shared>;
using state_ptr = std::shared_ptr<lum_kernel_launch_state>;

// Largest number of work items one launch covers.
constexpr uint64_t max_invocations = 4294967295ULL;

std::string prefix(const lumk_program& p) { return "kernel '" + p.name + "'"; }

std::string parameter_list(const lumk_program& p) {
    std::string text;
    for (size_t i = 0; i < p.params.size(); ++i) {
        if (i != 0) text += ", ";
        text += p.params[i].type_text + " " + p.params[i].name;
    }
    return text;
}

// The domain argument as width and height; false with `error` set.
bool read_domain(lumvar_shared& arg, uint64_t& width, uint64_t& height, std::string& error) {
    lumvar* d = lum_kernel_follow_refs(arg.get());
    bool shaped = false;
    int64_t w = 0;
    int64_t h = 1;
    if (d != nullptr && d->type == LUMVAR_INT) {
        w = d->payload.i;
        shaped = true;
    } else if (d != nullptr && d->type == LUMVAR_JSON) {
        lum_std_json* list = d->json_container();
        if (list != nullptr && list->size() == 2) {
            lumvar_shared a = list->at(0);
            lumvar_shared b = list->at(1);
            if (a->type == LUMVAR_INT && b->type == LUMVAR_INT) {
                w = a->payload.i;
                h = b->payload.i;
                shaped = true;
            }
        }
    }
    if (!shaped) {
        error = ": the domain must be an int or [width, height] but got " + lum_kernel_value_type_name(d);
        return false;
    }
    if (w < 0 || h < 0) {
        error = ": the domain must not be negative";
        return false;
    }
    width = static_cast<uint64_t>(w);
    height = static_cast<uint64_t>(h);
    uint64_t limited = height;
    if (width != 0) limited = std::min(height, std::numeric_limits<uint64_t>::max() / width);
    if (width * limited > max_invocations) {
        error = ": the domain is too large (at most 4294967295 invocations)";
        return false;
    }
    return true;
}

// Binds every argument, then raises the lock counts. Empty with `error` set
// (nothing locked) when an argument is refused. Const strings are copied for
// synchronous launches too: another thread could change a string in place
// while lanes read it.
state_ptr prepare_launch(lum_std_kernel* kernel, args_t& args, std::string& error) {
    const lumk_program& p = *kernel->entry;
    if (args.empty()) {
        error = prefix(p) + " needs a domain: k.launch(n, ...) or k.launch([width, height], ...)";
        return nullptr;
    }
    const size_t m = args.size() - 1;
    const size_t n = p.params.size();
    if (m != n) {
        error = prefix(p) + " expects " + std::to_string(n) + " argument" + (n == 1 ? "" : "s") + " (" +
                parameter_list(p) + ") after the domain but got " + std::to_string(m);
        return nullptr;
    }
    uint64_t width = 0;
    uint64_t height = 0;
    if (!read_domain(args[0], width, height, error)) {
        error = prefix(p) + error;
        return nullptr;
    }
    auto state = std::make_shared<lum_kernel_launch_state>();
    state->launch = std::make_shared<lumk_launch>();
    lumk_launch& launch = *state->launch;
    launch.prepare(kernel->unit, kernel->entry, width, height);
    for (size_t i = 0; i < n; ++i) {
        const lumk_param& param = p.params[i];
        lumvar* value = lum_kernel_follow_refs(args[i + 1].get());
        std::string why;
        if (!param.type.is_pointer) {
            uint64_t bits = 0;
            if (!lum_kernel_scalar_from_value(value, param.type.prim, false, &bits, &why)) {
                error = prefix(p) + ": argument " + std::to_string(i + 1) + " ('" + param.name + "') " + why;
                return nullptr;
            }
            launch.regs[param.reg] = bits;
            continue;
        }
        lum_kernel_arg_binding binding;
        if (!lum_kernel_bind_memory_arg(value, !param.type.is_const, true, binding, why)) {
            error = prefix(p) + ": argument " + std::to_string(i + 1) + " ('" + param.type_text + " " + param.name +
                    "') " + why;
            return nullptr;
        }
        kptr& slot = launch.ptrs[param.slot];
        slot.base = binding.data;
        slot.count = param.size != 0 ? binding.size / param.size : 0;
        slot.stride = param.size;
        slot.bytes = binding.size;
        state->bindings.push_back(std::move(binding));
    }
    state->add_locks(+1);
    state->locked = true;
    return state;
}

// Helpers a launch may offer: the threads it may use, less the caller.
int32_t helper_count() { return static_cast<int32_t>(lum_kernel_launch_threads()) - 1; }

void request_native_code(lum_std_kernel* kernel) {
    lum_kernel_request_native(kernel->unit, kernel->entry, lum_kernel_enqueue(), lum_kernel_pool_stopping());
}

// Failed requests logged so far, by reason. A reason is logged once per
// process, whichever kernel meets it first: a failing request repeats on
// every launch of every kernel, and the log should say so once, not per
// frame. Reasons past the first few are not logged at all.
// Per process (kernel/exec/process_local.h): a forked copy logs afresh.
constexpr size_t max_logged_reasons = 16;
struct logged_reasons {
    std::mutex mutex;
    std::set<std::string> seen;
};
constinit lumk_process_local<logged_reasons> reasons_logged;

void log_failed_request(const lumk_program& p, const std::string& reason) {
    {
        logged_reasons& logged = reasons_logged.get();
        std::lock_guard<std::mutex> lock(logged.mutex);
        std::set<std::string>& seen = logged.seen;
        if (seen.size() >= max_logged_reasons || !seen.insert(reason).second) return;
    }
    lum_get_log().warning(prefix(p), ": native code could not be requested, the kernel runs interpreted: ", reason);
}

// Native code is an optimisation: when asking for it fails, the launch runs
// interpreted and the reason is logged (once per reason).
void request_native(lum_std_kernel* kernel) {
    std::string reason;
    try {
        lum_kernel_native_request.load(std::memory_order_relaxed)(kernel);
        return;
    } catch (const lum_thread_unwind&) {
        throw;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown exception";
    }
    try {
        log_failed_request(*kernel->entry, reason);
    } catch (const lum_thread_unwind&) {
        throw;
    } catch (...) {
    }
}

}  // namespace

std::atomic<lum_kernel_native_request_fn> lum_kernel_native_request{request_native_code};

std::mutex& lum_kernel_failed_request_log_lock_for_tests() { return reasons_logged.get().mutex; }

void lum_kernel_join_lanes(lumk_launch& launch) {
    launch.abort.store(1);
    std::unique_lock<std::mutex> lock(launch.mutex);
    launch.done_cv.wait(lock, [&launch] { return launch.running.load() == 0; });
}

lumvar_shared lum_kernel_finish_launch(const lumk_program& p, lum_kernel_launch_state& state) {
    state.release();
    const lumk_launch& launch = *state.launch;
    if (launch.trap_recorded.load() != 0) {
        const ktrap& trap = launch.trap;
        std::string where = "gid " + std::to_string(trap.gid);
        if (p.is_2d != 0 && launch.width != 0)
            where += ", x " + std::to_string(trap.gid % launch.width) + ", y " + std::to_string(trap.gid / launch.width);
        std::string file = p.file;
        uint32_t line = p.line;
        if (trap.pc < p.lines.size()) {
            line = p.lines[trap.pc];
            if (trap.pc < p.file_indexes.size() && p.file_indexes[trap.pc] < p.file_names.size())
                file = p.file_names[p.file_indexes[trap.pc]];
        }
        return lum_runtime_error(true, prefix(p) + " failed at " + lum_path_file_name(file) + ":" +
                                           std::to_string(line) + " (" + where + "): " + lumk_trap_message(p, trap));
    }
    if (p.reductions.empty()) return lumvar_shared::make();
    const std::vector<uint64_t> values = launch.reduce_results();
    if (p.result_type.prim == LUMK_PRIM_STRUCT) {
        const auto& structs = launch.unit->structs;
        std::vector<uint8_t> block(structs[static_cast<size_t>(p.result_type.struct_index)].size, 0);
        for (size_t r = 0; r < p.reductions.size() && r < values.size(); ++r)
            lum_kernel_scalar_store(block.data() + p.reductions[r].offset, p.reductions[r].prim, values[r]);
        return lum_kernel_struct_to_json(structs, p.result_type.struct_index, block.data());
    }
    return lum_kernel_value_from_scalar(p.result_type.prim, values.empty() ? 0 : values[0]);
}

lumvar_shared lum_kernel_launch(lum_std_kernel* kernel, args_t& args) {
    std::string error;
    state_ptr state = prepare_launch(kernel, args, error);
    if (!state) return lum_runtime_error(true, error);
    const int32_t h = helper_count();
    lumk_launch& launch = *state->launch;
    const int32_t offered =
        launch.chunk_count == 0 ? 0 : static_cast<int32_t>(std::min<uint64_t>(h, launch.chunk_count - 1));
    lum_kernel_run_unlocked(*state, [&] {
        request_native(kernel);
        launch.start_helpers(offered, lum_kernel_enqueue());
        launch.run_and_wait();
    });
    return lum_kernel_finish_launch(*kernel->entry, *state);
}

lumvar_shared lum_kernel_launch_async(lum_std_kernel* kernel, args_t& args) {
    std::string error;
    state_ptr state = prepare_launch(kernel, args, error);
    if (!state) return lum_runtime_error(true, error);
    lumk_launch& launch = *state->launch;
    lum_kernel_run_unlocked(*state, [&] { request_native(kernel); });
    int started = 0;
    if (launch.chunk_count != 0) {
        try {
            started = launch.start_helpers(std::max(helper_count(), 1), lum_kernel_enqueue());
        } catch (...) {
            lum_kernel_run_unlocked(*state, [&launch] { lum_kernel_join_lanes(launch); });
            state->release();
            throw;
        }
    }
    if (started == 0) lum_kernel_run_unlocked(*state, [&launch] { launch.run_and_wait(); });
    lumptr_strong<lum_std_kernel_job> job;
    try {
        job = lum_std_kernel_job::tables().factory();
    } catch (...) {
        // Lanes may still run on the bound memory: stop and join them, then unlock.
        lum_kernel_run_unlocked(*state, [&launch] { lum_kernel_join_lanes(launch); });
        state->release();
        throw;
    }
    if (!job) {
        lum_kernel_run_unlocked(*state, [&launch] { launch.run_and_wait(); });
        state->release();
        return lumvar_shared::make();
    }
    job->state = std::move(state);
    job->kernel = lumptr_strong<lum_std_kernel>(kernel);
    job->vm = lum_get_thread_local().vm;
    return lumvar_shared::from_object(job.get());
}
