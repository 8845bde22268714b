// Helpers of the checker and optimizer tests: compile kernel source into a
// unit (or an error), and run a program with the scalar interpreter over
// buffers the way a lane runner does (prologue once, then the work items on
// the same registers).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/compiler/checker.h"
#include "kernel/compiler/compile.h"
#include "kernel/compiler/kerror.h"
#include "kernel/compiler/lexer.h"
#include "kernel/compiler/parser.h"
#include "kernel/compiler/program.h"
#include "kernel/exec/reduce.h"
#include "kernel/exec/scalar.h"

namespace ktest {

struct compiled {
    std::shared_ptr<lumk_compiled_unit> unit;
    kerror err;
    bool ok() const { return unit != nullptr; }
};

// Lexes, parses and checks one source (named "t.k") with or without the optimizer.
inline compiled compile(const std::string& src, bool optimize = true) {
    compiled c;
    auto unit = std::make_shared<lumk_compiled_unit>();
    unit->sources.push_back(lumk_source{src, "t.k"});
    try {
        lumk_lexer lexer;
        std::vector<lumk_decl> decls = lumk_parse_sources(lexer, unit->sources);
        lumk_checker ck(lexer.sources, decls, *unit);
        ck.optimize = optimize ? 1 : 0;
        lumk_check_unit(ck);
        c.unit = unit;
    } catch (const kerror& e) {
        c.err = e;
    }
    return c;
}

// "line:column: message" of a failed compile, or "ok".
inline std::string error_of(const std::string& src) {
    compiled c = compile(src);
    if (c.ok()) return "ok";
    return std::to_string(c.err.line) + ":" + std::to_string(c.err.column) + ": " + c.err.message;
}

// "line:column: " of the nth occurrence of `needle` in `src` (1-based, bytes).
inline std::string at(const std::string& src, const std::string& needle, int nth = 0, size_t from = 0) {
    size_t pos = src.find(needle, from);
    for (int i = 0; i < nth && pos != std::string::npos; ++i) pos = src.find(needle, pos + 1);
    if (pos == std::string::npos) return "<" + needle + " not found>";
    uint32_t line = 1, col = 1;
    for (size_t i = 0; i < pos; ++i) {
        if (src[i] == '\n') {
            ++line;
            col = 1;
        } else {
            ++col;
        }
    }
    return std::to_string(line) + ":" + std::to_string(col) + ": ";
}

// Expects compiling `src` to fail with `message` at the nth occurrence of
// `needle` after the first occurrence of `from`.
#define EXPECT_COMPILE_ERROR(src, from, needle, message)                                      \
    do {                                                                                      \
        const std::string src_ = (src);                                                       \
        EXPECT_EQ(::ktest::error_of(src_), ::ktest::at(src_, needle, 0, src_.find(from)) + (message)) << src_; \
    } while (0)

// Mnemonics of a program's code.
inline std::vector<std::string> mnemonics(const lumk_program& p) {
    std::vector<std::string> v;
    for (const lumk_insn& i : p.code) v.push_back(lumk_op_name(i.op));
    return v;
}

inline int count_op(const lumk_program& p, uint16_t op) {
    int n = 0;
    for (const lumk_insn& i : p.code) n += i.op == op;
    return n;
}

// Program of an entry kernel.
inline const lumk_program& program(const compiled& c, const std::string& name) {
    for (const auto& p : c.unit->programs)
        if (p->name == name) return *p;
    ADD_FAILURE() << "no kernel " << name;
    return *c.unit->programs.at(0);
}

// One pointer argument: a byte buffer.
struct buffer {
    std::vector<uint8_t> bytes;
    buffer(std::vector<uint8_t> b = {}) : bytes(std::move(b)) {}  // NOLINT: implicit on purpose
    bool operator==(const buffer&) const = default;
    template <class T>
    static buffer of(const std::vector<T>& v) {
        buffer b;
        b.bytes.resize(v.size() * sizeof(T));
        if (!v.empty()) std::memcpy(b.bytes.data(), v.data(), b.bytes.size());
        return b;
    }
    template <class T>
    std::vector<T> as() const {
        std::vector<T> v(bytes.size() / sizeof(T));
        if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
        return v;
    }
};

struct run_result {
    uint8_t code = 0;
    std::string message;        // trap text when code != 0
    ktrap trap{};               // the trap record when code != 0
    uint32_t line = 0;          // source line of the trapping instruction
    std::vector<uint64_t> acc;  // accumulator of each reduction, in order
    uint64_t acc0() const { return acc.empty() ? 0 : acc[0]; }
};

// The register file and pointer slots of one run of `p` over n work items
// (2-D when width > 0: gsize_x = width, gsize_y = n / width): constants,
// sizes and reduction identities set, the buffers bound to the pointer
// parameters in order and `values` (raw register bits) to the value
// parameters in order, and the private frame when the program has one.
struct bound_args {
    std::vector<kreg> regs;
    std::vector<kptr> ptrs;
    std::vector<uint8_t> frame;
};
inline bound_args bind_args(const lumk_program& p, uint64_t n, const std::vector<buffer*>& bufs,
                            std::vector<uint64_t> values = {}, uint64_t width = 0) {
    bound_args a;
    std::vector<kreg>& regs = a.regs;
    regs.resize(p.reg_count + 1);
    for (kreg& r : regs) r.u = 0;
    for (const lumk_const& c : p.constants) regs.at(c.reg).u = c.bits;
    regs[p.gsize].u = n;
    regs[p.gsize_x].u = width ? width : n;
    regs[p.gsize_y].u = width ? n / width : 1;
    for (const lumk_reduction& r : p.reductions) regs.at(r.reg).u = lumk_reduce_identity(r.op, r.prim);
    a.ptrs.resize(p.ptr_count + 1);
    a.frame.assign(p.frame_bytes + 8, 0);
    size_t bi = 0, vi = 0;
    for (const lumk_param& prm : p.params) {
        if (prm.type.is_pointer) {
            buffer* b = bufs.at(bi++);
            kptr& k = a.ptrs.at(prm.slot);
            k.base = b->bytes.data();
            k.stride = prm.size;
            k.bytes = b->bytes.size();
            k.count = prm.size ? b->bytes.size() / prm.size : 0;
        } else {
            regs.at(prm.reg).u = values.at(vi++);
        }
    }
    if (p.frame_bytes) a.ptrs.at(p.frame_slot) = kptr{a.frame.data(), 1, p.frame_bytes, p.frame_bytes};
    return a;
}

// Runs `p` over n work items (2-D when width > 0: gsize_x = width,
// gsize_y = n / width) with the buffers bound to the pointer parameters in
// order and `values` (raw register bits) to the value parameters in order.
inline run_result run(const lumk_program& p, uint64_t n, std::vector<buffer*> bufs = {},
                      std::vector<uint64_t> values = {}, uint64_t width = 0) {
    bound_args a = bind_args(p, n, bufs, std::move(values), width);
    std::vector<kreg>& regs = a.regs;
    std::vector<kptr>& ptrs = a.ptrs;
    run_result rr;
    ktrap trap{};
    if (p.prologue) lumk_run_scalar(*p.prologue, regs.data(), ptrs.data(), 0, 1, nullptr, &trap, 0);
    trap = ktrap{};
    rr.code = lumk_run_scalar(p, regs.data(), ptrs.data(), 0, n, nullptr, &trap, 0);
    if (rr.code) rr.message = lumk_trap_message(p, trap);
    rr.trap = trap;
    if (rr.code && trap.pc < p.lines.size()) rr.line = p.lines[trap.pc];
    for (const lumk_reduction& r : p.reductions) rr.acc.push_back(regs.at(r.reg).u);
    return rr;
}

// A run like `run` on copies of `bufs`, which come back with the result.
struct copied_run : run_result {
    std::vector<buffer> buffers;
};
inline copied_run run_copies(const lumk_program& p, uint64_t n, std::vector<buffer> bufs,
                             std::vector<uint64_t> values = {}, uint64_t width = 0) {
    std::vector<buffer*> ptrs;
    for (buffer& b : bufs) ptrs.push_back(&b);
    copied_run r{run(p, n, ptrs, std::move(values), width), {}};
    r.buffers = std::move(bufs);
    return r;
}

// Two runs of one kernel (optimized and plain) give the same buffers,
// accumulators and trap (code, work item, values, line and text).
inline void expect_same_runs(const copied_run& a, const copied_run& b, const std::string& what = "") {
    EXPECT_EQ(a.code, b.code) << what;
    EXPECT_EQ(a.buffers, b.buffers) << what;
    EXPECT_EQ(a.acc, b.acc) << what;
    if (a.code && b.code) {
        EXPECT_EQ(a.trap.gid, b.trap.gid) << what;
        EXPECT_EQ(a.trap.value, b.trap.value) << what;
        EXPECT_EQ(a.trap.limit, b.trap.limit) << what;
        EXPECT_EQ(a.line, b.line) << what;
        EXPECT_EQ(a.message, b.message) << what;
    }
}

inline uint64_t bits_f32(float f) { return std::bit_cast<uint32_t>(f); }
inline uint64_t bits_f64(double d) { return std::bit_cast<uint64_t>(d); }
inline float f32_of(uint64_t b) { return std::bit_cast<float>(static_cast<uint32_t>(b)); }
inline double f64_of(uint64_t b) { return std::bit_cast<double>(b); }

// Evaluates a scalar expression of type T in a reducing kernel (one work item)
// and returns the raw accumulator bits; "" error means success.
inline uint64_t eval(const std::string& type, const std::string& expr, std::string* error = nullptr,
                     const std::string& prelude = "", bool optimize = true) {
    const std::string red = type == "bool" ? "reduce(|)" : "reduce(+)";
    compiled c = compile(prelude + "kernel k() -> " + type + " " + red + " { return " + expr + "; }", optimize);
    if (!c.ok()) {
        if (error) *error = std::to_string(c.err.line) + ":" + std::to_string(c.err.column) + ": " + c.err.message;
        else ADD_FAILURE() << c.err.message;
        return 0;
    }
    if (error) error->clear();
    run_result r = run(*c.unit->programs[0], 1);
    if (r.code) {
        if (error) *error = "trap: " + r.message;
        else ADD_FAILURE() << r.message;
    }
    return r.acc0();
}

}  // namespace ktest
