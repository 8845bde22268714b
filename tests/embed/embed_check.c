/* Calls the module's descriptor export through the linked library. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

struct descriptor {
    uint64_t abi_version;
    uint64_t constant_a;
    uint64_t constant_b;
    char kind[40];
};

const struct descriptor* lumioglue_check(void);
void* lumioglue_entry(void);

int main(void) {
    const struct descriptor* d = lumioglue_check();
    if (d == NULL || d->abi_version != 3001 || strcmp(d->kind, "MODULE_INTERNAL") != 0 || lumioglue_entry() == NULL) {
        fputs("embed_check: the module's exports are not the expected ones\n", stderr);
        return 1;
    }
    puts("embed_check: module linked");
    return 0;
}
