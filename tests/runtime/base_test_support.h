// Helpers of the runtime base-layer tests: a logger that records what reaches
// it, a counted test object, and a scope that makes a logger the thread's own.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/log.h"
#include "runtime/ptr.h"
#include "runtime/thread_local.h"

class recording_log : public lum_log_base {
public:
    struct entry {
        uint32_t level;
        std::string text;
    };
    void hook_warning(const std::string& t) override { add(LUM_LOG_WARNING, t); }
    void hook_error(const std::string& t) override { add(LUM_LOG_ERROR, t); }
    void hook_notice(const std::string& t) override { add(LUM_LOG_NOTICE, t); }
    void hook_registration(const std::string& t) override { add(LUM_LOG_REGISTRATION, t); }

    std::vector<entry> entries() {
        std::lock_guard<std::mutex> lock(m_);
        return entries_;
    }
    std::vector<std::string> texts() {
        std::vector<std::string> out;
        for (auto& e : entries()) out.push_back(e.text);
        return out;
    }
    size_t count(const std::string& text) {
        size_t n = 0;
        for (auto& e : entries()) n += e.text == text;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(m_);
        entries_.clear();
    }

private:
    void add(uint32_t level, const std::string& t) {
        std::lock_guard<std::mutex> lock(m_);
        entries_.push_back({level, t});
    }
    std::mutex m_;
    std::vector<entry> entries_;
};

// Makes a recording logger the calling thread's logger for the scope.
class thread_log_scope {
public:
    thread_log_scope() : log_(new recording_log()) {
        lum_pooling_suspend heap_record;
        handle_ = lumptr_strong<lum_log_base>(log_);
        saved_ = lum_get_thread_local().logger;
        lum_get_thread_local().logger = handle_;
    }
    ~thread_log_scope() { lum_get_thread_local().logger = saved_; }
    recording_log& log() { return *log_; }

private:
    recording_log* log_;
    lumptr_strong<lum_log_base> handle_;
    lumptr_strong<lum_log_base> saved_;
};

// A counted object that reports its destruction.
class counted_object : public lumptr_base<counted_object>, public lumptr_type_tag<counted_object> {
public:
    explicit counted_object(std::atomic<int>* destroyed = nullptr, bool pooled_record = true)
        : destroyed_(destroyed), pooled_record_(pooled_record) {}
    ~counted_object() override {
        if (destroyed_ != nullptr) destroyed_->fetch_add(1);
    }
    bool may_use_pooled_record() const override { return pooled_record_; }

    lumptr_strong<counted_object> next;
    int value = 0;

private:
    std::atomic<int>* destroyed_;
    bool pooled_record_;
};
