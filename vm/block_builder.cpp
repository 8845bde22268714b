#include "vm/block_builder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "runtime/namespace.h"
#include "runtime/thread_local.h"
#include "runtime/value_records.h"
#include "vm/class.h"
#include "vm/operator_table.h"
#include "vm/symbol_table.h"

// ---------------------------------------------------------------------------
// Programs

lum_program_builder::lum_program_builder(std::string name) {
    lum_pooling_suspend heap_only;
    program_ = lumptr_strong<lum_program>(new lum_program());
    program_->name = std::move(name);
}

lum_program_builder::~lum_program_builder() {
    lum_pooling_suspend heap_only;
    program_.reset();
}

uint32_t lum_program_builder::intern(std::string_view text) {
    std::vector<std::string>& strings = *program_->strings;
    for (size_t i = 0; i < strings.size(); ++i)
        if (strings[i] == text) return static_cast<uint32_t>(i);
    strings.emplace_back(text);
    return static_cast<uint32_t>(strings.size() - 1);
}

lumvar* lum_program_builder::constant(const lumvar_shared& value) {
    lum_pooling_suspend heap_only;
    lumvar_shared cell = lumvar_shared::make();
    lumvar_shared src = value;
    if (src) cell->set(src);
    program_->constants.push_back(cell);
    return cell.get();
}

lum_function_def* lum_program_builder::native(lum_function_def* definition) {
    lum_pooling_suspend heap_only;
    if (definition != nullptr) program_->natives.emplace_back(definition);
    return definition;
}

lum_program_block* lum_program_builder::new_block(std::string name, uint8_t kind, uint32_t slots) {
    lum_pooling_suspend heap_only;
    lumptr_strong<lum_program_block> block(new lum_program_block());
    block->name = std::move(name);
    block->kind = kind;
    block->num_slots = slots;
    block->slot_flags.assign(slots, 0);
    block->strings = program_->strings;
    block->program = program_.get();
    lum_program_block* raw = block.get();
    program_->blocks.push_back(std::move(block));
    return raw;
}

lum_class_def* lum_program_builder::new_class(std::string name) {
    lum_pooling_suspend heap_only;
    lumptr_strong<lum_class_def> def(new lum_class_def());
    def->name = std::move(name);
    def->owner = program_.get();
    def->symbol_table();
    lum_class_def* raw = def.get();
    program_->classes.push_back(std::move(def));
    return raw;
}

lumptr_strong<lum_program> lum_program_builder::finish(lum_program_block* root) {
    lum_pooling_suspend heap_only;
    program_->root = root;
    return program_;
}

// ---------------------------------------------------------------------------
// Classes

lum_class_builder& lum_class_builder::inherit(lum_class_def* base) {
    lum_pooling_suspend heap_only;
    if (base == nullptr) return *this;
    lum_class_def::derive(def_, base);
    lum_program_block_symbol_table* table = def_->symbol_table();
    if (const lum_program_block_symbol_table* from = base->symbols.get()) {
        for (const auto& [name, entry] : from->names) {
            table->add_name(name, entry.member_index, entry.from_definition != 0, entry.is_private != 0);
            if (!entry.from_definition) members_ = std::max(members_, entry.member_index + 1);
        }
    }
    def_->statics = base->statics;
    for (unsigned i = 0; i < LUM_OPERATOR_COUNT; ++i) def_->operators[i] = base->operators[i];
    def_->deinit = base->deinit;
    def_->abstract_methods = base->abstract_methods;
    return *this;
}

uint32_t lum_class_builder::member(std::string_view name, bool is_private) {
    const uint32_t index = members_++;
    def_->symbol_table()->add_name(name, index, false, is_private);
    return index;
}

uint32_t lum_class_builder::method(std::string_view name, lum_program_block* block, bool is_private) {
    lum_pooling_suspend heap_only;
    lumvar_shared fn = lumvar_shared::make();
    fn->set_function(block, nullptr);
    uint32_t index;
    const lum_symbol_entry* existing = def_->find_symbol(name);
    if (existing != nullptr && existing->from_definition && existing->member_index < def_->statics.size()) {
        index = existing->member_index;
        def_->statics[index] = fn;  // replaces the inherited cell for this class only
    } else {
        index = static_cast<uint32_t>(def_->statics.size());
        def_->statics.push_back(fn);
    }
    def_->symbol_table()->add_name(name, index, true, is_private);
    if (block != nullptr) {
        block->class_def = def_;
        block->flags |= LUM_BLOCK_FLAG_METHOD;
    }
    const int op = lum_operator_index(name);
    if (op >= 0) def_->operators[op] = block;
    if (name == "__deinit__") def_->deinit = block;
    auto& abstract = def_->abstract_methods;
    abstract.erase(std::remove(abstract.begin(), abstract.end(), name), abstract.end());
    return index;
}

uint32_t lum_class_builder::static_member(std::string_view name, const lumvar_shared& value, bool is_private) {
    lum_pooling_suspend heap_only;
    lumvar_shared cell = lumvar_shared::make();
    lumvar_shared src = value;
    if (src) cell->set(src);
    const uint32_t index = static_cast<uint32_t>(def_->statics.size());
    def_->statics.push_back(cell);
    def_->symbol_table()->add_name(name, index, true, is_private);
    return index;
}

lum_class_builder& lum_class_builder::abstract_method(std::string_view name) {
    def_->abstract_methods.emplace_back(name);
    return *this;
}

lum_class_builder& lum_class_builder::constructor(lum_program_block* block) {
    def_->constructor = block;
    if (block != nullptr) block->class_def = def_;
    return *this;
}

lum_class_builder& lum_class_builder::body(lum_program_block* block) {
    def_->body = block;
    if (block != nullptr) block->class_def = def_;
    return *this;
}

// ---------------------------------------------------------------------------
// Fused expression operands

lum_fexpr_form& lum_fexpr_form::int_const(int64_t v) {
    const uint8_t index = const_count < lum_fexpr::MAX_CONSTS ? const_count++ : lum_fexpr::MAX_CONSTS;
    if (index < lum_fexpr::MAX_CONSTS) const_bits[index] = v;
    items.push_back({lum_fexpr::IT_CONST, 0, index});
    return *this;
}

lum_fexpr_form& lum_fexpr_form::float_const(double v) {
    const uint8_t index = const_count < lum_fexpr::MAX_CONSTS ? const_count++ : lum_fexpr::MAX_CONSTS;
    if (index < lum_fexpr::MAX_CONSTS) {
        const_bits[index] = std::bit_cast<int64_t>(v);
        float_mask = static_cast<uint8_t>(float_mask | (1u << index));
    }
    items.push_back({lum_fexpr::IT_CONST, 0, index});
    return *this;
}

// ---------------------------------------------------------------------------
// Blocks

lum_block_builder::lum_block_builder(lum_program_builder& program, lum_program_block* block)
    : program_(program), block_(block) {}

lum_block_builder::~lum_block_builder() = default;

lum_block_builder& lum_block_builder::params(uint32_t count, uint32_t first_default) {
    block_->num_params = count;
    block_->first_default = first_default;
    if (block_->num_slots < count) {
        block_->num_slots = count;
        block_->slot_flags.resize(count, 0);
    }
    return *this;
}

lum_block_builder& lum_block_builder::bound(uint32_t count) {
    block_->num_bound = count;
    return *this;
}

lum_block_builder& lum_block_builder::flags(uint8_t flags) {
    block_->flags = flags;
    return *this;
}

lum_block_builder& lum_block_builder::slot_flag(uint32_t slot, uint8_t flag) {
    if (slot >= block_->slot_flags.size()) block_->slot_flags.resize(slot + 1, 0);
    block_->slot_flags[slot] = flag;
    return *this;
}

uint32_t lum_block_builder::statics(uint32_t count) {
    lum_pooling_suspend heap_only;
    const uint32_t first = static_cast<uint32_t>(block_->statics.size());
    for (uint32_t i = 0; i < count; ++i) block_->statics.push_back(lumvar_shared::make());
    return first;
}

uint32_t lum_block_builder::child(lum_program_block* child) {
    lum_pooling_suspend heap_only;
    block_->children.emplace_back(child);
    return static_cast<uint32_t>(block_->children.size() - 1);
}

lum_block_builder& lum_block_builder::linked(lum_program_block* target) {
    lum_pooling_suspend heap_only;
    block_->linked = target;
    return *this;
}

uint32_t lum_block_builder::cache() {
    block_->member_cache.emplace_back();
    block_->json_key_slot.push_back(0);
    return static_cast<uint32_t>(block_->member_cache.size() - 1);
}

uint32_t lum_block_builder::member_path(uint8_t holder_kind, uint8_t holder_level, uint32_t holder_slot,
                                        std::string_view member) {
    lum_member_path path;
    path.holder_kind = holder_kind;
    path.holder_level = holder_level;
    path.holder_slot = holder_slot;
    path.name = program_.intern(member);
    block_->member_paths.push_back(path);
    return static_cast<uint32_t>(block_->member_paths.size() - 1);
}

lum_block_builder& lum_block_builder::restart(lum_label at) {
    restart_label_ = at.id;
    return *this;
}

lum_block_builder& lum_block_builder::loc(const lum_source_unit* unit, uint32_t line, uint32_t index) {
    loc_ = pending_loc{unit, line, index};
    return *this;
}

lum_label lum_block_builder::label() {
    labels_.push_back(-1);
    return lum_label{static_cast<uint32_t>(labels_.size() - 1)};
}

lum_block_builder& lum_block_builder::bind(lum_label l) {
    if (l.id >= labels_.size()) throw std::invalid_argument("unknown label");
    labels_[l.id] = offset();
    return *this;
}

uint32_t lum_block_builder::begin_insn(uint8_t opcode, uint32_t size) {
    const uint32_t at = offset();
    if (loc_) {
        lum_pooling_suspend heap_only;
        block_->symbol_table()->add_position(at, loc_->unit, loc_->line, loc_->index);
        loc_.reset();
    }
    block_->code.resize(at + size, 0);
    if (size > 0) block_->code[at] = opcode;
    return at;
}

uint32_t lum_block_builder::emit(uint8_t opcode, const lum_insn_fields& f, std::optional<uint32_t> size) {
    uint32_t n = size ? *size : lum_opcode_size(opcode);
    if (n == 0) n = 1;
    const uint32_t at = begin_insn(opcode, n);
    uint8_t* insn = block_->code.data() + at;
    auto put = [&](unsigned pos, const void* src, unsigned width) {
        if (pos + width <= n) std::memcpy(insn + pos, src, width);
    };
    if (f.A) put(lum_operand::A, &*f.A, 1);
    if (f.B) put(lum_operand::B, &*f.B, 4);
    if (f.D) put(lum_operand::D, &*f.D, 8);
    if (f.C) put(lum_operand::C, &*f.C, 4);
    if (f.C8) put(lum_operand::C8, &*f.C8, 1);
    if (f.E) put(lum_operand::E, &*f.E, 8);
    if (f.E8) put(lum_operand::E8, &*f.E8, 1);
    if (f.F) put(lum_operand::F, &*f.F, 1);
    return at;
}

uint32_t lum_block_builder::emit_to(uint8_t opcode, lum_label target, const lum_insn_fields& fields) {
    if (target.id >= labels_.size()) throw std::invalid_argument("unknown label");
    const uint32_t at = emit(opcode, fields);
    fixups_.push_back({at, target.id, opcode == LUM_OP_JMP || opcode == LUM_OP_JZ || opcode == LUM_OP_JNZ});
    return at;
}

lum_block_builder& lum_block_builder::bytes(const std::vector<uint8_t>& raw) {
    block_->code.insert(block_->code.end(), raw.begin(), raw.end());
    return *this;
}

uint32_t lum_block_builder::fexpr(const lum_fexpr_form& form, lum_label skip) {
    using namespace lum_fexpr;
    if (skip.id >= labels_.size()) throw std::invalid_argument("unknown label");
    const uint32_t at = begin_insn(LUM_OP_FEXPR, SIZE);
    uint8_t* insn = block_->code.data() + at;
    insn[DEST_KIND] = form.dest_kind;
    insn[DEST_LEVEL] = form.dest_level;
    lum_write_operand<uint32_t>(insn, DEST_SLOT, form.dest_slot);
    insn[COUNT] = static_cast<uint8_t>(std::min<size_t>(form.items.size(), 255));
    insn[FLOAT_MASK] = form.float_mask;
    const size_t n = std::min<size_t>(form.items.size(), MAX_ITEMS);
    for (size_t i = 0; i < n; ++i) {
        uint8_t* item = insn + ITEMS + i * 8;
        item[0] = form.items[i].kind;
        item[1] = form.items[i].level;
        lum_write_operand<uint32_t>(item, 4, form.items[i].operand);
    }
    for (unsigned i = 0; i < MAX_CONSTS; ++i) lum_write_operand<int64_t>(insn, CONSTS + i * 8, form.const_bits[i]);
    fixups_.push_back({at, skip.id, false});
    return at;
}

uint32_t lum_block_builder::fcall(const lum_fcall_spec& form, lum_label skip) {
    using namespace lum_fcall;
    if (skip.id >= labels_.size()) throw std::invalid_argument("unknown label");
    const uint32_t at = begin_insn(LUM_OP_FCALL, SIZE);
    uint8_t* insn = block_->code.data() + at;
    lum_write_operand<uint32_t>(insn, NAME, form.name);
    lum_write_operand<uint32_t>(insn, CACHE, form.cache);
    lum_write_operand<uint32_t>(insn, MEMBER, form.member);
    insn[ARGC] = form.argc;
    insn[SELF_FORM] = form.self_form;
    insn[ENABLED] = form.enabled;
    lum_write_operand<uint64_t>(insn, CLASS, form.accessing);
    fixups_.push_back({at, skip.id, false});
    return at;
}

lum_block_builder& lum_block_builder::ldi(int64_t v) {
    emit(LUM_OP_LDI, {.D = static_cast<uint64_t>(v)});
    return *this;
}

lum_block_builder& lum_block_builder::ldf(double v) {
    emit(LUM_OP_LDF, {.D = std::bit_cast<uint64_t>(v)});
    return *this;
}

lum_block_builder& lum_block_builder::lds(std::string_view text) {
    emit(LUM_OP_LDS, {.B = program_.intern(text)});
    return *this;
}

lum_block_builder& lum_block_builder::ldext(lum_function_def* def) {
    emit(LUM_OP_LDEXT, {.D = reinterpret_cast<uintptr_t>(program_.native(def))});
    return *this;
}

lum_block_builder& lum_block_builder::ldk(lumvar* cell) {
    emit(LUM_OP_LDK, {.D = reinterpret_cast<uintptr_t>(cell)});
    return *this;
}

lum_block_builder& lum_block_builder::ncall(lum_function_def* def) {
    emit(LUM_OP_NCALL, {.D = reinterpret_cast<uintptr_t>(program_.native(def))});
    return *this;
}

lum_block_builder& lum_block_builder::mem(std::string_view name, uint32_t cache_index,
                                          const lum_class_def* accessing, bool vivify) {
    emit(LUM_OP_MEM, {.B = program_.intern(name),
                      .C = cache_index,
                      .E = reinterpret_cast<uintptr_t>(accessing),
                      .F = static_cast<uint8_t>(vivify ? 1 : 0)});
    return *this;
}

lum_program_block* lum_block_builder::finish() {
    for (const fixup& f : fixups_) {
        const int64_t target = labels_[f.label];
        if (target < 0) throw std::invalid_argument("label used but never bound");
        const int64_t distance = target - static_cast<int64_t>(f.insn);
        uint8_t* insn = block_->code.data() + f.insn;
        if (f.is_signed)
            lum_write_operand<int32_t>(insn, lum_operand::B, static_cast<int32_t>(distance));
        else
            lum_write_operand<uint32_t>(insn, lum_operand::B, static_cast<uint32_t>(distance));
    }
    fixups_.clear();
    if (restart_label_) {
        const int64_t target = labels_[*restart_label_];
        if (target < 0) throw std::invalid_argument("restart label never bound");
        block_->loop_restart = static_cast<uint32_t>(target);
    }
    return block_;
}
