// The cells that long fused expressions write, counted through the memory
// tests' allocation hooks: the destination and the top are overwritten in
// place, run after run.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "runtime/thread_local.h"
#include "tests/memory/allocation_hooks.h"
#include "tests/vm/lasm_support.h"

namespace {

// A loop over two long expressions: one into a local slot, one into the top
// that a conditional jump tests. With cells coming from the heap (pooling
// suspended), the heap allocations between "start" and "stop" must not grow
// with the number of runs: the destination cell and the top's cell are
// overwritten in place, and no run takes a fresh cell.
TEST(FusedExpression, CellsOfLongExpressionsAreReusedAcrossRuns) {
    auto allocations_for = [](int runs) {
        const std::string n = std::to_string(runs) + ".0";
        const std::string source =
            ".program \"cells\"\n.native print\n.block main kind=top slots=4\n"
            "push | ld.l 0 | push | ldf 1.5 | assign | pop\n"
            "push | ld.l 1 | push | ldf 0.5 | assign | pop\n"
            "push | ld.l 3 | push | ldf 0.0 | assign | pop\n"
            "push | frame 1 | lds \"start\" | farg 0 | ncall @print | pop\n"
            "push\n"
            // r = r + 1 + (x * y - x * y): 11 items
            "loop: fexpr dst=l:3 l:3 i:1 add l:0 l:1 mul l:0 l:1 mul sub add skip=a"
            " | ld.l 3 | push | ld.l 3 | push | ldi 1 | add | push | ld.l 0 | push | ld.l 1 | mul"
            " | push | ld.l 0 | push | ld.l 1 | mul | sub | add | assign\n"
            // (r < n) & (x * y > 0.0): 9 items
            "a: fexpr dst=none l:3 f:" + n + " lt l:0 l:1 mul f:0.0 gt and skip=c"
            " | ld.l 3 | push | ldf " + n + " | lt | push | ld.l 0 | push | ld.l 1 | mul | push | ldf 0.0 | gt | and\n"
            "c: jnz loop\n"
            "pop\n"
            "push | frame 1 | lds \"stop\" | farg 0 | ncall @print | pop\n"
            "push | frame 1 | ld.l 3 | farg 0 | ncall @print | pop\n"
            ".end\n";
        lum_asm_options options;
        options.module = &lasmtest::linked_module();
        std::string out;
        uint64_t counted = 0;
        std::unique_ptr<lum_pooling_suspend> heap_cells;
        std::unique_ptr<lum_counting_allocations> counting;
        // `print` writes on the VM's thread: "start" and "stop" bracket the loop.
        options.output = [&](std::string_view line) {
            if (line == "start\n") {
                heap_cells = std::make_unique<lum_pooling_suspend>();
                counting = std::make_unique<lum_counting_allocations>();
            } else if (line == "stop\n") {
                counted = counting->stop();
                heap_cells.reset();
            }
            out.append(line);
        };
        lum_run_options run;
        run.workers = 0;
        const lum_run_result result = lum_run_program(lum_assemble(lasmtest::unfold(source), "cells.lasm", options).program, run);
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(out, "start\nstop\n" + std::to_string(static_cast<double>(runs)) + "\n");
        return counted;
    };
    const uint64_t few = allocations_for(4);
    const uint64_t many = allocations_for(400);
    EXPECT_EQ(many, few);
}

}  // namespace
