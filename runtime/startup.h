// Start-up registration of namespace initialisers. runtime/startup.cpp holds
// the one ordered list (a single static initialiser), so the order never
// depends on link order. To add an entry: declare the registration function
// here and call it at its place in lum_register_startup_namespaces().
#pragma once

class lum_namespace;

// Runs the start-up registrations in order (called once by the static
// initialiser in startup.cpp).
void lum_register_startup_namespaces();

// Namespace initialisers, in start-up order. Each is defined by the area that
// owns the class; an entry is listed in startup.cpp once its definition exists.
//  1 "std"     kernel functions and classes      (kernel/script)
//  2 "std"     class "std.buffer"                (kernel/script)
//  3 "json"    class "json.bool"                 (types)
//  4 "std"     class "std.json"                  (types)
//  5 "std"     class "std.string"                (types)
//  6 "std"     class "std.thread"                (vm)
void lum_kernel_namespace_init(lum_namespace& ns);
void lum_std_buffer_namespace_init(lum_namespace& ns);
void lum_json_bool_namespace_init(lum_namespace& ns);
void lum_std_json_namespace_init(lum_namespace& ns);
void lum_std_string_namespace_init(lum_namespace& ns);
void lum_std_thread_namespace_init(lum_namespace& ns);
