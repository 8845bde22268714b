// Payload records of the value cell: the holders and records that cells of the
// types object, class, class_def, function, ext_function and the three member
// references point at. Each carries its pool slot (255 = heap record). They come
// from the VM's unchecked pools (built at allocation, destroyed at deallocation)
// or the heap; every counted pointer starts on the shared null record.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/context_fwd.h"
#include "runtime/ptr.h"
#include "runtime/value.h"

// Counted holder of the bound arguments of a function value. Defined with the
// call machinery.
class lumvar_ptr_function_lambda;

// Type 8: a native object.
struct lumvar_object_holder {
    lumptr_strong<lumobject_base> object;
    uint8_t pool_slot = 255;
};

// Type 10: an instance of a script-defined class.
struct lumvar_class_holder {
    uint8_t pool_slot = 255;
    lumptr_strong<lum_class> instance;
};

// Type 11: a script class definition.
struct lumvar_class_def_holder {
    uint8_t pool_slot = 255;
    lumptr_weak<lum_class_def> definition;
};

// Type 12: a script function.
struct lumvar_function_record {
    lumptr_weak<lum_program_block> block;              // the function's code block
    lumptr_weak<lum_task> scope;                        // the defining scope
    lumptr_weak<lum_class> self;                        // the bound self object
    lumptr_strong<lumvar_ptr_function_lambda> bound;    // bound arguments
    lumptr_strong<lum_class> keep_alive;                // instance kept for the called context
    uint8_t pool_slot = 255;
};

// Type 13: a native function, bound to an owner object for methods.
struct lumvar_ext_function_record {
    lumptr_weak<lum_function_def> definition;
    lumptr_strong<lumobject_base> owner;  // empty for module functions
    uint8_t pool_slot = 255;
};

// Type 14: a member of an object, by name (read or written lazily).
struct lumvar_member_name_ref {
    lumptr_strong<lumobject_base> object;
    std::string name;
    uint8_t pool_slot = 255;
};

// Type 15: a member of an object, by index. With `by_definition` the index is a
// member-definition index of the object's class (read_member_at / set_member_at).
struct lumvar_member_index_ref {
    lumptr_strong<lumobject_base> object;
    int64_t index = 0;
    uint8_t by_definition = 0;
    uint8_t pool_slot = 255;
};

// Type 16: a member of an object, by a key value.
struct lumvar_member_key_ref {
    lumptr_weak<lumobject_base> object;
    lumvar_shared key = lumvar_shared::make();
    uint8_t pool_slot = 255;
};
