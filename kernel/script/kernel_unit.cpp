#include "kernel/script/kernel_unit.h"

#include "kernel/script/convert.h"
#include "kernel/script/kernel_struct.h"
#include "kernel/script/launch.h"
#include "kernel/script/native_info.h"
#include "types/json_object.h"
#include "vm/runtime_error.h"

namespace {

using args_t = std::vector<lumvar_shared>;

lumvar_shared name_list(size_t n, const auto& name_of) {
    lumvar_shared result = lumvar_shared::make();
    lum_std_json* list = result->json_object(true);
    for (size_t i = 0; i < n; ++i) list->push_keyed(lumvar_shared::from_string(name_of(i)), "");
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// std.kernel_unit

lumvar_shared lum_std_kernel_unit::get_member(std::string_view name) {
    if (find_member_index(name) >= 0) return lumobject::get_member(name);
    return lookup(name);
}

lumvar_shared lum_std_kernel_unit::lookup(std::string_view name) {
    if (!unit) return lumvar_shared::make();
    for (const auto& p : unit->programs) {
        if (p->name != name) continue;
        lumptr_strong<lum_std_kernel> k = lum_std_kernel::tables().factory();
        if (!k) return lumvar_shared::make();
        k->unit = unit;
        k->entry = p.get();
        return lumvar_shared::from_object(k.get());
    }
    for (size_t i = 0; i < unit->structs.size(); ++i) {
        if (unit->structs[i].name != name) continue;
        lumptr_strong<lum_std_kernel_struct> s = lum_std_kernel_struct::tables().factory();
        if (!s) return lumvar_shared::make();
        s->unit = unit;
        s->index = static_cast<int32_t>(i);
        return lumvar_shared::from_object(s.get());
    }
    for (const auto& c : unit->constants)
        if (c.name == name) return lum_kernel_value_from_scalar(c.prim, c.bits);
    return lum_runtime_error(true, "the kernel source has no kernel, struct or constant '" + std::string(name) + "'");
}

namespace {

using unit_t = lum_std_kernel_unit;

lumvar_shared u_get(unit_t* self, lum_vm_context&, args_t& args) {
    return self->lookup(lum_kernel_text_arg(args[0].get()));
}

lumvar_shared u_kernels(unit_t* self, lum_vm_context&, args_t&) {
    const auto* u = self->unit.get();
    return name_list(u ? u->programs.size() : 0, [u](size_t i) { return u->programs[i]->name; });
}

lumvar_shared u_structs(unit_t* self, lum_vm_context&, args_t&) {
    const auto* u = self->unit.get();
    return name_list(u ? u->structs.size() : 0, [u](size_t i) { return u->structs[i].name; });
}

lumvar_shared u_constants(unit_t* self, lum_vm_context&, args_t&) {
    const auto* u = self->unit.get();
    return name_list(u ? u->constants.size() : 0, [u](size_t i) { return u->constants[i].name; });
}

lumvar_shared u_disasm(unit_t* self, lum_vm_context&, args_t&) {
    std::string text;
    if (self->unit)
        for (const auto& p : self->unit->programs) text += lum_kernel_program_listing(*p) + "\n";
    return lumvar_shared::from_string(text);
}

}  // namespace

void lum_std_kernel_unit::script_register() {
    set_factory([] { return lumptr_strong<lum_std_kernel_unit>(new lum_std_kernel_unit()); });
    add_function("get", u_get, 1, 1, "Kernel, struct (std.kernel_struct) or constant by name (same as unit.name)")
        .arg_docs = {"name: string"};
    add_function("kernels", u_kernels, 0, 0, "Names of the entry kernels");
    add_function("structs", u_structs, 0, 0, "Names of the kernel structs");
    add_function("constants", u_constants, 0, 0, "Names of the kernel constants");
    add_function("disasm", u_disasm, 0, 0, "Bytecode of all kernels");
}

// ---------------------------------------------------------------------------
// std.kernel

std::string lum_std_kernel::to_string() { return entry != nullptr ? "kernel " + entry->name : "kernel"; }

const lumk_program* lum_std_kernel::program() {
    if (entry == nullptr || !unit) lum_runtime_error(true, "std.kernel has no compiled kernel");
    return unit ? entry : nullptr;
}

namespace {

using kernel_t = lum_std_kernel;

lumvar_shared k_disasm(kernel_t* self, lum_vm_context&, args_t&) {
    const lumk_program* p = self->program();
    return p ? lumvar_shared::from_string(lum_kernel_program_listing(*p)) : lumvar_shared::make();
}

lumvar_shared k_jit_status(kernel_t* self, lum_vm_context&, args_t&) {
    const lumk_program* p = self->program();
    return p ? lumvar_shared::from_string(lum_kernel_native_status(*p)) : lumvar_shared::make();
}

lumvar_shared k_jit_source(kernel_t* self, lum_vm_context&, args_t&) {
    const lumk_program* p = self->program();
    if (p == nullptr) return lumvar_shared::make();
    std::string text;
    try {
        text = lum_kernel_native_source(*p);
    } catch (const std::exception& e) {
        return lum_runtime_error(true, e.what());
    }
    return lumvar_shared::from_string(text);
}

lumvar_shared k_name(kernel_t* self, lum_vm_context&, args_t&) {
    const lumk_program* p = self->program();
    return p ? lumvar_shared::from_string(p->name) : lumvar_shared::make();
}

lumvar_shared k_params(kernel_t* self, lum_vm_context&, args_t&) {
    const lumk_program* p = self->program();
    if (p == nullptr) return lumvar_shared::make();
    lumvar_shared result = lumvar_shared::make();
    lum_std_json* list = result->json_object(true);
    for (const auto& param : p->params) {
        lumvar_shared item = lumvar_shared::make();
        lum_std_json* o = item->json_object(true);
        o->push_keyed(lumvar_shared::from_string(param.name), "name");
        o->push_keyed(lumvar_shared::from_string(param.type_text), "type");
        list->push_keyed(std::move(item), "");
    }
    return result;
}

lumvar_shared k_returns(kernel_t* self, lum_vm_context&, args_t&) {
    const lumk_program* p = self->program();
    if (p == nullptr) return lumvar_shared::make();
    return lumvar_shared::from_string(p->result_type.prim == LUMK_PRIM_VOID ? std::string("void")
                                                                             : p->result_type_text);
}

lumvar_shared k_launch(kernel_t* self, lum_vm_context&, args_t& args) {
    if (self->program() == nullptr) return lumvar_shared::make();
    return lum_kernel_launch(self, args);
}

lumvar_shared k_launch_async(kernel_t* self, lum_vm_context&, args_t& args) {
    if (self->program() == nullptr) return lumvar_shared::make();
    return lum_kernel_launch_async(self, args);
}

}  // namespace

void lum_std_kernel::script_register() {
    set_factory([] { return lumptr_strong<lum_std_kernel>(new lum_std_kernel()); });
    add_function("launch", k_launch, 1, 999,
                 "Runs the kernel for every gid of the domain and waits for it. Returns the reduction result (None "
                 "for void kernels).")
        .arg_docs = {"domain: int | [width, height] - number of invocations (gid 0 .. domain - 1), 2D: gid_x / gid_y",
                     "...: the kernel arguments"};
    add_function("launch_async", k_launch_async, 1, 999,
                 "Starts the kernel on worker threads and returns a std.kernel_job at once. The buffers stay locked "
                 "until wait().")
        .arg_docs = {"domain: int | [width, height]", "...: the kernel arguments"};
    add_function("disasm", k_disasm, 0, 0, "Bytecode of the kernel (for debugging and tests)");
    add_function("jit_status", k_jit_status, 0, 0,
                 "Native code of the kernel: 'off', 'none' (not requested yet), 'compiling', 'ready' or 'failed: "
                 "<compiler output>'");
    add_function("jit_source", k_jit_source, 0, 0, "The C code the JIT compiles for this kernel");
    add_function("name", k_name, 0, 0, "Name of the kernel");
    add_function("params", k_params, 0, 0, "Parameters: list of [name=..., type=...]");
    add_function("returns", k_returns, 0, 0,
                 "Return type and reduction ('void', 'i64 reduce(+)', 'Stats reduce(sum: +, n: +)')");
}
