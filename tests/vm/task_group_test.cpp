// Many tasks in one std.thread group: every run() adds a task to the group,
// to its global scope's routines and to its creator's children, and every
// finished task leaves all three, each in constant time. 200,000 tasks run,
// join and report their results in run() order within a bound that a
// group whose bookkeeping scans its lists (seconds per 40,000 tasks, growing
// with the square of the count) does not meet.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

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
    constexpr int64_t n = 200000;
    lasmtest::settings s;
    s.timeout = std::chrono::seconds(30);
    const auto start = std::chrono::steady_clock::now();
    const lasmtest::outcome o = lasmtest::run(group_program(n), "group.lasm", s);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(o.status, 0) << o.err.substr(0, 2000);
    EXPECT_EQ(o.out, "first: 0 last: " + std::to_string(2 * (n - 1)) + " past the end: \n");
    EXPECT_LT(seconds, 30.0);
}

}  // namespace
