// Calls of registered methods the way the interpreter makes them: member read
// -> bound native function -> callable with the owner as the context's
// native-call object, after the interpreter's argument-count check. Calls
// come from a context without a task, so warnings go to the thread's logger.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "runtime/object.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "vm/context.h"

namespace typetest {

inline lumvar_shared call_method(lumobject_base* self, std::string_view name, std::vector<lumvar_shared> args) {
    const int64_t index = self->find_member_index(name);
    EXPECT_GE(index, 0) << name;
    if (index < 0) return {};
    lumvar_shared member;
    self->get_member_at(member, index);
    const bool bound = member && member->type == LUMVAR_EXT_FUNCTION;
    EXPECT_TRUE(bound) << name;
    if (!bound) return {};
    lumvar_ext_function_record* record = member->ext_function_record();
    lum_function_def* def = record->definition.get();
    EXPECT_GE(args.size(), def->min_args) << name;
    EXPECT_LE(args.size(), def->max_args) << name;
    lum_vm_context context;
    context.native_object = record->owner.get();
    lumvar_shared result = def->callable(context, args);
    context.native_object = nullptr;
    return result;
}

}  // namespace typetest
