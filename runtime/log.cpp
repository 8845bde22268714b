#include "runtime/log.h"

#include <charconv>
#include <chrono>
#include <new>
#include <thread>

#include "runtime/fork_hold.h"
#include "runtime/platform.h"
#include "runtime/thread_local.h"
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

// The thread's dispatch list exists only while a dispatch runs on the thread:
// it is made by the outermost dispatch and freed when that dispatch leaves it
// empty. Nothing is left for a thread-exit destructor, so code that logs while
// the thread's per-thread objects are being destroyed (a logger's own
// destructor) never meets a destroyed list, and nothing leaks.
using dispatch_list = std::vector<lum_log_listener_record*>;
thread_local constinit dispatch_list* running_list = nullptr;

dispatch_list& open_dispatch_list() {
    if (running_list == nullptr) running_list = new dispatch_list();
    return *running_list;
}

void close_dispatch_list() {
    if (running_list != nullptr && running_list->empty()) {
        delete running_list;
        running_list = nullptr;
    }
}

} // namespace

std::vector<lum_log_listener_record*>& lum_log_dispatch_list() {
    if (running_list != nullptr) return *running_list;
    // No dispatch runs on this thread: an empty list (for reading).
    static dispatch_list* const none = new dispatch_list();
    return *none;
}

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
// The default logger itself, for a comparison without reading the record.
constinit std::atomic<lum_log_base*> default_log_object{nullptr};

// The default logger is the module's own: a fork waits until no other thread
// dispatches through it (the lock is held only to copy the listener list),
// so a copy that logs finds the lock free. The lock's object is shared with
// the host, which takes it too (adding and removing listeners) without
// entering the gate: the fork takes it itself, within its bound.
std::mutex* default_log_lock() {
    default_log_record* r = default_log.load(std::memory_order_acquire);
    return r != nullptr ? &r->log->mutex : nullptr;
}
constinit lum_fork_hold default_log_hold{
    lum_fork_take{.take = [](std::chrono::steady_clock::time_point until) {
                      std::mutex* m = default_log_lock();
                      if (m == nullptr) return false;
                      for (int round = 0; !m->try_lock(); ++round) {
                          if (std::chrono::steady_clock::now() >= until) return false;
                          lum_fork_nap(round);
                      }
                      return true;
                  },
                  .give_back = [] { default_log_lock()->unlock(); }}};

const bool default_log_free_in_copies = (lum_at_fork([] { default_log_hold.before_fork(); },
                                                     [] { default_log_hold.after_fork_in_parent(); },
                                                     [] { default_log_hold.after_fork_in_copy(); }),
                                         true);

// A logger's lock, with the taking recorded when it is the default logger's.
// A fork handler that logs on the thread that took the default logger's lock
// for the fork already has it.
class listener_lock {
public:
    [[gnu::always_inline]] explicit listener_lock(lum_log_base* log)
        : log_(log), hold_(log == default_log_object.load(std::memory_order_relaxed) ? &default_log_hold : nullptr) {
        if (hold_ != nullptr) {
            entry_ = hold_->enter();
            locked_ = !hold_->taken_for_fork_by(entry_);
        }
        if (locked_) log_->mutex.lock();
    }
    [[gnu::always_inline]] ~listener_lock() {
        if (locked_) log_->mutex.unlock();
        if (hold_ != nullptr) hold_->leave(entry_);
    }
    listener_lock(const listener_lock&) = delete;
    listener_lock& operator=(const listener_lock&) = delete;

private:
    lum_log_base* log_;
    lum_fork_hold* hold_;
    lum_fork_hold::entry entry_{};
    bool locked_ = true;
};

} // namespace

void lum_log_base::dispatch(uint32_t level, const std::string& text) {
    std::vector<std::shared_ptr<lum_log_listener_record>> copy;
    struct close_at_exit {
        ~close_at_exit() { close_dispatch_list(); }
    } close;
    dispatch_list* list = nullptr;
    {
        const listener_lock lock(this);
        if (listeners.empty()) return;
        list = &open_dispatch_list();
        copy = listeners;
        for (const auto& record : copy) {
            record->uses.fetch_add(1, std::memory_order_acq_rel);
            list->push_back(record.get());
        }
    }
    // Listeners run without the logger's lock: a listener may log again (the
    // nested dispatch copies the list anew) and may take other locks.
    for (const auto& record : copy) {
        if (!record->removed.load(std::memory_order_acquire) && record->listener != nullptr) {
            try {
                switch (level) {
                case LUM_LOG_WARNING: record->listener->on_warning(text); break;
                case LUM_LOG_ERROR: record->listener->on_error(text); break;
                case LUM_LOG_NOTICE: record->listener->on_notice(text); break;
                case LUM_LOG_REGISTRATION: record->listener->on_registration(text); break;
                default: break;
                }
            } catch (...) {
                // A failing listener must not leave its use counted or break
                // the code that logged.
            }
        }
        for (auto it = list->begin(); it != list->end(); ++it) {
            if (*it == record.get()) {
                list->erase(it);
                break;
            }
        }
        record->uses.fetch_sub(1, std::memory_order_acq_rel);
        if (record->removed.load(std::memory_order_acquire)) {
            const listener_lock lock(this);
            listener_released.notify_all();
        }
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
    if (default_log.compare_exchange_strong(made, fresh, std::memory_order_acq_rel)) {
        default_log_object.store(fresh->log, std::memory_order_release);
        return fresh->log;
    }
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
