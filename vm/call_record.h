#pragma once
// Call machinery shared by the interpreter and tasks: the record of a
// prepared call, argument frames and the bound-argument holder of function
// values.

#include <cstdint>
#include <vector>

#include "runtime/ptr.h"
#include "runtime/value.h"

class lumobject_base;
class lum_function_def;
struct lum_task;

// One native call between prepare (opcode 44) and start (opcode 46). A
// prepared script call has no record: its context waits among the task's
// pending contexts, and it is the newest prepared call when there are more
// pending contexts than the newest native record saw (`contexts_below`).
struct lum_call_record {
    // The argument vector (std::vector<lumvar_shared>*) of the call's frame.
    uint64_t target = 0;
    lumptr_weak<lum_function_def> definition;  // native calls
    lumptr_strong<lumobject_base> owner;       // native calls: the object a method is bound to
    // Stores argument `index` (opcode 45).
    void (*store)(lum_task& task, lum_call_record& record, uint32_t index, lumvar_shared& value) = nullptr;
    uint8_t native = 0;                        // 1 (native calls only)
    uint32_t contexts_below = 0;               // the task's pending contexts when the call was prepared
};

// The argument vector of direct native calls (opcodes 38-43) and of prepared
// native calls. Frames are reused: the task keeps them above its depth.
struct lum_argument_frame {
    std::vector<lumvar_shared> values;
};

// Counted holder of the bound arguments of a function value (opcodes 15, 16).
class lumvar_ptr_function_lambda : public lumptr_base<lumvar_ptr_function_lambda>,
                                   public lumptr_type_tag<lumvar_ptr_function_lambda> {
public:
    std::vector<lumvar_shared> values;
};
