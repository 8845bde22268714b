// Forward declarations of the execution side (contexts and tasks) for the value
// layer and the class binding, which only pass these around.
#pragma once

#include "runtime/ptr.h"

// The pooled execution record of one entered code block (function body, loop
// body or try block). Defined by the interpreter.
struct lum_vm_context;
// One running script routine. Defined by the task scheduler.
struct lum_task;
class lumobject_base;

// The native object a method call is made on: the owner the interpreter stores
// in the calling context before it runs a native method. Null when the context
// carries none. Defined by the context unit (vm/context.cpp).
lumobject_base* lum_native_call_object(lum_vm_context& context) noexcept;

// The scope a function value falls back to when its own scope is gone: the root
// task of the calling thread's current task (the task itself when it has no
// parent), empty without a current task. Defined by the task unit (vm/task.cpp).
lumptr_weak<lum_task> lum_current_root_scope();

// The scope a new function value gets when none is given: the scope of the
// current task's running execution context, empty without a current task.
// Defined by the context unit (vm/context.cpp).
lumptr_weak<lum_task> lum_current_context_scope();
