#include "kernel/exec/library_seal.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kMagic[8] = {'l', 'u', 'm', 'k', 'S', 'e', 'a', 'l'};
constexpr size_t kChunk = size_t{1} << 16;

void put64(unsigned char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t get64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

struct state_free {
    void operator()(XXH3_state_t* s) const { XXH3_freeState(s); }
};

// XXH3-64 of the first `size` bytes, read in chunks (the memory used does not
// grow with the file); false when a read fails.
bool hash_of(uint64_t size, const lumk_seal_reader& read, uint64_t* hash) {
    std::unique_ptr<XXH3_state_t, state_free> state(XXH3_createState());
    if (!state || XXH3_64bits_reset(state.get()) != XXH_OK) return false;
    std::vector<unsigned char> buf(static_cast<size_t>(std::min<uint64_t>(size, kChunk)));
    for (uint64_t at = 0; at < size;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - at, kChunk));
        if (!read(at, buf.data(), n) || XXH3_64bits_update(state.get(), buf.data(), n) != XXH_OK) return false;
        at += n;
    }
    *hash = XXH3_64bits_digest(state.get());
    return true;
}

}  // namespace

bool lumk_seal_make(uint64_t size, const lumk_seal_reader& read, std::array<unsigned char, lumk_seal_size>* trailer) {
    uint64_t hash = 0;
    if (!hash_of(size, read, &hash)) return false;
    put64(trailer->data(), size);
    put64(trailer->data() + 8, hash);
    std::memcpy(trailer->data() + 16, kMagic, sizeof kMagic);
    return true;
}

std::string lumk_seal_problem(uint64_t size, const lumk_seal_reader& read) {
    const std::string none = "it has no checksum (a library of an earlier version, or its end is damaged)";
    unsigned char tail[lumk_seal_size];
    if (size < lumk_seal_size) return none;
    if (!read(size - lumk_seal_size, tail, sizeof tail)) return "it cannot be read";
    if (std::memcmp(tail + 16, kMagic, sizeof kMagic) != 0 || get64(tail) != size - lumk_seal_size) return none;
    uint64_t hash = 0;
    if (!hash_of(size - lumk_seal_size, read, &hash)) return "it cannot be read";
    if (hash != get64(tail + 8)) return "it is damaged (its checksum does not match its contents)";
    return {};
}
