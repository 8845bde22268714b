#pragma once
// Test support for contexts, tasks, reports and std.thread: a logger that
// records what it receives, and small builders for code blocks and source
// units.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/log.h"
#include "runtime/ptr.h"
#include "runtime/namespace.h"
#include "runtime/value.h"
#include "vm/context.h"
#include "vm/opcode.h"
#include "vm/program_block.h"
#include "vm/symbol_table.h"

namespace v1test {

// Records every text per level. Thread-safe (workers log too).
class capture_log : public lum_log_base {
public:
    capture_log() { level_mask.store(2 | 4 | 8 | 16 | 32 | 1); }
    void hook_warning(const std::string& t) override { add(warnings, t); }
    void hook_error(const std::string& t) override { add(errors, t); }
    void hook_notice(const std::string& t) override { add(notices, t); }

    std::vector<std::string> take_errors() { return take(errors); }
    std::vector<std::string> take_warnings() { return take(warnings); }
    bool has_notice_prefix(const std::string& prefix) {
        std::lock_guard<std::mutex> l(m);
        for (const auto& n : notices)
            if (n.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> l(m);
        errors.clear();
        warnings.clear();
        notices.clear();
    }

private:
    void add(std::vector<std::string>& v, const std::string& t) {
        std::lock_guard<std::mutex> l(m);
        v.push_back(t);
    }
    std::vector<std::string> take(std::vector<std::string>& v) {
        std::lock_guard<std::mutex> l(m);
        return std::exchange(v, {});
    }
    std::mutex m;
    std::vector<std::string> errors, warnings, notices;
};

inline std::string rule() { return std::string(60, '-'); }

// A code block of `size` bytes of opcode 19-free filler (never run).
inline lumptr_strong<lum_program_block> make_block(uint8_t kind, uint32_t code_size, uint32_t slots = 0,
                                                   uint8_t flags = 0) {
    lumptr_strong<lum_program_block> b(new lum_program_block());
    b->kind = kind;
    b->flags = flags;
    b->code.assign(code_size, 14);  // "none" opcodes
    b->num_slots = slots;
    b->slot_flags.assign(slots, 0);
    return b;
}

inline lum_program_block_symbol_table* table_of(lum_program_block* b) {
    if (!b->symbols) b->symbols = lumptr_strong<lum_program_block_symbol_table>(new lum_program_block_symbol_table());
    return b->symbols.get();
}

// Appends instructions to a block's code.
class emitter {
public:
    explicit emitter(lum_program_block* block) : b_(block) {}
    // Each appends one instruction; calls chain.
    emitter& op(uint8_t opcode) {
        at_ = b_->code.size();
        b_->code.resize(at_ + lum_opcode_size(opcode), 0);
        b_->code[at_] = opcode;
        return *this;
    }
    emitter& a(uint8_t opcode, uint8_t value) {
        op(opcode).b_->code[at_ + lum_operand::A] = value;
        return *this;
    }
    emitter& b(uint8_t opcode, uint32_t value) {
        lum_write_operand<uint32_t>(op(opcode).b_->code.data() + at_, lum_operand::B, value);
        return *this;
    }
    emitter& d(uint8_t opcode, uint64_t value) {
        lum_write_operand<uint64_t>(op(opcode).b_->code.data() + at_, lum_operand::D, value);
        return *this;
    }
    emitter& ldi(int64_t v) { return d(LUM_OP_LDI, static_cast<uint64_t>(v)); }
    // Calls native record `def` with `args` loaded by the callables, into a
    // pushed place that is popped afterwards unless `keep`.
    emitter& ncall(const lum_function_def* def, std::vector<std::function<void(emitter&)>> args, bool keep = false) {
        op(LUM_OP_PUSH);
        b(LUM_OP_FRAME, static_cast<uint32_t>(args.size()));
        for (size_t i = 0; i < args.size(); ++i) {
            args[i](*this);
            b(LUM_OP_FARG, static_cast<uint32_t>(i));
        }
        d(LUM_OP_NCALL, reinterpret_cast<uint64_t>(def));
        if (!keep) op(LUM_OP_POP);
        return *this;
    }

private:
    lum_program_block* b_;
    size_t at_ = 0;  // offset of the last instruction
};

// A program built by hand: blocks (the first top-level one is the root) and
// native records whose addresses the code carries.
class program {
public:
    explicit program(const std::string& name = "test") : prog(new lum_program()) { prog->name = name; }

    lum_program_block* block(uint8_t kind, uint32_t slots, lum_program_block* parent = nullptr, uint32_t params = 0,
                             uint8_t flags = 0) {
        lumptr_strong<lum_program_block> b(new lum_program_block());
        b->kind = kind;
        b->flags = flags;
        b->num_slots = slots;
        b->slot_flags.assign(slots, 0);
        b->num_params = params;
        b->first_default = params;
        b->strings = prog->strings;
        b->program = lumptr_weak<lum_program>(prog.get());
        if (parent != nullptr) parent->children.push_back(b);
        if (!prog->root && kind == LUM_BLOCK_TOP) prog->root = b;
        prog->blocks.push_back(b);
        return b.get();
    }

    lum_function_def* native(std::string_view name,
                             std::function<lumvar_shared(lum_vm_context&, std::vector<lumvar_shared>&)> fn,
                             uint32_t min_args = 0, uint32_t max_args = 16) {
        lumptr_strong<lum_function_def> def(new lum_function_def());
        def->callable = std::move(fn);
        def->name = name;
        def->min_args = min_args;
        def->max_args = max_args;
        def->flags = LUM_FUNCTION_RESOLVE_ARGS;
        prog->natives.push_back(def);
        return def.get();
    }

    lumptr_strong<lum_program> prog;
};

// Integer payload of a value (none: -1000).
inline int64_t as_int(const lumvar_shared& v) {
    if (!v) return -1000;
    if (v->type == LUMVAR_INT) return v->payload.i;
    if (v->type == LUMVAR_NONE) return -1000;
    return v->int_value();
}

}  // namespace v1test
