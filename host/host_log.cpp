#include "host/host_log.h"

#include <algorithm>

void lum_host_message(std::string_view text, std::FILE* out) {
    if (out != stdout) std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), out);
    if (text.empty() || text.back() != '\n') std::fputc('\n', out);
    std::fflush(out);
}

void lum_host_logger::print(const std::string& text) { lum_host_message(text, out_); }

std::shared_ptr<lum_log_listener_record> lum_host_add_listener(lum_log_base& log, lum_log_listener* listener) {
    auto record = std::make_shared<lum_log_listener_record>();
    record->listener = listener;
    std::lock_guard<std::mutex> lock(log.mutex);
    log.listeners.push_back(record);
    return record;
}

void lum_host_remove_listener(lum_log_base& log, const std::shared_ptr<lum_log_listener_record>& record) {
    if (!record) return;
    const auto& running = lum_log_dispatch_list();
    uint32_t own = static_cast<uint32_t>(std::count(running.begin(), running.end(), record.get()));
    std::unique_lock<std::mutex> lock(log.mutex);
    record->removed.store(1, std::memory_order_release);
    auto& list = log.listeners;
    list.erase(std::remove(list.begin(), list.end(), record), list.end());
    log.listener_released.wait(lock, [&] { return record->uses.load(std::memory_order_acquire) <= own; });
}
