#pragma once
// A script method called the way the interpreter calls it, with each
// allocation of the call failing in turn.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/memory/allocation_hooks.h"
#include "runtime/value_records.h"
#include "vm/calls.h"
#include "vm/context.h"

// Calls the method `member` (an ext function value) with `args`,
// failing the call's first allocation, then its second, and so on, until one
// call's logged errors (read and cleared by `errors`) include `wanted`, or a
// call makes no more allocations. `before_each` runs before every call. No
// logged line may contain `never`. Whether `wanted` was reported.
inline bool lum_fail_each_allocation_of_call(const lumvar_shared& member, std::vector<lumvar_shared> args,
                                             const std::function<std::vector<std::string>()>& errors,
                                             const std::string& wanted, const std::string& never,
                                             const std::function<void()>& before_each = {}) {
    lumvar_ext_function_record* record = member->ext_function_record();
    lum_vm_context context;
    context.native_object = record->owner.get();
    // Allocations before the work looked at (the arguments' text) fail as
    // they always did; the first one inside it gives the report looked for.
    bool reported = false;
    for (long long n = 0; n < 100000 && !reported; ++n) {
        if (before_each) before_each();
        lumvar_shared result;
        bool reached = false;
        {
            lum_failing_allocation fail(n);
            result = lum_call_native(record->definition.get(), context, args);
            reached = lum_failing_allocation::fired();
        }
        if (!reached) break;
        for (const std::string& line : errors()) {
            EXPECT_EQ(line.find(never), std::string::npos) << "n=" << n << ": " << line;
            reported = reported || line.find(wanted) != std::string::npos;
        }
        context.status = 0;
    }
    context.native_object = nullptr;
    return reported;
}
