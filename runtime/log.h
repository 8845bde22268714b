// The logger: a level mask, per-level hooks (no-ops in the base; the host
// derives loggers that print) and listeners called outside the logger's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "runtime/ptr.h"

inline constexpr uint32_t LUM_LOG_WARNING = 2;       // warnings
inline constexpr uint32_t LUM_LOG_ERROR = 4;         // errors
inline constexpr uint32_t LUM_LOG_NOTICE = 8;        // notices (class and member listings, task notices)
inline constexpr uint32_t LUM_LOG_REGISTRATION = 16; // registration problems
inline constexpr uint32_t LUM_LOG_DEFAULT_MASK = 39;

// Receives dispatched texts; the host derives listeners from it.
class lum_log_listener {
public:
    virtual ~lum_log_listener();
    virtual void on_reserved(const std::string& text);
    virtual void on_warning(const std::string& text);      // level 2
    virtual void on_error(const std::string& text);        // level 4
    virtual void on_notice(const std::string& text);       // level 8
    virtual void on_registration(const std::string& text); // level 16
};

struct lum_log_listener_record {
    lum_log_listener* listener = nullptr;
    std::atomic<uint32_t> uses{0};   // calls of this listener in progress
    std::atomic<uint8_t> removed{0}; // set by whoever removes the listener
};

class lum_log_base : public lumptr_base<lum_log_base>, public lumptr_type_tag<lum_log_base> {
public:
    lum_log_base();
    ~lum_log_base() override;

    // Hooks, one per level, called with the text before the listeners. They do
    // nothing in the base.
    virtual void hook_reserved(const std::string& text);
    virtual void hook_warning(const std::string& text);
    virtual void hook_error(const std::string& text);
    virtual void hook_notice(const std::string& text);
    virtual void hook_registration(const std::string& text);
    virtual void hook_reserved_9(const std::string& text);
    virtual void hook_reserved_10(const std::string& text);
    virtual void hook_reserved_11(const std::string& text);
    virtual void hook_reserved_12(const std::string& text);

    bool enabled(uint32_t level) const noexcept { return (level_mask.load(std::memory_order_relaxed) & level) != 0; }

    // Level-2 / level-4 / level-8 / level-16 methods: each tests its level bit
    // first, then formats its arguments one after another (texts, numbers,
    // pointers as 0x...), calls its hook and dispatches to the listeners.
    template <class... A>
    void warning(const A&... parts) {
        if (enabled(LUM_LOG_WARNING)) write(LUM_LOG_WARNING, concat(parts...));
    }
    template <class... A>
    void error(const A&... parts) {
        if (enabled(LUM_LOG_ERROR)) write(LUM_LOG_ERROR, concat(parts...));
    }
    template <class... A>
    void notice(const A&... parts) {
        if (enabled(LUM_LOG_NOTICE)) write(LUM_LOG_NOTICE, concat(parts...));
    }
    template <class... A>
    void registration(const A&... parts) {
        if (enabled(LUM_LOG_REGISTRATION)) write(LUM_LOG_REGISTRATION, concat(parts...));
    }
    void error_cstr(const char* text);
    // "While handling an error, a token without AST was passed.\n" + text, level 4.
    void error_without_ast(std::string_view text);

    // Calls the hook of `level` and dispatches `text` to the listeners (no
    // mask test). level is one of 2, 4, 8, 16.
    void write(uint32_t level, const std::string& text);

    // Text forms used by the formatting methods.
    static void append(std::string& out, std::string_view v) { out.append(v); }
    static void append(std::string& out, const char* v) { out.append(v ? v : ""); }
    static void append(std::string& out, const std::string& v) { out.append(v); }
    static void append(std::string& out, char v) { out.push_back(v); }
    static void append(std::string& out, bool v) { out.append(v ? "true" : "false"); }
    static void append(std::string& out, const void* v);
    static void append(std::string& out, double v);
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char>, int> = 0>
    static void append(std::string& out, I v) {
        if constexpr (std::is_signed_v<I>) append_signed(out, static_cast<long long>(v));
        else append_unsigned(out, static_cast<unsigned long long>(v));
    }
    template <class P, std::enable_if_t<std::is_pointer_v<P> && !std::is_same_v<std::remove_cv_t<std::remove_pointer_t<P>>, char>, int> = 0>
    static void append(std::string& out, P v) { append(out, static_cast<const void*>(v)); }
    static void append_signed(std::string& out, long long v);
    static void append_unsigned(std::string& out, unsigned long long v);

    template <class... A>
    static std::string concat(const A&... parts) {
        std::string out;
        (append(out, parts), ...);
        return out;
    }

    // Fields shared with the host, in order.
    std::atomic<uint32_t> level_mask{LUM_LOG_DEFAULT_MASK};
    std::vector<std::shared_ptr<lum_log_listener_record>> listeners; // guarded by mutex
    std::mutex mutex;
    std::condition_variable listener_released; // a removed listener's last running call ended

private:
    void dispatch(uint32_t level, const std::string& text);
};

// The calling thread's list of listener records whose dispatch is running on
// this thread (for the host's listener removal).
std::span<lum_log_listener_record* const> lum_log_dispatch_list();

// The process default logger (mask 39, no listeners, prints nothing). Built
// once, never freed.
lum_log_base* lum_make_default_log();

// The current logger: the thread's logger, else the current VM's, else the
// process default.
lum_log_base& lum_get_log();

// Registration notices.
void lum_log_class_added(lum_log_base& log, std::string_view type_name);    // level 8: "class: " name
void lum_log_member_added(lum_log_base& log, std::string_view member_name); // level 8: " - " name
void lum_log_missing_create_new(lum_log_base& log, std::string_view type_name); // level 16
