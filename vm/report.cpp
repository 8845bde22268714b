#include "vm/report.h"

#include <string>
#include <vector>

#include "runtime/log.h"
#include "runtime/thread_local.h"
#include "runtime/value.h"
#include "runtime/vm.h"
#include "vm/context.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/symbol_table.h"
#include "vm/task.h"

namespace {

// Frames printed in full up to this many contexts; beyond it the first
// `head` and the last `tail` frames.
constexpr size_t max_frames = 30;
constexpr size_t head_frames = 10;
constexpr size_t tail_frames = 20;
// An include chain longer than this is treated as cyclic and cut.
constexpr size_t max_include_depth = 256;

std::string decimal(uint64_t v) { return std::to_string(v); }

// The running task of the calling thread when it owns the VM lock.
lum_task* task_on_vm_thread() {
    lum_thread_local& tl = lum_get_thread_local();
    lum_vm* vm = tl.vm;
    if (vm == nullptr) return nullptr;
    if (vm->lock.owner.load(std::memory_order_relaxed) != tl.thread_id) return nullptr;
    lum_task* task = tl.current_task;
    if (task == nullptr || task->contexts.empty() || task->contexts.back() == nullptr) return nullptr;
    return task;
}

// Tree of the include chain (outermost first) and the full paths.
std::string include_tree(const std::vector<const lum_source_unit*>& chain, const std::string& line,
                         const std::string& index) {
    std::string tree;
    const size_t c = chain.size();
    for (size_t k = 0; k < c; ++k) {
        const std::string name = chain[k]->file_name();
        tree.append(3 * k, ' ');
        if (k == 0 && c == 1) {
            tree += name;
            tree += " --> Line ";
            tree += line;
            tree += ", Index ";
            tree += index;
            tree += '\n';
        } else if (k == 0) {
            tree += name;
            tree += '\n';
        } else if (k < c - 1) {
            tree += "|-- ";
            tree += name;
            tree += '\n';
        } else {
            tree += "|-- ";
            tree += name;
            tree += '\n';
            tree.append(3 * (k + 1), ' ');
            tree += "`--> Line ";
            tree += line;
            tree += ", Index ";
            tree += index;
            tree += '\n';
        }
    }
    for (const lum_source_unit* unit : chain) {
        tree += "\n>>> ";
        tree += unit->path;
    }
    return tree;
}

// Position of a frame: the symbol-table entry for the context's instruction
// (outer frames step back over their call). Null when there is none.
const lum_source_location* frame_location(const lum_vm_context& ctx, bool innermost) {
    const lum_program_block* block = ctx.block;
    if (block == nullptr) return nullptr;
    const lum_program_block_symbol_table* table = block->symbols.get();
    if (table == nullptr) return nullptr;
    uint32_t offset;
    if (ctx.ip != nullptr && ctx.ip >= block->code_begin() && ctx.ip <= block->code_end())
        offset = static_cast<uint32_t>(ctx.ip - block->code_begin());
    else
        offset = ctx.resume_offset;
    auto it = table->position_at(offset);
    if (it == table->positions.end()) return nullptr;
    // An outer context has stepped past the call it waits for, except while
    // it waits for a parameter's default value: that instruction stays on
    // itself until its block has run.
    const bool waits_in_default = ctx.default_value != 0 && offset < block->code_size() &&
                                  block->code_begin()[offset] == LUM_OP_DEFAULT;
    if (!innermost && !waits_in_default && it->first != 0 && it != table->positions.begin()) --it;
    return it->second.get();
}

// The report of a frame without a source position: the title, then the text
// between two rules.
std::string titled_box(std::string_view title, std::string_view body) {
    std::string text(title);
    text += '\n';
    text += lum_report_rule;
    text += '\n';
    text += body;
    text += '\n';
    text += lum_report_rule;
    return text;
}

void print_frame(const lum_vm_context& ctx, bool innermost, std::string_view report) {
    lum_log_base& log = lum_get_log();
    const lum_source_location* location = frame_location(ctx, innermost);
    if (location == nullptr) {
        if (innermost) {
            log.error(titled_box("Runtime Error", report));
        } else {
            log.error(report);
        }
        return;
    }
    const std::string_view prefix = innermost ? report : std::string_view();
    std::optional<std::string> box = lum_report_box(*location, prefix, false);
    if (box) log.error(*box);
    else log.error_without_ast(prefix);
}

}  // namespace

std::optional<std::string> lum_report_box(const lum_source_location& location, std::string_view prefix,
                                          bool warning) {
    const lum_source_unit* unit = location.unit;
    if (unit == nullptr) return std::nullopt;
    auto line_it = unit->lines.find(location.line);
    if (line_it == unit->lines.end()) return std::nullopt;

    std::string source = line_it->second;
    const size_t feed = source.find('\n');
    if (feed != std::string::npos) source.erase(feed);

    std::vector<const lum_source_unit*> chain;
    for (const lum_source_unit* u = unit; u != nullptr && chain.size() < max_include_depth; u = u->included_from)
        chain.push_back(u);
    std::vector<const lum_source_unit*> outer_first(chain.rbegin(), chain.rend());

    const std::string ln = decimal(location.line);
    const std::string in = decimal(location.index);
    const size_t w = ln.size();
    const std::string tree = include_tree(outer_first, ln, in);

    std::string out = warning ? "Runtime Warning\n" : "Runtime Error\n";
    out += lum_report_rule;
    out += '\n';
    out.append(w, ' ');
    out += "--> ";
    out += unit->file_name();
    out += ':';
    out += ln;
    out += ':';
    out += in;
    out += '\n';
    out.append(w + 2, ' ');
    out += "|\n";

    uint64_t column = location.index;
    const size_t first = source.find_first_not_of(' ');
    if (first != std::string::npos && first <= location.index) {
        source.erase(0, first);
        column = location.index - first;
    }
    out += ' ';
    out += ln;
    out += " | ";
    out += source;
    out += '\n';
    if (column < source.size()) {
        out.append(w + 2, ' ');
        out += "| ";
        out.append(static_cast<size_t>(column), ' ');
        out += "^~~~~\n";
    }
    out.append(w + 2, ' ');
    out += "|\n";
    out += prefix;
    if (warning) out += '\n';
    out += tree;
    out += '\n';
    out += lum_report_rule;
    return out;
}

void lum_vm_context::raise_runtime_error(std::string_view report, std::string_view message, bool catchable) {
    if (catchable && task != nullptr) {
        for (size_t i = task->contexts.size(); i-- > 0;) {
            const lum_vm_context* c = task->contexts[i];
            const lum_program_block* b = c != nullptr ? c->block : nullptr;
            if (b == nullptr) continue;
            if (b->is_try()) {
                lum_get_log().notice("Caught runtime error: ", message);
                task->error = lumvar_shared::from_string(message);
                return;
            }
            if (b->is_function_flagged() && b->is_function_body()) break;
        }
    }
    print_runtime_error(report, -1);
    if (task != nullptr) task->error = lumvar_shared::from_string(message);
}

void lum_vm_context::print_runtime_error(std::string_view report, int64_t frame) {
    // Without a task the context is its own only frame.
    const lum_vm_context* self_frame[1] = {this};
    const lum_vm_context* const* frames = self_frame;
    size_t n = 1;
    if (task != nullptr && !task->contexts.empty()) {
        frames = task->contexts.data();
        n = task->contexts.size();
    }
    auto print_at = [&](size_t i) {
        if (frames[i] != nullptr) print_frame(*frames[i], i + 1 == n, report);
    };
    if (frame >= 0) {
        if (static_cast<uint64_t>(frame) < n) print_at(static_cast<size_t>(frame));
        return;
    }
    if (n <= max_frames) {
        for (size_t i = 0; i < n; ++i) print_at(i);
        return;
    }
    for (size_t i = 0; i < head_frames; ++i) print_at(i);
    lum_get_log().error("... ", static_cast<uint64_t>(n - max_frames), " more frames ...");
    for (size_t i = n - tail_frames; i < n; ++i) print_at(i);
}

void lum_vm_context::runtime_warning(std::string_view message) {
    lum_log_base& log = lum_get_log();
    const lum_source_location* location = nullptr;
    if (block != nullptr && ip != nullptr) {
        if (const lum_program_block_symbol_table* table = block->symbols.get()) {
            const uint32_t offset = static_cast<uint32_t>(ip - block->code_begin());
            auto it = table->position_at(offset);
            if (it != table->positions.end()) location = it->second.get();
        }
    }
    if (location == nullptr) {
        log.warning(titled_box("Runtime Warning", message));
        return;
    }
    std::optional<std::string> box = lum_report_box(*location, message, true);
    if (box) {
        log.warning(*box);
    } else {
        std::string text(message);
        text += '\n';
        log.warning(text);
    }
}

bool lum_report_error_in_task(std::string_view framed, std::string_view message, bool abort) {
    lum_task* task = task_on_vm_thread();
    if (task == nullptr) return false;
    lum_vm_context* top = task->contexts.back();
    top->raise_runtime_error(framed, message, abort);
    // The report may have run code that changed the stack; the status goes
    // to the context on top now.
    if (abort && !task->contexts.empty() && task->contexts.back() != nullptr)
        task->contexts.back()->status = LUM_STATUS_ERROR;
    return true;
}

bool lum_report_warning_in_task(std::string_view message) {
    lum_task* task = task_on_vm_thread();
    if (task == nullptr) return false;
    task->contexts.back()->runtime_warning(message);
    return true;
}
