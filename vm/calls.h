#pragma once
// Calls, members and indexing.
//
// Calls take one of two shapes: the callee value on top, opcode 44 (prepare),
// per argument its evaluation and opcode 45 (store), then opcode 46 (start);
// or, for a native function record named in the code, opcode 38 (frame), per
// argument opcode 39 or 40, then opcode 42. A script call's context waits
// among the task's pending contexts while its arguments are stored; opcode 46
// moves it onto the context stack and ends the run with status 16. Native
// calls run inside opcodes 46 and 42.
//
// Member access by name keeps a per-site cache entry in the code block and
// enforces member privacy; index get and set use the item operators of
// script classes when a class defines them.

#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/value.h"

struct lum_vm_context;
struct lum_task;
class lum_function_def;
class lum_class;
class lum_class_def;

// Invokes a native function record with the calling context and the
// argument vector. Exceptions become aborting run-time errors
// ("<name>: <what>" or "<name>: unknown native exception"; a record without
// callable counts as a standard exception) and the result is none.
lumvar_shared lum_call_native(lum_function_def* definition, lum_vm_context& ctx, std::vector<lumvar_shared>& args);

// Argument stores (opcode 45): a script call stores into the newest pending
// context's slot (by reference when the slot flag asks for it, else a copy);
// a native call, through its record, into the frame (the caller's cell, or
// the dereferenced value when the definition resolves its arguments).
struct lum_call_record;
void lum_store_script_argument(lum_task& task, uint32_t index, lumvar_shared& value);
void lum_store_native_argument(lum_task& task, lum_call_record& record, uint32_t index, lumvar_shared& value);

// Opcode 44: prepares a call of the top value with `argc` arguments.
void lum_prepare_call(lum_vm_context& ctx, uint32_t argc);
// Opcode 45: stores the top as argument `index` of the last prepared call.
void lum_store_argument(lum_vm_context& ctx, uint32_t index);
// Opcode 46: starts the last prepared call.
void lum_start_call(lum_vm_context& ctx);

// Opcode 38: raises the frame depth by 1 and sizes the current frame.
void lum_open_frame(lum_task& task, uint32_t size);
// The current argument frame's vector (null without one).
std::vector<lumvar_shared>* lum_current_frame(lum_task& task);
// Opcode 42: calls the native record with the current frame and closes it.
void lum_frame_call(lum_vm_context& ctx, lum_function_def* definition);
// Opcode 43: clears the values of the frame with index depth + 1.
void lum_clear_next_frame(lum_task& task);

// Opcode 61: member by name with cache entry, accessing class and vivify flag.
void lum_member_by_name(lum_vm_context& ctx, const uint8_t* insn);
// Opcode 62: index get.
void lum_index_op(lum_vm_context& ctx, const uint8_t* insn);
// Opcode 63: member if present.
void lum_member_if_present(lum_vm_context& ctx, std::string_view name);
// Opcode 64: safe index (never raises).
void lum_safe_index(lum_vm_context& ctx);
// Opcode 65: append to a json value.
void lum_append(lum_vm_context& ctx);
// Opcode 68: index set.
void lum_index_set(lum_vm_context& ctx, const lum_class_def* accessing);
// Opcode 69: index get keeping container and key.
void lum_index_get_keep(lum_vm_context& ctx, const lum_class_def* accessing);

// Index access on container `c` with key `k` (both resolved); false after an
// error, when `out` is a fresh none.
bool lum_index_get(lum_vm_context& ctx, lumvar* c, lumvar* k, const lum_class_def* accessing, bool vivify,
                   lumvar_shared& out);

// Whether indexing instance `instance` with key `key` goes through item
// operator `op` (23 get, 24 set): the class has the method, and the key is a
// number or a text that is not a member name of the class.
bool lum_class_uses_item_operator(lum_class* instance, lumvar* key, unsigned op);

// Opcodes 52-54.
void lum_self_value(lum_vm_context& ctx);
void lum_self_member(lum_vm_context& ctx, uint32_t index, bool from_definition);
void lum_new_instance(lum_vm_context& ctx);
