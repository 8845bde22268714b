// Text of a kernel type as written in declarations and printed in listings:
// "const f32*", "Particle*", "u8".
#pragma once

#include <string>
#include <vector>

#include "kernel/compiler/kernel_types.h"

std::string lumk_type_name(const std::vector<lumk_struct_layout>& structs, const lumk_type& type);
