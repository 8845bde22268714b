// The checker driver and the declarations: structs and cstructs, constants,
// entry kernels and inline helpers.
#include <algorithm>
#include <string>

#include "kernel/compiler/check_stmts.h"
#include "kernel/compiler/checker.h"
#include "kernel/compiler/emit.h"
#include "kernel/compiler/finalize.h"
#include "kernel/compiler/type_name.h"
#include "kernel/exec/bytecode.h"

namespace {

constexpr uint64_t kMaxStructSize = 0x7FFFFFFF;

lumk_reduce_op reduce_op_from_text(const std::string& s) {
    if (s == "+") return LUMK_REDUCE_ADD;
    if (s == "min") return LUMK_REDUCE_MIN;
    if (s == "max") return LUMK_REDUCE_MAX;
    if (s == "&") return LUMK_REDUCE_AND;
    if (s == "|") return LUMK_REDUCE_OR;
    if (s == "^") return LUMK_REDUCE_XOR;
    return LUMK_REDUCE_NONE;
}

// Resets the per-program emission state and makes `p` the current program.
void begin_program(lumk_checker& ck, std::shared_ptr<lumk_program> p) {
    ck.prog = std::move(p);
    ck.tok = nullptr;
    ck.unchecked = 0;
    ck.reg_count = LUMK_FIRST_REGISTER;
    ck.scopes.clear();
    ck.func_scope = 0;
    ck.frame_offset = 0;
    ck.frame_stack.clear();
    ck.labels.clear();
    ck.fixups.clear();
    ck.loops.clear();
    ck.ret = lumk_return_context{};
    ck.expansions.clear();
    ck.expansion_count = 0;
    ck.depth = 0;
    ck.reduce_text.clear();
    ck.const_index.clear();
    lumk_program& prog = *ck.prog;
    // Room for a typical kernel: the code and its two tables grow together.
    prog.code.reserve(128);
    prog.lines.reserve(128);
    prog.file_indexes.reserve(128);
    lumk_set_fixed_registers(prog);
}

// A struct or constant name: no reserved word, no type name, not taken.
void check_decl_name(lumk_checker& ck, const lumk_token& name) {
    const std::string& n = name.text;
    if (lumk_is_reserved_word(n)) lumk_error_at(ck, name, "'" + n + "' is a reserved word");
    lumk_prim vp;
    uint8_t vn;
    if (lumk_prim_from_name(n) != LUMK_PRIM_NONE || lumk_parse_vector_type(n, vp, vn))
        lumk_error_at(ck, name, "'" + n + "' is the name of a type");
    if (lumk_find_declared_struct(ck, n) >= 0 || ck.constants.count(n))
        lumk_error_at(ck, name, "'" + n + "' is already declared");
}

void check_struct_decl(lumk_checker& ck, const lumk_struct_decl& sd, uint32_t index) {
    lumk_token_scope scope(ck, sd.name);
    check_decl_name(ck, sd.name);
    const std::string& sname = sd.name.text;
    std::vector<lumk_struct_field> fields;
    uint64_t offset = 0;
    uint32_t align = 1;
    for (const lumk_field_decl& fd : sd.fields) {
        const lumk_type_syntax& ts = fd.type;
        if (ts.is_pointer) lumk_error_at(ck, ts.token, "struct fields cannot be pointers");
        const lumk_prim p = lumk_prim_from_name(ts.name);
        if (p == LUMK_PRIM_BOOL) lumk_error_at(ck, ts.token, "bool fields are not supported (use u8)");
        if (p == LUMK_PRIM_VOID) lumk_error_at(ck, ts.token, "fields cannot be void");
        lumk_struct_field f;
        f.name = fd.name.text;
        uint32_t falign;
        if (p != LUMK_PRIM_NONE) {
            f.prim = p;
            f.elem_size = lumk_prim_size(p);
            falign = f.elem_size;
        } else {
            const int32_t si = lumk_lookup_type(ck, ts.name);
            if (si < 0) lumk_error_at(ck, ts.token, "unknown type '" + ts.name + "'");
            f.prim = LUMK_PRIM_STRUCT;
            f.struct_index = si;
            f.elem_size = ck.unit.structs[static_cast<size_t>(si)].size;
            falign = ck.struct_align[static_cast<size_t>(si)];
        }
        if (fd.array_size) f.array_count = lumk_eval_array_size(ck, *fd.array_size);
        for (const lumk_struct_field& other : fields)
            if (other.name == f.name)
                lumk_error_at(ck, fd.name, "field '" + f.name + "' is already declared in '" + sname + "'");
        if (sd.c_layout) offset = (offset + falign - 1) / falign * falign;
        align = std::max(align, falign);
        f.offset = static_cast<uint32_t>(std::min<uint64_t>(offset, kMaxStructSize));
        offset += static_cast<uint64_t>(f.array_count ? f.array_count : 1) * f.elem_size;
        if (offset > kMaxStructSize) lumk_error_at(ck, sd.name, "struct '" + sname + "' is too large");
        fields.push_back(std::move(f));
    }
    if (fields.empty()) lumk_error_at(ck, sd.name, "struct '" + sname + "' has no fields");
    if (sd.c_layout) offset = (offset + align - 1) / align * align;
    if (offset > kMaxStructSize) lumk_error_at(ck, sd.name, "struct '" + sname + "' is too large");
    lumk_struct_layout& layout = ck.unit.structs[index];
    layout.fields = std::move(fields);
    layout.size = static_cast<uint32_t>(offset);
    ck.struct_align[index] = align;
    ck.structs_ready = index + 1;
}

void check_const_decl(lumk_checker& ck, const lumk_const_decl& cd) {
    lumk_token_scope scope(ck, cd.name);
    check_decl_name(ck, cd.name);
    const lumk_prim p = lumk_prim_from_name(cd.type.name);
    if (cd.type.is_pointer || p == LUMK_PRIM_NONE || p == LUMK_PRIM_VOID)
        lumk_error_at(ck, cd.type.token, "constants must have a scalar type");
    const lumk_type t{p};
    const lumk_operand v = lumk_eval_const_expr(ck, *cd.value);
    const lumk_operand c = lumk_convert_implicit(ck, v, t, cd.value->token);
    if (c.kind != LUMK_OPND_CONST) lumk_error_at(ck, cd.value->token, "not a constant expression");
    ck.constants[cd.name.text] = ck.unit.constants.size();
    ck.unit.constants.push_back(lumk_unit_const{cd.name.text, p, c.bits});
}

// Result type and reduce clause of an entry kernel; fills the program's
// reductions and accumulator names.
void check_reductions(lumk_checker& ck, const lumk_kernel_decl& kd, const lumk_type& rt) {
    lumk_program& p = *ck.prog;
    const lumk_reduce_clause& rc = kd.reduce;
    if (rt.prim == LUMK_PRIM_VOID) {
        if (rc.present) {
            if (!rc.fields.empty())
                lumk_error_at(ck, rc.token, "reduce(field: op) needs a struct or vector result");
            lumk_error_at(ck, rc.op_token, "'" + rc.op + "' cannot reduce void");
        }
        return;
    }
    if (!rc.present)
        lumk_error_at(ck, kd.result.token, "a kernel with a result needs a reduction ('-> T reduce(+)')");
    const std::string tt = lumk_type_text(ck, rt);
    if (rc.fields.empty()) {
        const lumk_reduce_op op = reduce_op_from_text(rc.op);
        if (rt.prim == LUMK_PRIM_STRUCT || !lumk_reduce_allowed(op, rt.prim))
            lumk_error_at(ck, rc.op_token, "'" + rc.op + "' cannot reduce " + tt);
        p.reductions.push_back(lumk_reduction{p.acc, rt.prim, op, 0, ""});
        ck.ret.reduce_op = op;
        ck.reduce_text = rc.op;
        return;
    }
    if (rt.prim != LUMK_PRIM_STRUCT) lumk_error_at(ck, rc.token, "reduce(field: op) needs a struct or vector result");
    const lumk_struct_layout& s = ck.unit.structs[static_cast<size_t>(rt.struct_index)];
    for (const lumk_field_reduce& fr : rc.fields) {
        const std::string& fname = fr.field.text;
        const lumk_struct_field* f = nullptr;
        for (const lumk_struct_field& sf : s.fields)
            if (sf.name == fname) f = &sf;
        if (!f) lumk_error_at(ck, fr.field, "struct '" + s.name + "' has no field '" + fname + "'");
        for (const lumk_reduction& r : p.reductions)
            if (r.field == fname) lumk_error_at(ck, fr.field, "field '" + fname + "' is reduced twice");
        const lumk_reduce_op op = reduce_op_from_text(fr.op);
        lumk_type ft;
        ft.prim = f->prim;
        ft.struct_index = f->prim == LUMK_PRIM_STRUCT ? f->struct_index : -1;
        std::string ftext = lumk_type_text(ck, ft);
        if (f->array_count) ftext += "[" + std::to_string(f->array_count) + "]";
        if (f->array_count || f->prim == LUMK_PRIM_STRUCT || !lumk_reduce_allowed(op, f->prim))
            lumk_error_at(ck, fr.op_token, "'" + fr.op + "' cannot reduce " + ftext);
        const uint16_t reg = p.reductions.empty() ? p.acc : lumk_new_register(ck);
        p.reductions.push_back(lumk_reduction{reg, f->prim, op, f->offset, fname});
        if (!ck.reduce_text.empty()) ck.reduce_text += ", ";
        ck.reduce_text += fname + ": " + fr.op;
    }
}

void compile_entry_kernel(lumk_checker& ck, const lumk_kernel_decl& kd) {
    auto prog = std::make_shared<lumk_program>();
    begin_program(ck, prog);
    ck.decl_tok = &kd.token;
    lumk_program& p = *prog;
    lumk_token_scope scope(ck, kd.name_token);
    if (lumk_is_reserved_word(kd.name)) lumk_error_at(ck, kd.name_token, "'" + kd.name + "' is a reserved word");
    p.name = kd.name;
    p.file = kd.token.file < ck.sources.file_names.size() ? ck.sources.file_names[kd.token.file] : std::string();
    p.line = kd.token.line;
    p.file_names = ck.sources.file_names;

    lumk_enter_scope(ck);
    uint32_t slots = 0;
    for (const lumk_param_decl& pd : kd.params) {
        const lumk_type t = lumk_check_declared_type(ck, pd.type, "parameters");
        if (t.prim == LUMK_PRIM_STRUCT && !t.is_pointer) {
            const std::string sn = ck.unit.structs[static_cast<size_t>(t.struct_index)].name;
            lumk_error_at(ck, pd.type.token,
                          "entry kernel parameters of type " + sn + " must be pointers ('const " + sn + "* name')");
        }
        lumk_check_local_name(ck, pd.name);
        lumk_param prm;
        prm.name = pd.name.text;
        prm.type = t;
        lumk_type elem = t;
        elem.is_pointer = 0;
        elem.is_const = 0;
        prm.size = lumk_type_size(ck, elem);
        prm.type_text = lumk_type_text(ck, t);
        lumk_local l;
        l.name = pd.name.text;
        l.type = t;
        l.read_only = 1;
        if (t.is_pointer) {
            prm.slot = static_cast<uint16_t>(slots++);
            l.reg = LUMK_NO_INDEX;
            l.slot = prm.slot;
        } else {
            prm.reg = lumk_new_register(ck);
            l.reg = prm.reg;
            l.type.is_const = 0;
        }
        p.params.push_back(std::move(prm));
        ck.scopes.back().push_back(std::move(l));
    }
    p.ptr_count = slots;
    p.frame_slot = slots;

    lumk_type rt = lumk_check_result_type(ck, kd);
    rt.is_const = 0;
    p.result_type = rt;
    ck.ret.is_entry = 1;
    ck.ret.result_type = rt;
    check_reductions(ck, kd, rt);
    // The result as declared: the type and, for a reducing kernel, its clause.
    p.result_type_text = lumk_type_text(ck, rt);
    if (!p.reductions.empty()) p.result_type_text += " reduce(" + ck.reduce_text + ")";

    lumk_check_statement(ck, *kd.body);
    {
        lumk_token_scope end_scope(ck, kd.body->token);
        lumk_emit(ck, LUMK_END, 0, 0, 0, 0);
    }
    lumk_leave_scope(ck);

    uint32_t names = 7;
    for (const lumk_reduction& r : p.reductions) names = std::max<uint32_t>(names, r.reg + 1u);
    p.reg_names.assign(names, std::string());
    p.reg_names[p.gid] = "gid";
    p.reg_names[p.gsize] = "gsize";
    p.reg_names[p.gid_x] = "gid_x";
    p.reg_names[p.gid_y] = "gid_y";
    p.reg_names[p.gsize_x] = "gsize_x";
    p.reg_names[p.gsize_y] = "gsize_y";
    for (const lumk_reduction& r : p.reductions) p.reg_names[r.reg] = r.field.empty() ? "acc" : "acc." + r.field;

    lumk_finalize_program(ck, p);
    ck.unit.programs.push_back(prog);
    ck.decl_tok = nullptr;
}

// Signature of a helper, checked once at its declaration (the body is checked
// at every expansion).
void check_helper_signature(lumk_checker& ck, const lumk_kernel_decl& kd) {
    lumk_token_scope scope(ck, kd.name_token);
    if (lumk_is_reserved_word(kd.name)) lumk_error_at(ck, kd.name_token, "'" + kd.name + "' is a reserved word");
    for (const lumk_param_decl& pd : kd.params) lumk_check_declared_type(ck, pd.type, "parameters");
    lumk_check_result_type(ck, kd);
    if (kd.reduce.present) lumk_error_at(ck, kd.reduce.token, "only entry kernels can have a reduction");
}

}  // namespace

lumk_checker::lumk_checker(const lumk_source_tables& src, const std::vector<lumk_decl>& d, lumk_compiled_unit& u)
    : sources(src), decls(d), unit(u) {
    fold_prog = std::make_shared<lumk_program>();
    fold_prog->name = "constant expression";
    fold_prog->code = {lumk_insn{LUMK_NOP, 0, 0, 0, 0}, lumk_insn{LUMK_END, 0, 0, 0, 0}};
    fold_prog->gid = fold_prog->gsize = fold_prog->acc = 3;
    fold_prog->gid_x = fold_prog->gid_y = fold_prog->gsize_x = fold_prog->gsize_y = 3;
    fold_prog->reg_count = 4;
}

void lumk_check_unit(lumk_checker& ck) {
    // Declarations are checked against a scratch program: constant
    // expressions must not emit anything into it.
    begin_program(ck, std::make_shared<lumk_program>());

    // Declared structs take the first indexes; vector types follow in order of first use.
    for (const lumk_decl& d : ck.decls) {
        if (d.kind != lumk_decl_kind::struct_decl) continue;
        lumk_struct_layout layout;
        layout.name = d.struct_decl->name.text;
        const uint16_t fi = d.struct_decl->token.file;
        layout.file = fi < ck.sources.file_names.size() ? ck.sources.file_names[fi] : std::string();
        ck.unit.structs.push_back(std::move(layout));
        ck.struct_align.push_back(1);
    }
    ck.declared_structs = static_cast<uint32_t>(ck.unit.structs.size());

    // Kernel names are known before any body is checked (helpers may be called
    // before their declaration).
    for (const lumk_decl& d : ck.decls) {
        if (d.kind != lumk_decl_kind::kernel_decl) continue;
        const lumk_kernel_decl& kd = *d.kernel_decl;
        if (ck.kernels.count(kd.name))
            lumk_error_at(ck, kd.name_token, "kernel '" + kd.name + "' is already declared");
        ck.kernels[kd.name] = &kd;
    }

    uint32_t struct_index = 0;
    for (const lumk_decl& d : ck.decls) {
        if (d.kind == lumk_decl_kind::struct_decl)
            check_struct_decl(ck, *d.struct_decl, struct_index++);
        else if (d.kind == lumk_decl_kind::const_decl)
            check_const_decl(ck, *d.const_decl);
    }
    // Kernels in source order: a helper's signature is checked where it is
    // declared (its body at every call), an entry kernel is compiled.
    for (const lumk_decl& d : ck.decls) {
        if (d.kind != lumk_decl_kind::kernel_decl) continue;
        const lumk_kernel_decl& kd = *d.kernel_decl;
        if (kd.is_inline)
            check_helper_signature(ck, kd);
        else if (!kd.imported)
            compile_entry_kernel(ck, kd);
    }
    ck.prog.reset();
}

// ---- Shared helpers ---------------------------------------------------------

void lumk_error_at(const lumk_checker& ck, const lumk_token& tok, std::string message) {
    lumk_throw_at(ck.sources, tok, std::move(message));
}

void lumk_error_here(const lumk_checker& ck, std::string message) {
    if (ck.tok) lumk_throw_at(ck.sources, *ck.tok, std::move(message));
    if (ck.decl_tok) lumk_throw_at(ck.sources, *ck.decl_tok, std::move(message));
    const lumk_source_tables& src = ck.sources;
    throw kerror(src.file_names.empty() ? std::string() : src.file_names.front(), 1, 1, std::move(message),
                 src.lines.empty() ? std::string() : src.lines.front());
}

void lumk_internal_error(const lumk_checker& ck, const char* what) {
    lumk_error_here(ck, std::string("internal compile error: ") + what);
}

std::string lumk_describe_operand(const lumk_checker& ck, const lumk_operand& op) {
    if (op.kind == LUMK_OPND_CONST && op.lit == LUMK_LIT_INT) return "integer literal";
    if (op.kind == LUMK_OPND_CONST && op.lit == LUMK_LIT_FLOAT) return "float literal";
    std::string s = lumk_type_name(ck.unit.structs, op.type);
    if (op.is_location() && op.array_count) s += "[" + std::to_string(op.array_count) + "]";
    if (op.kind == LUMK_OPND_PTR) s += "*";
    return s;
}

std::string lumk_type_text(const lumk_checker& ck, const lumk_type& type) {
    return lumk_type_name(ck.unit.structs, type);
}

int32_t lumk_find_declared_struct(const lumk_checker& ck, std::string_view name) {
    for (uint32_t i = 0; i < ck.structs_ready; ++i)
        if (ck.unit.structs[i].name == name) return static_cast<int32_t>(i);
    return -1;
}

int32_t lumk_lookup_type(lumk_checker& ck, std::string_view name) {
    const int32_t d = lumk_find_declared_struct(ck, name);
    if (d >= 0) return d;
    lumk_prim elem;
    uint8_t lanes;
    if (!lumk_parse_vector_type(name, elem, lanes)) return -1;
    for (size_t i = ck.declared_structs; i < ck.unit.structs.size(); ++i)
        if (ck.unit.structs[i].name == name) return static_cast<int32_t>(i);
    static const char* const lane_names[4] = {"x", "y", "z", "w"};
    lumk_struct_layout s;
    s.name = std::string(name);
    s.file = "<builtin>";
    const uint32_t size = lumk_prim_size(elem);
    for (uint32_t i = 0; i < lanes; ++i) {
        lumk_struct_field f;
        f.name = lane_names[i];
        f.prim = elem;
        f.offset = i * size;
        f.elem_size = size;
        s.fields.push_back(std::move(f));
    }
    s.size = lanes * size;
    s.lane_prim = elem;
    s.lane_count = lanes;
    ck.unit.structs.push_back(std::move(s));
    ck.struct_align.push_back(size);
    return static_cast<int32_t>(ck.unit.structs.size() - 1);
}

uint32_t lumk_type_size(const lumk_checker& ck, const lumk_type& type) {
    if (type.prim == LUMK_PRIM_STRUCT && type.struct_index >= 0 &&
        static_cast<size_t>(type.struct_index) < ck.unit.structs.size())
        return ck.unit.structs[static_cast<size_t>(type.struct_index)].size;
    return lumk_prim_size(type.prim);
}

namespace {

// Sets `t` to the scalar `p` (the scalar ts names) or, when ts names no scalar,
// to the struct or vector type it names ("unknown type '" name "'").
void resolve_named_type(lumk_checker& ck, const lumk_type_syntax& ts, lumk_prim p, lumk_type& t) {
    if (p != LUMK_PRIM_NONE) {
        t.prim = p;
        return;
    }
    const int32_t si = lumk_lookup_type(ck, ts.name);
    if (si < 0) lumk_error_at(ck, ts.token, "unknown type '" + ts.name + "'");
    t.prim = LUMK_PRIM_STRUCT;
    t.struct_index = si;
}

}  // namespace

lumk_type lumk_check_result_type(lumk_checker& ck, const lumk_kernel_decl& decl) {
    lumk_type t;
    if (!decl.has_result) return t;
    const lumk_type_syntax& ts = decl.result;
    if (ts.is_pointer) lumk_error_at(ck, ts.token, "kernels cannot return pointers");
    resolve_named_type(ck, ts, lumk_prim_from_name(ts.name), t);
    return t;
}

lumk_type lumk_check_declared_type(lumk_checker& ck, const lumk_type_syntax& ts, std::string_view what) {
    const lumk_prim p = lumk_prim_from_name(ts.name);
    if (p == LUMK_PRIM_VOID) lumk_error_at(ck, ts.token, std::string(what) + " cannot be void");
    if (p == LUMK_PRIM_BOOL && ts.is_pointer) lumk_error_at(ck, ts.token, "bool* is not supported (use u8*)");
    lumk_type t;
    t.is_pointer = ts.is_pointer;
    t.is_const = ts.is_const;
    resolve_named_type(ck, ts, p, t);
    return t;
}

lumk_operand lumk_eval_const_expr(lumk_checker& ck, const lumk_expr& expr) {
    const size_t before = ck.prog->code.size();
    const lumk_operand v = lumk_check_expr(ck, expr);
    if (v.kind != LUMK_OPND_CONST || ck.prog->code.size() != before)
        lumk_error_at(ck, expr.token, "not a constant expression");
    return v;
}

uint32_t lumk_eval_array_size(lumk_checker& ck, const lumk_expr& size) {
    const lumk_operand v = lumk_eval_const_expr(ck, size);
    bool ok = false;
    uint64_t n = 0;
    if (v.lit == LUMK_LIT_INT) {
        ok = !v.big && v.ival >= 1 && v.ival <= static_cast<int64_t>(LUMK_MAX_FRAME);
        n = static_cast<uint64_t>(v.ival);
    } else if (v.lit == LUMK_LIT_TYPED && lumk_prim_is_int(v.type.prim)) {
        const bool neg = lumk_prim_is_signed(v.type.prim) && static_cast<int64_t>(v.bits) < 0;
        ok = !neg && v.bits >= 1 && v.bits <= LUMK_MAX_FRAME;
        n = v.bits;
    }
    if (!ok) lumk_error_at(ck, size.token, "array size must be a positive integer constant");
    return static_cast<uint32_t>(n);
}

uint16_t lumk_new_register(lumk_checker& ck) {
    if (ck.reg_count >= 32767) lumk_error_here(ck, "kernel is too large (too many registers)");
    return ck.reg_count++;
}

uint16_t lumk_add_constant(lumk_checker& ck, lumk_prim prim, uint64_t bits) {
    // Most pools hold a few dozen entries: a scan finds them fastest. Larger
    // pools are indexed by (code, bits) once they grow past the scan limit.
    constexpr size_t scan_limit = 32;
    std::vector<lumk_const>& pool = ck.prog->constants;
    const auto key = std::make_pair(static_cast<uint8_t>(prim), bits);
    if (pool.size() <= scan_limit) {
        for (size_t i = 0; i < pool.size(); ++i)
            if (pool[i].bits == bits && pool[i].prim == prim) return static_cast<uint16_t>(LUMK_CONST_OPERAND + i);
    } else {
        if (ck.const_index.empty())
            for (size_t i = 0; i < pool.size(); ++i)
                ck.const_index.emplace(std::make_pair(static_cast<uint8_t>(pool[i].prim), pool[i].bits), static_cast<uint32_t>(i));
        auto it = ck.const_index.find(key);
        if (it != ck.const_index.end()) return static_cast<uint16_t>(LUMK_CONST_OPERAND + it->second);
    }
    if (pool.size() >= LUMK_MAX_CONSTANTS) lumk_error_here(ck, "kernel is too large (too many constants)");
    const uint32_t index = static_cast<uint32_t>(pool.size());
    pool.push_back(lumk_const{0, prim, bits});
    if (!ck.const_index.empty()) ck.const_index.emplace(key, index);
    return static_cast<uint16_t>(LUMK_CONST_OPERAND + index);
}

bool lumk_reduce_allowed(lumk_reduce_op op, lumk_prim prim) {
    switch (prim) {
        case LUMK_PRIM_I32:
        case LUMK_PRIM_U32:
        case LUMK_PRIM_I64:
        case LUMK_PRIM_U64: return op >= LUMK_REDUCE_ADD && op <= LUMK_REDUCE_XOR;
        case LUMK_PRIM_F32:
        case LUMK_PRIM_F64: return op >= LUMK_REDUCE_ADD && op <= LUMK_REDUCE_MAX;
        case LUMK_PRIM_BOOL: return op >= LUMK_REDUCE_AND && op <= LUMK_REDUCE_XOR;
        default: return false;
    }
}

uint16_t lumk_reduce_insn(lumk_reduce_op op, lumk_prim prim) {
    if (!lumk_reduce_allowed(op, prim)) return 0;
    const bool is_signed = prim == LUMK_PRIM_I32 || prim == LUMK_PRIM_I64;
    const bool is_unsigned = prim == LUMK_PRIM_U32 || prim == LUMK_PRIM_U64;
    switch (op) {
        case LUMK_REDUCE_ADD: return lumk_op_arith(LUMK_ADD_I32, prim);
        case LUMK_REDUCE_MIN:
            return is_signed ? LUMK_MIN_S : is_unsigned ? LUMK_MIN_U : prim == LUMK_PRIM_F32 ? LUMK_MIN_F32 : LUMK_MIN_F64;
        case LUMK_REDUCE_MAX:
            return is_signed ? LUMK_MAX_S : is_unsigned ? LUMK_MAX_U : prim == LUMK_PRIM_F32 ? LUMK_MAX_F32 : LUMK_MAX_F64;
        case LUMK_REDUCE_AND: return LUMK_AND_X;
        case LUMK_REDUCE_OR: return LUMK_OR_X;
        case LUMK_REDUCE_XOR: return LUMK_XOR_X;
        default: return 0;
    }
}
