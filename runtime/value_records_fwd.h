// Forward declarations of the value cell's payload records (defined in
// runtime/value_records.h), for headers that only name them: the cell's
// payload accessors and the VM's pools.
#pragma once

struct lumvar_object_holder;
struct lumvar_class_holder;
struct lumvar_class_def_holder;
struct lumvar_function_record;
struct lumvar_ext_function_record;
struct lumvar_member_name_ref;
struct lumvar_member_index_ref;
struct lumvar_member_key_ref;
