#include "runtime/startup.h"

#include "runtime/registry.h"

// The one ordered list of start-up registrations. Uncomment / add an entry
// when its initialiser exists; the order below is the registration order.
void lum_register_startup_namespaces() {
    register_namespace_initializer("std", lum_kernel_namespace_init);  // 1
    register_namespace_initializer("std", lum_std_buffer_namespace_init); // 2
    register_namespace_initializer("json", lum_json_bool_namespace_init);  // 3
    register_namespace_initializer("std", lum_std_json_namespace_init);  // 4
    register_namespace_initializer("std", lum_std_string_namespace_init);  // 5
    register_namespace_initializer("std", lum_std_thread_namespace_init);  // 6
    // The registry exists after start-up even when no entry is listed yet.
    (void)lum_registry();
}

namespace {
struct lum_startup_registrations {
    lum_startup_registrations() { lum_register_startup_namespaces(); }
};
const lum_startup_registrations startup_registrations;
} // namespace
