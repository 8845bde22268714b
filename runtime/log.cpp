#include "runtime/log.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <new>
#include <span>

#include "runtime/platform.h"
#include "runtime/thread_local.h"
#include "runtime/thread_unwind.h"
#include "runtime/vm.h"

lum_log_listener::~lum_log_listener() = default;
void lum_log_listener::on_reserved(const std::string&) {}
void lum_log_listener::on_warning(const std::string&) {}
void lum_log_listener::on_error(const std::string&) {}
void lum_log_listener::on_notice(const std::string&) {}
void lum_log_listener::on_registration(const std::string&) {}

lum_log_base::lum_log_base() = default;
lum_log_base::~lum_log_base() = default;

void lum_log_base::hook_reserved(const std::string&) {}
void lum_log_base::hook_warning(const std::string&) {}
void lum_log_base::hook_error(const std::string&) {}
void lum_log_base::hook_notice(const std::string&) {}
void lum_log_base::hook_registration(const std::string&) {}
void lum_log_base::hook_reserved_9(const std::string&) {}
void lum_log_base::hook_reserved_10(const std::string&) {}
void lum_log_base::hook_reserved_11(const std::string&) {}
void lum_log_base::hook_reserved_12(const std::string&) {}

void lum_log_base::append(std::string& out, const void* v) {
    char buf[2 + 16];
    buf[0] = '0';
    buf[1] = 'x';
    auto res = std::to_chars(buf + 2, buf + sizeof buf, reinterpret_cast<uintptr_t>(v), 16);
    out.append(buf, res.ptr);
}

void lum_log_base::append(std::string& out, double v) {
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    out.append(buf, res.ptr);
}

void lum_log_base::append_signed(std::string& out, long long v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void lum_log_base::append_unsigned(std::string& out, unsigned long long v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

void lum_log_base::error_cstr(const char* text) {
    if (enabled(LUM_LOG_ERROR)) write(LUM_LOG_ERROR, std::string(text ? text : ""));
}

void lum_log_base::error_without_ast(std::string_view text) {
    if (enabled(LUM_LOG_ERROR))
        write(LUM_LOG_ERROR, concat("While handling an error, a token without AST was passed.\n", text));
}

void lum_log_base::write(uint32_t level, const std::string& text) {
    switch (level) {
    case LUM_LOG_WARNING: hook_warning(text); break;
    case LUM_LOG_ERROR: hook_error(text); break;
    case LUM_LOG_NOTICE: hook_notice(text); break;
    case LUM_LOG_REGISTRATION: hook_registration(text); break;
    default: return;
    }
    dispatch(level, text);
}

namespace {

// The thread's dispatch list. The records of the first few dispatches sit in
// place in the thread's storage, so logging allocates nothing: an allocation
// waits while another thread forks (the C library holds its allocator's locks
// while the process is copied). Beyond them the list moves to the heap and is
// freed when it empties. Nothing is left for a thread-exit destructor, so
// code that logs while the thread's per-thread objects are being destroyed (a
// logger's own destructor) never meets a destroyed list, and nothing leaks.
class dispatch_list {
public:
    std::span<lum_log_listener_record* const> items() const {
        if (spilled_ != nullptr) return *spilled_;
        return {kept_, size_};
    }

    // Room for `more` records, so that pushing them cannot fail.
    void reserve(size_t more) {
        if (spilled_ == nullptr) {
            if (size_ + more <= kept_count) return;
            spilled_ = new std::vector<lum_log_listener_record*>(kept_, kept_ + size_);
            size_ = 0;
        }
        spilled_->reserve(spilled_->size() + more);
    }

    void push(lum_log_listener_record* record) {
        if (spilled_ != nullptr) spilled_->push_back(record);
        else kept_[size_++] = record;
    }

    void remove_first(const lum_log_listener_record* record) {
        if (spilled_ != nullptr) {
            if (const auto it = std::find(spilled_->begin(), spilled_->end(), record); it != spilled_->end())
                spilled_->erase(it);
            if (spilled_->empty()) {
                delete spilled_;
                spilled_ = nullptr;
            }
            return;
        }
        if (auto* const it = std::find(kept_, kept_ + size_, record); it != kept_ + size_) {
            std::copy(it + 1, kept_ + size_, it);
            --size_;
        }
    }

private:
    static constexpr size_t kept_count = 16;
    lum_log_listener_record* kept_[kept_count]{};
    size_t size_ = 0; // of kept_, while nothing spilled
    std::vector<lum_log_listener_record*>* spilled_ = nullptr;
};
static_assert(std::is_trivially_destructible_v<dispatch_list>, "no thread-exit destructor");
thread_local constinit dispatch_list running_list;

} // namespace

std::span<lum_log_listener_record* const> lum_log_dispatch_list() { return running_list.items(); }

namespace {

// The default logger and the strong handle that keeps it alive, built once
// and never freed. Every call reads the logger through this record, so the
// record (and through it the handle and its reference record) stays
// reachable from a static pointer for the life of the process: leak checkers
// see live memory, not a leak. Made without a guarded static, which a copy
// forked while another thread made it would wait for for good: two threads
// making it at once keep one.
struct default_log_record {
    lum_log_base* log;
    lumptr_strong<lum_log_base> keep_alive;
};
constinit std::atomic<default_log_record*> default_log{nullptr};

// A copy made by fork() has one thread, the forking one, and the parent's
// others are gone: the default logger's lock may be left taken by one of
// them, its listeners counted as in use by their dispatches, and its
// condition waited on by their removals. The copy's thread makes the logger
// usable again from what it knows of its own: the lock is made free unless
// that thread holds it itself (a fork from a signal handler inside the lock,
// or a host fork handler that took it), and each listener's use count is set
// to the calls this thread's own dispatches hold. No fork waits for the
// logger: the lock is shared with the host, and a host that changes the
// listener list beside its forks keeps it whole itself (docs/kernels.md).
void default_log_usable_in_copy() {
    default_log_record* const r = default_log.load(std::memory_order_acquire);
    if (r == nullptr) return;
    lum_log_base& log = *r->log;
    lum_lock_free_in_copy(log.mutex);
    lum_cond_reset_in_copy(log.listener_released);
    const auto own_uses = [](const lum_log_listener_record* record) {
        const auto held = running_list.items();
        return static_cast<uint32_t>(std::count(held.begin(), held.end(), record));
    };
    for (const auto& record : log.listeners) record->uses.store(own_uses(record.get()), std::memory_order_relaxed);
    for (lum_log_listener_record* held : running_list.items()) held->uses.store(own_uses(held), std::memory_order_relaxed);
}

const bool default_log_usable_in_copies = (lum_at_fork(lum_fork_note_thread, nullptr, default_log_usable_in_copy), true);

// What one dispatch holds: a use of each listener record it copied, each
// also on the thread's dispatch list, given back one by one as the calls
// end, and all that are left when the thread unwinds (a listener that threw
// through, or a thread cancelled or ended inside a listener).
class held_records {
public:
    using record_ptr = std::shared_ptr<lum_log_listener_record>;

    explicit held_records(lum_log_base& log) : log_(log) {}
    ~held_records() {
        while (next_ < count_) give_back();
    }
    held_records(const held_records&) = delete;
    held_records& operator=(const held_records&) = delete;

    // Under the logger's lock: copies the listener list and counts a use of
    // each record. A few are kept in place: nothing is allocated while the
    // lock is held. False when more could not be copied (memory exhausted):
    // then nothing is counted.
    bool take(const std::vector<record_ptr>& listeners) {
        if (listeners.size() <= few_.size()) {
            std::copy(listeners.begin(), listeners.end(), few_.begin());
            records_ = few_.data();
        } else {
            try {
                many_ = listeners;
            } catch (const std::bad_alloc&) {
                return false;
            }
            records_ = many_.data();
        }
        count_ = listeners.size();
        for (size_t i = 0; i < count_; ++i) records_[i]->uses.fetch_add(1, std::memory_order_acq_rel);
        return true;
    }

    // After the lock: the records on the thread's dispatch list. False when
    // the list cannot grow (memory exhausted, beyond the records kept in
    // place): then no listener may be called, since a removal from inside a
    // call that is not on the list would wait for that call itself.
    bool list() {
        try {
            running_list.reserve(count_);
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (size_t i = 0; i < count_; ++i) running_list.push(records_[i].get());
        return true;
    }

    lum_log_listener_record* next() const { return next_ < count_ ? records_[next_].get() : nullptr; }

    // The call of the next record ended.
    void give_back() {
        lum_log_listener_record* const record = records_[next_++].get();
        running_list.remove_first(record);
        record->uses.fetch_sub(1, std::memory_order_acq_rel);
        if (record->removed.load(std::memory_order_acquire)) {
            const std::lock_guard<std::mutex> lock(log_.mutex);
            log_.listener_released.notify_all();
        }
    }

private:
    lum_log_base& log_;
    std::array<record_ptr, 4> few_;
    std::vector<record_ptr> many_;
    record_ptr* records_ = nullptr;
    size_t count_ = 0;
    size_t next_ = 0;
};

} // namespace

void lum_log_base::dispatch(uint32_t level, const std::string& text) {
    held_records held(*this);
    {
        // Counted under the lock, which a removal takes to mark the record
        // removed: either the removal waits for this dispatch's use, or this
        // dispatch sees the mark and skips the listener.
        const std::lock_guard<std::mutex> lock(mutex);
        if (listeners.empty() || !held.take(listeners)) return;
    }
    // Without the memory to copy or list the records, the listeners miss this
    // message (the uses are given back): nothing is thrown at the code that logged.
    if (!held.list()) return;
    // Listeners run without the logger's lock: a listener may log again (the
    // nested dispatch copies the list anew) and may take other locks.
    while (lum_log_listener_record* const record = held.next()) {
        if (!record->removed.load(std::memory_order_acquire) && record->listener != nullptr) {
            try {
                switch (level) {
                case LUM_LOG_WARNING: record->listener->on_warning(text); break;
                case LUM_LOG_ERROR: record->listener->on_error(text); break;
                case LUM_LOG_NOTICE: record->listener->on_notice(text); break;
                case LUM_LOG_REGISTRATION: record->listener->on_registration(text); break;
                default: break;
                }
            } catch (const lum_thread_unwind&) {
                throw;  // the thread is cancelled or ends: the records are given back on the way
            } catch (...) {
                // A failing listener must not break the code that logged.
            }
        }
        held.give_back();
    }
}

lum_log_base* lum_make_default_log() {
    default_log_record* made = default_log.load(std::memory_order_acquire);
    if (made != nullptr) return made->log;
    default_log_record* fresh = nullptr;
    {
        lum_pooling_suspend heap_records; // its reference record must not live in a VM pool
        auto* created = new lum_log_base();
        fresh = new default_log_record{created, lumptr_strong<lum_log_base>(created)};
    }
    if (default_log.compare_exchange_strong(made, fresh, std::memory_order_acq_rel)) return fresh->log;
    delete fresh; // another thread's is kept; the handle frees this logger
    return made->log;
}

lum_log_base& lum_get_log() {
    lum_thread_local& tl = lum_get_thread_local();
    if (lum_log_base* own = tl.logger.get()) return *own;
    if (tl.vm != nullptr) {
        if (lum_log_base* vm_log = tl.vm->logger.get()) return *vm_log;
    }
    return *lum_make_default_log();
}

void lum_log_class_added(lum_log_base& log, std::string_view type_name) { log.notice("class: ", type_name); }

void lum_log_member_added(lum_log_base& log, std::string_view member_name) { log.notice(" - ", member_name); }

void lum_log_missing_create_new(lum_log_base& log, std::string_view type_name) {
    log.registration("internal type '", type_name, "' does not implement a 'create_new' function.\n");
}
