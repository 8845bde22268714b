// A per-thread object whose storage belongs to the runtime, not to the
// compiler's thread-local storage. Declare it as
//     thread_local constinit lum_per_thread<T> slot;
// and reach the object with slot.get(): made on the thread's first use,
// destroyed when the thread ends (lum_at_thread_exit). The slot itself is a
// bare pointer, trivially destructible, so nothing depends on the order in
// which the platform tears thread-local storage down.
#pragma once

#include "runtime/platform.h"

template <class T>
class lum_per_thread {
public:
    constexpr lum_per_thread() noexcept = default;
    lum_per_thread(const lum_per_thread&) = delete;
    lum_per_thread& operator=(const lum_per_thread&) = delete;

    T& get() {
        if (object_ == nullptr) [[unlikely]]
            create();
        return *object_;
    }

private:
    void create() {
        T* made = new T();
        lum_at_thread_exit([](void* p) { delete static_cast<T*>(p); }, made);
        object_ = made;
    }

    T* object_ = nullptr;
};
