#pragma once
// Instruction-level programs and single interpreter runs (namespace
// v2test), under the name the tests of other folders include; the VM test
// support is in vm_support.h.
#include "tests/vm/vm_support.h"
