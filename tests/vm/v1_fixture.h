#pragma once
// The host VM fixture (namespace
// v1test), under the name the tests of other folders include; the VM test
// support is in vm_support.h.
#include "tests/vm/vm_support.h"
