#pragma once
// Script-defined classes.
//
// A class definition (`lum_class_def`, made by the compiler and held by value
// type class_def) names its members in a symbol table: instance members are
// cells of each instance, methods and static members ("from the definition")
// are the definition's own cells. Instances (`lum_class`, value type class)
// own one cell per member variable; when the last strong handle to an
// instance goes, the class's `__deinit__` method runs as a task with the
// instance as self before the instance is destroyed.

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"
#include "vm/operator_table.h"

class lum_program;
class lum_program_block;
class lum_program_block_symbol_table;
struct lum_symbol_entry;
struct lum_task;

class lum_class_def : public lumptr_base<lum_class_def>, public lumptr_type_tag<lum_class_def> {
public:
    lum_class_def();
    ~lum_class_def() override;
    lum_class_def(const lum_class_def&) = delete;
    lum_class_def& operator=(const lum_class_def&) = delete;

    std::string name;
    // Member name -> {index, from-definition flag, private flag}.
    lumptr_strong<lum_program_block_symbol_table> symbols;
    // Member cells of the definition: methods (function values) and static members.
    std::vector<lumvar_shared> statics;
    // Base class and the classes derived from this one.
    lumptr_weak<lum_class_def> base;
    std::vector<lumptr_weak<lum_class_def>> derived;
    // One method block per operator row (empty: the class has no such method).
    lumptr_weak<lum_program_block> operators[LUM_OPERATOR_COUNT];
    // Called when the class is instantiated; the class body block when there is no constructor.
    lumptr_weak<lum_program_block> constructor;
    lumptr_weak<lum_program_block> body;
    // `__deinit__` method block (empty: none).
    lumptr_weak<lum_program_block> deinit;
    // Abstract methods left unimplemented, in declaration order.
    std::vector<std::string> abstract_methods;
    // The object the definition names as its owner (instances hold it strongly).
    lumptr_weak<lum_program> owner;

    // The symbol-table entry of a member name, or null.
    const lum_symbol_entry* find_symbol(std::string_view member) const;
    // The symbol table, created empty on first request.
    lum_program_block_symbol_table* symbol_table();

    lum_program_block* operator_block(unsigned op) const { return operators[op].get(); }
    bool has_operator(unsigned op) const { return !operators[op].expired(); }

    // True when x and l are the same class or one derives from the other.
    // No x (null) counts as unrelated.
    static bool related(const lum_class_def* x, const lum_class_def* l);
    // Makes `derived_class` derive from `base_class` (both lists kept in step).
    static void derive(lum_class_def* derived_class, lum_class_def* base_class);
};

class lum_class : public lumptr_base<lum_class>, public lumptr_type_tag<lum_class> {
public:
    // Builds an instance of `definition` (a weak handle, consumed): one cell
    // per entry of `members`, whose values are swapped in (the list receives
    // the fresh none cells). A gone definition raises "Invalid class definition.".
    lum_class(lumptr_weak<lum_class_def>&& definition, std::span<lumvar_shared> members);
    ~lum_class() override;
    lum_class(const lum_class&) = delete;
    lum_class& operator=(const lum_class&) = delete;

    lumptr_weak<lum_class_def> definition_ref;
    lumptr_weak<lum_task> scope;           // scope of the context that created the instance
    lum_task* scope_object = nullptr;      // that scope's address at creation
    lumptr_strong<lum_program> creator;    // the definition's owner, held while the instance lives
    std::vector<lumvar_shared> members;
    uint64_t released = 0;

    lum_class_def* definition() const { return definition_ref.get(); }
    // The class name; empty without a definition.
    std::string_view class_name() const;

    // Member by name: an instance member is the instance's own cell (shared);
    // a definition member is the definition's cell, a function becoming a new
    // function value bound to this instance. Errors give a new none value.
    void get_member(lumvar_shared& out, std::string_view name);
    // Member by index: with from_definition the definition's cell (a function
    // bound to this instance, other values copied), else the instance's own cell.
    // A bad index raises "out of range!" and gives a new none value.
    void get_member_by_index(lumvar_shared& out, int64_t index, bool from_definition);

    // Slot 1: runs when the last strong handle goes: `__deinit__` as a task
    // (instance as self) when the class has one, then the members are reset
    // and the instance destroyed.
    void destroy() override;

    // Resets every member to none and destroys the instance.
    void finish_release();
};
