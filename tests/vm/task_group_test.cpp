// Many tasks in one std.thread group: every run() adds a task to the group,
// to its global scope's routines and to its creator's children, and every
// finished task leaves all three, each in constant time. 200,000 tasks run,
// join and report their results in run() order, and take at most three times
// the processor time per task that 25,000 take: a group whose bookkeeping
// scans its lists grows with the square of the count (eight times the tasks,
// sixty-four times the time). Processor time, not the wall clock, and a ratio
// of two runs in the same build: neither a loaded machine nor a sanitizer
// build moves the verdict.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/platform/test_platform.h"
#include "tests/vm/lasm_support.h"

namespace {

// group := std.thread(worker); for i in 0..n-1: group.run(i); group.join();
// print("first:", get_results(0), "last:", get_results(n-1),
//       "past the end:", get_results(n)), with worker(x) = x * 2.
std::string group_program(int64_t n) {
    const std::string count = std::to_string(n);
    const std::string last = std::to_string(n - 1);
    return lasmtest::unfold(R"(.program "group"
.native print
.native std.thread
; globals: 0 group  1 worker  2 i
.block main kind=top slots=3
        push | ld.l 1 | push | fn worker | assign | pop
        push | ld.l 0 | push | ldext @std.thread | prep 1 | push | ld.l 1 | arg 0 | pop | call | assign | pop
        push | ld.l 2 | push | ldi 0 | assign | pop
        push
        jmp test
body:   pop
        push | ld.l 0 | mem "run" | prep 1 | push | ld.l 2 | arg 0 | pop | call | pop
        push | ld.l 2 | inc
test:   ld.l 2 | push | ldi )" + count + R"( | lt | jnz body
        pop
        push | ld.l 0 | mem "join" | prep 0 | call | pop
        push | frame 6
        lds "first:" | farg 0
        ld.l 0 | mem "get_results" | prep 1 | push | ldi 0 | arg 0 | pop | call | farg 1
        lds "last:" | farg 2
        ld.l 0 | mem "get_results" | prep 1 | push | ldi )" + last + R"( | arg 0 | pop | call | farg 3
        lds "past the end:" | farg 4
        ld.l 0 | mem "get_results" | prep 1 | push | ldi )" + count + R"( | arg 0 | pop | call | farg 5
        ncall @print
        pop
; worker(x): returns x * 2
.block worker kind=function slots=1 params=1 flags=function
        ld.l 0 | push | ldi 2 | mul
        ret
.end
.end
)");
}

TEST(TaskGroupScale, TwoHundredThousandTasksInOneGroupFinishInLinearTime) {
    lasmtest::settings s;
    s.timeout = std::chrono::seconds(600);  // a bound against a hang only: the verdict is the ratio below
    double per_task[2] = {};
    int i = 0;
    for (const int64_t n : {int64_t{25000}, int64_t{200000}}) {
        const double start = lum_test_process_cpu_seconds();
        const lasmtest::outcome o = lasmtest::run(group_program(n), "group.lasm", s);
        per_task[i++] = (lum_test_process_cpu_seconds() - start) / static_cast<double>(n);
        EXPECT_EQ(o.status, 0) << n << ": " << o.err.substr(0, 2000);
        EXPECT_EQ(o.out, "first: 0 last: " + std::to_string(2 * (n - 1)) + " past the end: \n") << n;
    }
    EXPECT_LT(per_task[1], 3 * per_task[0]) << "seconds per task at 25,000 and 200,000 tasks: " << per_task[0]
                                             << " and " << per_task[1];
}

}  // namespace
