// Run-time error and warning reports built from hand-made contexts (the
// assembler program reports.lasm checks whole reports byte for byte): the '*'
// framing, up to thirty frames in full and the first ten and last twenty of
// more, and outer frames stepping back over their call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host_vm.h"
#include "runtime/thread_local.h"
#include "tests/vm/vm_support.h"
#include "vm/context.h"
#include "vm/report.h"
#include "vm/runtime_error.h"
#include "vm/status.h"
#include "vm/task.h"

using namespace vmtest;

namespace {

class Report : public ::testing::Test {
protected:
    Report() : log_(new capture_log()), host_(options()) {}

    lum_host_vm_options options() {
        lum_host_vm_options o;
        o.logger = lumptr_strong<lum_log_base>(log_);
        return o;
    }

    void SetUp() override {
        task_ = lumptr_strong<lum_task>(new lum_task());
        saved_ = lum_get_thread_local().current_task;
        lum_get_thread_local().current_task = task_.get();
    }
    void TearDown() override {
        lum_get_thread_local().current_task = saved_;
        task_.reset();
        blocks_.clear();
    }

    // Pushes a context running `block` with its ip at `offset`.
    lum_vm_context* push(lum_program_block* block, uint32_t offset) {
        lum_vm_context* c = lum_vm_context::make(task_.get(), task_.get(), block, nullptr);
        c->ip = block->code_begin() + offset;
        task_->contexts.push_back(c);
        return c;
    }
    lum_program_block* block(uint8_t kind, uint8_t flags = 0) {
        blocks_.push_back(make_block(kind, 16, 0, flags));
        return blocks_.back().get();
    }

    capture_log* log_;
    lum_host_vm host_;
    lumptr_strong<lum_task> task_;
    lum_task* saved_ = nullptr;
    std::vector<lumptr_strong<lum_program_block>> blocks_;
};

TEST_F(Report, FramesMessageByItsFirstLine) {
    EXPECT_EQ(lum_runtime_error_framed("boom"), "\n****\nboom\n****\n\n");
    EXPECT_EQ(lum_runtime_error_framed("ab\nlonger line"), "\n**\nab\nlonger line\n**\n\n");
}

TEST_F(Report, ThirtyFramesInFullMoreKeepTheFirstTenAndLastTwenty) {
    lum_source_unit unit;
    unit.path = "d.lum";
    for (uint32_t line = 1; line <= 32; ++line) unit.lines[line] = "g()";
    for (uint32_t frames : {30u, 31u, 32u}) {
        SCOPED_TRACE(frames);
        for (uint32_t i = 0; i < frames; ++i) {
            lum_program_block* b = block(LUM_BLOCK_FUNCTION);
            table_of(b)->add_position(0, &unit, i + 1, 0);
            push(b, 0);
        }
        lum_runtime_error(true, "x");
        std::vector<std::string> errors = log_->take_errors();
        std::string lines;  // the line each frame names, outermost first; '-' for the marker
        for (const std::string& e : errors) {
            const size_t at = e.find(" --> d.lum:");
            if (e.find("... " + std::to_string(frames - 30) + " more frames ...") != std::string::npos) lines += "- ";
            if (at != std::string::npos) lines += std::to_string(std::stoul(e.substr(at + 11))) + " ";
        }
        std::string expected;
        for (uint32_t line = 1; line <= frames; ++line) {
            if (frames > 30 && line == 11) expected += "- ";
            if (frames <= 30 || line <= 10 || line > frames - 20) expected += std::to_string(line) + " ";
        }
        EXPECT_EQ(lines, expected);
        while (!task_->contexts.empty()) {
            lum_vm_context* c = task_->contexts.back();
            task_->contexts.pop_back();
            lum_vm_context::release(c);
        }
    }
}

TEST_F(Report, OuterFramesStepBackOverTheirCall) {
    lum_source_unit unit;
    unit.path = "s.lum";
    unit.lines[1] = "call()";
    unit.lines[2] = "after()";
    unit.lines[3] = "inner()";
    lum_program_block* outer = block(LUM_BLOCK_TOP);
    table_of(outer)->add_position(0, &unit, 1, 0);
    table_of(outer)->add_position(8, &unit, 2, 0);
    lum_program_block* inner = block(LUM_BLOCK_FUNCTION);
    table_of(inner)->add_position(0, &unit, 3, 0);
    table_of(inner)->add_position(8, &unit, 2, 0);
    lum_vm_context* c0 = push(outer, 10);  // resumes at offset 10, after its call
    c0->ip = nullptr;                      // outside the code: the resume offset counts
    c0->resume_offset = 10;
    push(inner, 10);                       // innermost: no step back
    lum_runtime_error(true, "e");
    std::vector<std::string> errors = log_->take_errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("s.lum:1:0"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("s.lum:2:0"), std::string::npos) << errors[1];
}

}  // namespace
