// The stand-in host's logger and listener management.
#pragma once

#include <cstdio>
#include <memory>
#include <string_view>

#include "runtime/log.h"

// Writes one message to `out` the way every message of the host goes out:
// standard output is flushed first, so that output and messages sent to one
// file keep the order of the run; a line feed ends the message when it has
// none; `out` is flushed after. Allocates nothing.
void lum_host_message(std::string_view text, std::FILE* out = stderr);

// A logger that prints warnings, errors and (when enabled) notices to a C
// stream, one text per line, through lum_host_message.
class lum_host_logger : public lum_log_base {
public:
    explicit lum_host_logger(std::FILE* out = stderr) : out_(out) {}
    void hook_warning(const std::string& text) override { print(text); }
    void hook_error(const std::string& text) override { print(text); }
    void hook_notice(const std::string& text) override { print(text); }
    void hook_registration(const std::string& text) override { print(text); }

private:
    void print(const std::string& text);
    std::FILE* out_;
};

// Adds a listener to a logger; returns its record (keep it to remove the listener).
std::shared_ptr<lum_log_listener_record> lum_host_add_listener(lum_log_base& log, lum_log_listener* listener);

// Removes a listener: marks its record removed, takes it off the list and
// waits until no other thread is inside it. Calls of the listener running on
// the calling thread itself (a listener removing itself) are not waited for.
void lum_host_remove_listener(lum_log_base& log, const std::shared_ptr<lum_log_listener_record>& record);
