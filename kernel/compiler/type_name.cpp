#include "kernel/compiler/type_name.h"

std::string lumk_type_name(const std::vector<lumk_struct_layout>& structs, const lumk_type& type) {
    std::string s;
    if (type.is_const) s += "const ";
    if (type.prim == LUMK_PRIM_STRUCT) {
        if (type.struct_index >= 0 && static_cast<size_t>(type.struct_index) < structs.size())
            s += structs[static_cast<size_t>(type.struct_index)].name;
        else
            s += "struct";
    } else {
        s += lumk_prim_name(type.prim);
    }
    if (type.is_pointer) s += "*";
    return s;
}
