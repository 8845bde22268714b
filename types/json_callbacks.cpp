#include "types/json_callbacks.h"

#include <string>
#include <utility>

#include "runtime/thread_local.h"
#include "runtime/value_records.h"
#include "runtime/vm.h"
#include "types/json_method_args.h"
#include "types/json_object.h"
#include "types/json_support.h"
#include "vm/context.h"
#include "vm/program_block.h"
#include "vm/runtime_error.h"
#include "vm/status.h"
#include "vm/task.h"

namespace args_ = lum_json_args;

namespace {

// Lets the host's loop know that work was queued or finished.
void notify_vm() {
    lum_vm* vm = lum_get_thread_local().vm;
    if (vm != nullptr && vm->wake != nullptr) vm->wake->wake();
}

// Keeps a suspended caller suspended: while a walk runs on its behalf, an
// aborting run-time error raised by what the walk does (creating a callback
// task, assigning a value) is reported but must not turn the caller's waiting
// context into an aborted one; it is woken by the walk's end like always.
class caller_guard {
public:
    explicit caller_guard(lum_task* caller) {
        if (caller == nullptr || caller->contexts.empty()) return;
        lum_vm_context* top = caller->contexts.back();
        if (top == nullptr || top->status != LUM_STATUS_SUSPENDED) return;
        task_ = lumptr_strong<lum_task>(caller);  // the walk may drop its own reference meanwhile
        top_ = top;
    }
    ~caller_guard() {
        if (top_ == nullptr || task_->contexts.empty() || task_->contexts.back() != top_) return;
        if (top_->status == LUM_STATUS_ERROR) top_->status = LUM_STATUS_SUSPENDED;
    }
    caller_guard(const caller_guard&) = delete;
    caller_guard& operator=(const caller_guard&) = delete;

private:
    lumptr_strong<lum_task> task_;
    lum_vm_context* top_ = nullptr;
};

// The code block of a function value, null when it is not one or its block is gone.
lum_program_block* callback_block(const lumvar_shared& callback) {
    if (!callback || callback->type != LUMVAR_FUNCTION) return nullptr;
    const lumvar_function_record* record = callback->function_record();
    return record != nullptr ? record->block.get() : nullptr;
}

// A fresh cell holding the callback, its scope pointing at the calling task.
lumvar_shared bind_callback(const lumvar_shared& callback, lum_task* caller) {
    lumvar_shared cell = lumvar_shared::make();
    args_::assign(cell.get(), callback);
    if (caller != nullptr && cell->type == LUMVAR_FUNCTION) {
        if (lumvar_function_record* record = cell->function_record()) record->scope = lumptr_weak<lum_task>(caller);
    }
    return cell;
}

void callback_refused() { lum_runtime_error(false, lum_json_callback_error); }

// A copy of an entry into `out`: keyed entries keep their key, others become
// list elements; the value is assigned.
void copy_entry(lum_std_json* out, const std::string* key, const lumvar_shared& value) {
    lumvar_shared cell = key != nullptr ? out->emplace_keyed(*key) : out->emplace_back();
    args_::assign(cell.get(), value);
}

bool contains(std::string_view text, std::string_view needle) { return text.find(needle) != std::string_view::npos; }

// The substrings of a filter argument: the texts of a json list's elements,
// or the argument's own text.
std::vector<std::string> needles_of(lumvar* filter) {
    std::vector<std::string> out;
    if (filter != nullptr && filter->type == LUMVAR_JSON) {
        if (const lum_std_json* list = filter->json_container()) {
            out.reserve(list->entries.size());
            for (const lum_json_entry& e : list->entries) {
                lumvar_shared v = e.value;
                out.push_back(v ? v->to_std_string() : std::string());
            }
        }
        return out;
    }
    out.push_back(args_::text(filter));
    return out;
}

bool matches_any(std::string_view text, const std::vector<std::string>& needles) {
    for (const std::string& n : needles)
        if (contains(text, n)) return true;
    return false;
}

// Keyed entries (present key) whose key contains one of the substrings.
lumvar_shared filter_keys(lum_std_json* self, lumvar* filter) {
    const std::vector<std::string> needles = needles_of(filter);
    lum_std_json* out = nullptr;
    lumvar_shared result = args_::new_json(out);
    if (out == nullptr) return result;
    for (size_t i = 0; i < self->entries.size(); ++i) {
        const lum_json_entry& e = self->entries[i];
        if (!e.key || !matches_any(*e.key, needles)) continue;
        const std::string key = *e.key;
        lumvar_shared value = e.value ? e.value : lumvar_shared::make();
        copy_entry(out, &key, value);
    }
    return result;
}

bool truthy(const lumvar_shared& v) { return v && !v->compare_zero(); }

// The walk's entry at `index`, null when a callback shrank the container.
const lum_json_entry* entry_at(lum_std_json& c, uint64_t index) {
    return index < c.entries.size() ? &c.entries[static_cast<size_t>(index)] : nullptr;
}

std::shared_ptr<lum_json_iteration> make_walk() { return std::make_shared<lum_json_iteration>(); }

}  // namespace

// ---- lum_json_iteration ----

bool lum_json_callback_accepts(const lum_program_block* block, size_t count) {
    if (block == nullptr) return false;
    if (count > block->max_args()) return false;
    if (block->min_args() != LUM_NO_DEFAULT && count < block->min_args()) return false;
    return true;
}

void lum_json_iteration::key_value_args(lum_std_json& container, uint64_t index, std::vector<lumvar_shared>& out) {
    const lum_json_entry* e = entry_at(container, index);
    if (e == nullptr) return;
    out.push_back(lumvar_shared::from_string(e->key ? std::string_view(*e->key) : std::string_view()));
    out.push_back(e->value ? e->value : lumvar_shared::make());
}

void lum_json_iteration::start(lum_vm_context& context, lum_std_json* container, const lumvar_shared& callback,
                               const std::shared_ptr<lum_json_iteration>& record) {
    std::shared_ptr<lum_json_iteration> walk = record;
    walk->container = lumptr_strong<lum_std_json>(container);
    walk->caller = lumptr_strong<lum_task>(context.task);
    walk->callback = bind_callback(callback, context.task);
    context.suspend();
    run(walk);
}

void lum_json_iteration::finish(const std::shared_ptr<lum_json_iteration>& record) {
    std::shared_ptr<lum_json_iteration> walk = record;
    if (walk->finished) return;
    walk->finished = true;
    if (walk->on_finish) walk->on_finish();
    lumptr_strong<lum_task> caller = std::move(walk->caller);
    // Nothing of the walk is needed any more; the record may live on in a
    // callback task that is still running.
    walk->container.reset();
    walk->callback.reset();
    walk->on_result = nullptr;
    walk->on_finish = nullptr;
    if (caller) lum_task::wake(caller.get());
}

void lum_json_iteration::run(const std::shared_ptr<lum_json_iteration>& record) {
    std::shared_ptr<lum_json_iteration> walk = record;
    if (walk->running) {
        walk->again = true;
        return;
    }
    walk->running = true;
    caller_guard guard(walk->caller.get());
    for (;;) {
        walk->again = false;
        notify_vm();
        if (walk->finished) break;
        lum_std_json* container = walk->container.get();
        if (container == nullptr || walk->index >= container->entries.size()) {
            finish(walk);
            break;
        }
        std::vector<lumvar_shared> arguments;
        if (walk->build_arguments) walk->build_arguments(*container, walk->index, arguments);
        lum_program_block* block = callback_block(walk->callback);
        lumptr_strong<lum_task> task;
        if (!lum_json_callback_accepts(block, arguments.size()) || !walk->callback->create_task(task) ||
            !task->has_context()) {
            callback_refused();
            finish(walk);
            break;
        }
        task->on_complete = [walk](lumvar_shared result) { task_finished(walk, std::move(result)); };
        if (lum_task::run(task.get(), &arguments) == 0) {
            task->on_complete = nullptr;
            callback_refused();
            finish(walk);
            break;
        }
        arguments.clear();
        // Not finished yet (it waits), or the walk ended: the next entry is
        // started by whoever completes the callback.
        if (!walk->again || walk->finished) break;
    }
    walk->running = false;
}

void lum_json_iteration::task_finished(const std::shared_ptr<lum_json_iteration>& record, lumvar_shared result) {
    std::shared_ptr<lum_json_iteration> walk = record;
    if (walk->finished) return;
    caller_guard guard(walk->caller.get());
    lum_std_json* container = walk->container.get();
    if (container != nullptr && walk->on_result && walk->on_result(*container, walk->index, std::move(result))) {
        ++walk->index;
        run(walk);
        return;
    }
    finish(walk);
}

// ---- sort_by ----

namespace {

// The sort key of one entry: its child value's kind, number and text form.
struct child_key {
    bool none = true;
    bool number = false;
    double num = 0.0;
    std::string text;
};

child_key child_key_of(const lum_json_entry& e, std::string_view child) {
    child_key k;
    const lumvar* v = e.value.get();
    if (v == nullptr || v->type != LUMVAR_JSON) return k;
    const lum_std_json* c = v->json_container();
    if (c == nullptr) return k;
    for (const lum_json_entry& m : c->entries) {
        if (!m.key || *m.key != child) continue;
        lumvar_shared value = m.value;
        if (!value || value->type == LUMVAR_NONE) return k;
        k.none = false;
        k.number = value->type == LUMVAR_INT || value->type == LUMVAR_FLOAT;
        if (k.number) k.num = value->float_value();
        value->string_value(k.text);
        return k;
    }
    return k;
}

// Entries with a child value go first in either direction; two numbers compare
// as numbers, anything else by text form.
bool child_key_less(const child_key& a, const child_key& b, bool descending) {
    if (a.none != b.none) return !a.none;
    if (a.number && b.number) return descending ? a.num > b.num : a.num < b.num;
    return descending ? a.text > b.text : a.text < b.text;
}

// Stable bottom-up merge sort of positions. Every step only compares and
// copies within bounds, so it is memory-safe whatever the comparison answers
// (NaN, mixed numbers and texts).
void stable_sort_positions(std::vector<size_t>& order, const std::vector<child_key>& keys, bool descending) {
    const size_t n = order.size();
    std::vector<size_t> buffer(n);
    for (size_t width = 1; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(lo + width, n);
            const size_t hi = std::min(lo + 2 * width, n);
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                // Equal elements keep their order: the right one moves first
                // only when it is strictly less.
                if (child_key_less(keys[order[j]], keys[order[i]], descending))
                    buffer[k++] = order[j++];
                else
                    buffer[k++] = order[i++];
            }
            while (i < mid) buffer[k++] = order[i++];
            while (j < hi) buffer[k++] = order[j++];
        }
        order.swap(buffer);
    }
}

}  // namespace

lumvar_shared lum_json_method_sort_by(lum_std_json* self, lum_vm_context&, lum_json_method_args& args) {
    const std::string child = args_::text(args_::at(args, 0));
    const bool descending = args.size() > 1 && args_::truthy(args_::at(args, 1));
    const size_t keyed = self->partition_keyed();
    // Keys first: text forms are taken while the entries are in place.
    std::vector<child_key> keys;
    keys.reserve(keyed);
    for (size_t i = 0; i < keyed && i < self->entries.size(); ++i) keys.push_back(child_key_of(self->entries[i], child));
    const size_t n = std::min(keys.size(), self->entries.size());
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    stable_sort_positions(order, keys, descending);
    std::vector<lum_json_entry> sorted;
    sorted.reserve(n);
    for (size_t i = 0; i < n; ++i) sorted.push_back(std::move(self->entries[order[i]]));
    for (size_t i = 0; i < n; ++i) self->entries[i] = std::move(sorted[i]);
    return args_::container(self);
}

// ---- substring filters ----

lumvar_shared lum_json_method_filter_key(lum_std_json* self, lum_vm_context&, lum_json_method_args& args) {
    return filter_keys(self, args_::at(args, 0));
}

lumvar_shared lum_json_method_filter_value(lum_std_json* self, lum_vm_context&, lum_json_method_args& args) {
    lumvar* filter = args_::at(args, 0);
    const bool list = filter != nullptr && filter->type == LUMVAR_JSON;
    const std::vector<std::string> needles = needles_of(filter);
    lum_std_json* out = nullptr;
    lumvar_shared result = args_::new_json(out);
    if (out == nullptr) return result;
    std::string text;
    for (size_t i = 0; i < self->entries.size(); ++i) {
        const lum_json_entry& e = self->entries[i];
        lumvar_shared value = e.value;
        if (!value) continue;
        // A single substring only looks at string values.
        if (!list && value->type != LUMVAR_STRING) continue;
        value->string_value(text);
        if (!matches_any(text, needles)) continue;
        if (i >= self->entries.size()) break;
        const lum_json_entry& now = self->entries[i];
        std::unique_ptr<std::string> key = now.key ? std::make_unique<std::string>(*now.key) : nullptr;
        copy_entry(out, key.get(), value);
    }
    return result;
}

// ---- callback methods ----

lumvar_shared lum_json_method_filter(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args) {
    lumvar* filter = args_::at(args, 0);
    if (!args_::is_function(filter)) return filter_keys(self, filter);
    lum_std_json* out = nullptr;
    lumvar_shared result = args_::new_json(out);
    if (out == nullptr) return result;
    lumptr_strong<lum_std_json> target(out);
    auto walk = make_walk();
    walk->on_result = [target](lum_std_json& c, uint64_t index, lumvar_shared r) {
        if (!truthy(r)) return true;
        const lum_json_entry* e = entry_at(c, index);
        if (e == nullptr) return true;
        std::unique_ptr<std::string> key = e->key ? std::make_unique<std::string>(*e->key) : nullptr;
        lumvar_shared value = e->value ? e->value : lumvar_shared::make();
        copy_entry(target.get(), key.get(), value);
        return true;
    };
    lum_json_iteration::start(context, self, args[0], walk);
    return result;
}

lumvar_shared lum_json_method_map(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args) {
    lum_std_json* out = nullptr;
    if (!args_::is_function(args_::at(args, 0))) {
        runtime_warning(json_warning_map_expects_function);
        return args_::new_json(out);
    }
    lumvar_shared result = args_::new_json(out);
    if (out == nullptr) return result;
    lumptr_strong<lum_std_json> target(out);
    auto walk = make_walk();
    walk->on_result = [target](lum_std_json& c, uint64_t index, lumvar_shared r) {
        const lum_json_entry* e = entry_at(c, index);
        if (e == nullptr) return true;
        std::unique_ptr<std::string> key = e->key ? std::make_unique<std::string>(*e->key) : nullptr;
        copy_entry(target.get(), key.get(), r ? r : lumvar_shared::make());
        return true;
    };
    lum_json_iteration::start(context, self, args[0], walk);
    return result;
}

lumvar_shared lum_json_method_reduce(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args) {
    if (!args_::is_function(args_::at(args, 0))) {
        runtime_warning(json_warning_reduce_expects_callback);
        return lumvar_shared::make();
    }
    lumvar_shared result = lumvar_shared::make();
    // The accumulator handle is shared by the record's callables.
    auto accumulator = std::make_shared<lumvar_shared>(lumvar_shared::from_int(0));
    if (args.size() > 1 && args[1]) {
        *accumulator = lumvar_shared::make();
        args_::assign(accumulator->get(), args[1]);
    }
    auto walk = make_walk();
    walk->build_arguments = [accumulator](lum_std_json& c, uint64_t index, std::vector<lumvar_shared>& out) {
        out.push_back(*accumulator);
        lum_json_iteration::key_value_args(c, index, out);
    };
    walk->on_result = [accumulator](lum_std_json&, uint64_t, lumvar_shared r) {
        *accumulator = r ? std::move(r) : lumvar_shared::make();
        return true;
    };
    walk->on_finish = [accumulator, result] {
        args_::assign(result.get(), *accumulator);
        accumulator->reset();
    };
    lum_json_iteration::start(context, self, args[0], walk);
    return result;
}

lumvar_shared lum_json_method_any(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args) {
    lumvar* filter = args_::at(args, 0);
    if (filter != nullptr && filter->type == LUMVAR_STRING) {
        const std::string needle = args_::text(filter);
        for (const lum_json_entry& e : self->entries)
            if (e.key && contains(*e.key, needle)) return args_::boolean(true);
        return args_::boolean(false);
    }
    if (!args_::is_function(filter)) {
        runtime_warning(json_warning_any_expects);
        return args_::boolean(false);
    }
    lumvar_shared result = args_::boolean(false);
    auto walk = make_walk();
    walk->on_result = [result](lum_std_json&, uint64_t, lumvar_shared r) {
        if (!truthy(r)) return true;
        result->set_int(1);
        return false;
    };
    lum_json_iteration::start(context, self, args[0], walk);
    return result;
}

lumvar_shared lum_json_method_all(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args) {
    lumvar* filter = args_::at(args, 0);
    if (filter != nullptr && filter->type == LUMVAR_STRING) {
        const std::string needle = args_::text(filter);
        for (const lum_json_entry& e : self->entries)
            if (!e.key || !contains(*e.key, needle)) return args_::boolean(false);
        return args_::boolean(true);
    }
    if (!args_::is_function(filter)) {
        runtime_warning(json_warning_all_expects);
        return args_::boolean(false);
    }
    lumvar_shared result = args_::boolean(true);
    auto walk = make_walk();
    walk->on_result = [result](lum_std_json&, uint64_t, lumvar_shared r) {
        if (truthy(r)) return true;
        result->set_int(0);
        return false;
    };
    lum_json_iteration::start(context, self, args[0], walk);
    return result;
}

// ---- foreach ----

namespace {

// One foreach walk: a chain of callback tasks, each started (not run) by the
// completion of the one before, so one callback runs per host turn.
struct foreach_walk {
    lumptr_strong<lum_std_json> container;
    lumptr_strong<lum_task> caller;
    lumvar_shared callback;
    bool finished = false;
};

void foreach_end(const std::shared_ptr<foreach_walk>& walk) {
    if (walk->finished) return;
    walk->finished = true;
    lumptr_strong<lum_task> caller = std::move(walk->caller);
    walk->container.reset();
    walk->callback.reset();
    if (caller) lum_task::wake(caller.get());
}

void json_foreach_step(const std::shared_ptr<foreach_walk>& record, uint64_t index) {
    std::shared_ptr<foreach_walk> walk = record;
    notify_vm();
    if (walk->finished) return;
    caller_guard guard(walk->caller.get());
    lum_std_json* container = walk->container.get();
    if (container == nullptr || index >= container->entries.size()) {
        foreach_end(walk);
        return;
    }
    lum_program_block* block = callback_block(walk->callback);
    const lum_json_entry& e = container->entries[static_cast<size_t>(index)];
    std::vector<lumvar_shared> arguments;
    // The callback's declared parameters decide: two take (key, value), any
    // other count takes the value alone.
    if (block != nullptr && block->num_params == 2)
        arguments.push_back(lumvar_shared::from_string(e.key ? std::string_view(*e.key) : std::string_view()));
    arguments.push_back(e.value ? e.value : lumvar_shared::make());
    lumptr_strong<lum_task> task;
    if (!lum_json_callback_accepts(block, arguments.size()) || !walk->callback->create_task(task) ||
        !task->has_context()) {
        callback_refused();
        foreach_end(walk);
        return;
    }
    task->on_complete = [walk, index](lumvar_shared) { json_foreach_step(walk, index + 1); };
    if (!lum_task::start(task.get(), &arguments)) {
        task->on_complete = nullptr;
        foreach_end(walk);
    }
}

}  // namespace

lumvar_shared lum_json_method_foreach(lum_std_json* self, lum_vm_context& context, lum_json_method_args& args) {
    if (!args_::is_function(args_::at(args, 0)))
        return lum_runtime_error(true, "foreach requires a callback function argument.");
    auto walk = std::make_shared<foreach_walk>();
    walk->container = lumptr_strong<lum_std_json>(self);
    walk->caller = lumptr_strong<lum_task>(context.task);
    walk->callback = bind_callback(args[0], context.task);
    context.suspend();
    json_foreach_step(walk, 0);
    return args_::container(self);
}
