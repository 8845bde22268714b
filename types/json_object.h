// The object behind every json value and the script class "std.json": an
// ordered vector of entries, each an optional key and a value cell, serving
// both as a list and as an object. Duplicate keys are allowed; list elements
// and keyed members may be mixed.
//
// A key index, built on the first keyed insert, answers exact-case lookups. It
// maps each key to the value CELL of one entry carrying it (the designated
// entry) and to the number of entries that carry it. It never stores
// positions, so moving entries (insert, erase, sort) never invalidates it.
// Which entry is designated depends on the operation that last touched the key:
//   keyed append (push_keyed, emplace_keyed, get_or_add miss)  -> the new entry
//   assign_from, rebuild_key_index                              -> the FIRST entry
//   erase_at of the designated entry while others remain        -> the first remaining
//
// "Has a key" means a present and non-empty key (lum_json_entry::has_key)
// unless an operation says otherwise; has_present_key() is the other test (a
// present key may be empty: get_or_add("") stores one).
//
// Containers come from the current VM's json pool when the calling thread owns
// the VM lock, else from the heap. The builders (push_keyed, emplace_back,
// emplace_keyed, get_or_add, at, has_key) never require the VM lock: a worker
// thread may build a container that only it can reach (its cells and objects
// then come from the heap). Everything else runs on the thread that holds the
// VM lock; only the final release may happen elsewhere.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/class_binding.h"
#include "runtime/pool.h"
#include "runtime/value.h"

class lum_std_json;
class lum_namespace;
struct lum_binary_reader;

// One entry: a key (null for a list element; a present key may be empty) and
// the entry's own value cell. Moving an entry moves the key pointer (the text
// keeps its address) and the handle.
struct lum_json_entry {
    std::unique_ptr<std::string> key;
    lumvar_shared value;

    // A present, non-empty key.
    bool has_key() const noexcept { return key && !key->empty(); }
    // A present key, possibly empty.
    bool has_present_key() const noexcept { return key != nullptr; }
};

// The key index: an open-addressing hash table (XXH3, linear probing) from
// key text to {designated cell, count}. Keys compare byte for byte (NUL bytes
// included).
class lum_json_key_index {
public:
    struct record {
        std::string key;
        lumvar* designated = nullptr;  // the cell lookups by this key return
        uint32_t count = 0;            // entries carrying the key; 0 = free slot
        uint64_t hash = 0;
    };

    lum_json_key_index();
    // Sized for `expected_keys` keys without growing.
    explicit lum_json_key_index(size_t expected_keys);

    record* find(std::string_view key) noexcept;
    const record* find(std::string_view key) const noexcept;
    // As find; also stores the record's slot in `slot` when found.
    const record* find(std::string_view key, uint32_t& slot) const noexcept;
    // The live record at `slot` when it carries `key`, else null. A record is
    // the only one for its key, so a slot remembered from an earlier find is
    // good exactly while this check passes, whatever happened in between.
    const record* at_slot(uint32_t slot, std::string_view key) const noexcept {
        if (slot >= slots_.size()) return nullptr;
        const record& r = slots_[slot];
        if (r.count == 0 || r.key.size() != key.size()) return nullptr;
        // Most keys are short: the first byte decides most mismatches without a call.
        if (key.empty()) return &r;
        const char* text = r.key.data();
        if (text[0] != key[0]) return nullptr;
        return key.size() == 1 || std::memcmp(text + 1, key.data() + 1, key.size() - 1) == 0 ? &r : nullptr;
    }
    // One more entry carries `key`: a new record {cell, 1}, or count + 1 and,
    // when `designate` is set, `cell` becomes the designated cell.
    void add(std::string_view key, lumvar* cell, bool designate);
    // Removes the key's record; false when there is none.
    bool erase(std::string_view key) noexcept;
    size_t size() const noexcept { return size_; }

    // Calls f(const record&) for every record (no particular order).
    template <class F>
    void for_each(F&& f) const {
        for (const record& r : slots_)
            if (r.count != 0) f(r);
    }

private:
    size_t slot_of(std::string_view key, uint64_t hash) const noexcept;
    void grow();

    std::vector<record> slots_;  // power-of-two size
    size_t size_ = 0;
};

// Guard against cycles and deep nesting in walks over containers: a stack of
// at most 1024 containers being visited and the reason of the last refusal.
// Every walker pushes before it walks into a container and pops after it, also
// when the push was refused.
//
// One instance lives per thread, with the thread's mark byte (set by walkers
// when a refusal or failure happened below the outermost container, cleared
// whenever a pop leaves the per-thread stack empty); the binary form, clear_free
// and remove_key_recursive use it. The text forms use a fresh local instance
// per conversion.
struct json_visit_guard {
    static constexpr size_t max_depth = 1024;
    enum : uint32_t { reason_none = 0, reason_cycle = 1, reason_too_deep = 2 };

    std::vector<const lum_std_json*> stack;
    uint32_t reason = reason_none;

    // Refuses with reason 2 when 1024 containers are on the stack, else with
    // reason 1 when the container already is; otherwise pushes it.
    bool push(const lum_std_json* container);
    // Ends the visit of the matching push (removes the top when it was
    // accepted). On the per-thread instance an empty stack clears the mark byte.
    void pop(bool accepted);

    static json_visit_guard& for_thread();
    static uint8_t& thread_mark();
};

// Pushes on construction, pops on destruction (on every path).
class json_visit_scope {
public:
    json_visit_scope(json_visit_guard& guard, const lum_std_json* container)
        : guard_(guard), accepted_(guard.push(container)) {}
    ~json_visit_scope() { guard_.pop(accepted_); }
    json_visit_scope(const json_visit_scope&) = delete;
    json_visit_scope& operator=(const json_visit_scope&) = delete;
    bool accepted() const noexcept { return accepted_; }

private:
    json_visit_guard& guard_;
    bool accepted_;
};

class lum_std_json : public lumobject<lum_std_json, CLASS_STRING<"std.json">>, public lum_pooled_class {
public:
    static constexpr uint32_t constructor_max_args = 2;

    std::vector<lum_json_entry> entries;
    // Null until the first keyed insert, and while the index is deferred (see
    // defer_key_index): read it through the functions below.
    mutable std::unique_ptr<lum_json_key_index> key_index;

    ~lum_std_json() override;

    // A new empty container: pooled when the pool-or-heap rule holds, else on
    // the heap (pool slot 255).
    static lum_std_json* create();

    // ---- builders ----

    // Appends an entry whose fresh cell is assigned from `value`; the caller's
    // handle is released and emptied. An empty key makes a list element; a
    // non-empty key becomes designated.
    void push_keyed(lumvar_shared&& value, std::string_view key);
    // Appends an unkeyed entry holding a new none value; returns its handle
    // (valid until the entry vector changes).
    lumvar_shared& emplace_back();
    // As emplace_back with a key (an empty key makes an unkeyed entry).
    lumvar_shared& emplace_keyed(std::string_view key);
    // Appends an entry with a PRESENT key (stored even when empty), designated
    // for it; returns its handle. get_or_add's miss path and the text parser.
    lumvar_shared& emplace_present_key(std::string_view key);
    // The entry's own cell at `index` (negative counts from the end); out of
    // range: the aborting run-time error "Out of bounds access." and a new none.
    lumvar_shared at(int64_t index);
    // The designated cell of `key`; a missing key (also the empty key) is
    // appended as a keyed entry with a none value.
    lumvar_shared get_or_add(std::string_view key);
    // Whether the index has a record for the key (false without an index).
    bool has_key(std::string_view key) const;

    // ---- index inspection ----

    // The designated cell of `key`, null when the key is not indexed.
    lumvar* find_key(std::string_view key) const;
    // find_key with a slot hint: when the index record at `slot` carries
    // `key` its designated cell is returned without hashing; otherwise the
    // key is looked up and `slot` set to its record's slot. Same result as
    // find_key in every case.
    lumvar* find_key_at(std::string_view key, uint32_t& slot) const {
        if (!index_pending_ && key_index)
            if (const lum_json_key_index::record* r = key_index->at_slot(slot, key)) return r->designated;
        return find_key_noting_slot(key, slot);
    }
    // The designated cell of `key` when the index record at `slot` carries
    // it (the index not deferred), else null; never hashes nor builds.
    lumvar* key_cell_at(std::string_view key, uint32_t slot) const noexcept {
        if (index_pending_ || !key_index) return nullptr;
        const lum_json_key_index::record* r = key_index->at_slot(slot, key);
        return r != nullptr ? r->designated : nullptr;
    }
    // Number of entries the index counts for `key` (0 when absent).
    uint32_t key_count(std::string_view key) const;

    // ---- removal ----

    // Destroys all entries (keys freed, handles released) and frees the index
    // and the entry array. Containers nested in the released values are
    // released afterwards, not inside this call, when a release is already
    // running on the thread (so nesting of any depth is released at a
    // constant native stack depth).
    void clear();
    // Empties the container recursively: nested containers are emptied, every
    // other value whose cell only this container holds is marked as owning its
    // object (so dropping it destroys the object). Containers the per-thread
    // visit guard refuses are left alone.
    void clear_free();
    // Removes the entry at `index` (negative counts from the end, once); false
    // when out of range. Keeps the index exact: the count drops, a record
    // whose count reaches 0 goes, and when the designated entry goes the first
    // remaining entry with the key becomes designated.
    bool erase_at(int64_t index);
    // Removes every entry whose present key equals `key` and the key's record.
    // No index: false. A key the index lacks: the level-8 notice
    // "Key <key> does not exist!" and false.
    bool erase_key(std::string_view key);
    // erase_key here, then in every container held by a remaining entry,
    // depth first in entry order; containers the per-thread visit guard
    // refuses are skipped silently. Returns true.
    bool remove_key_recursive(std::string_view key);

    // ---- copying and index maintenance ----

    // Replaces the content with the other container's entries: fresh cells
    // assigned from the other values (nested containers are shared), keys
    // copied (present keys, also empty ones); the FIRST entry with a key is
    // designated. `other` may be this container.
    void assign_from(const lum_std_json& other);
    // Rebuilds the index from the entries with a non-empty key (first entry
    // designated). Used after an operation that dropped or reordered entries
    // in bulk (unique).
    void rebuild_key_index();
    // Frees the index and deletes every key: all entries become list elements.
    void drop_keys();
    // Drops the index and builds it again from the entries only when
    // something first needs it, as if every entry with a present key had
    // been appended in order by a keyed append (the last entry with a key is
    // designated, counts are exact). Readers that fill a container in bulk use
    // it: until then entries may be appended or removed directly. Moving keyed
    // entries relative to each other needs the index first (partition_keyed
    // and the sorts build it).
    void defer_key_index();

    // ---- sorting support (the index stores cells, so sorting never touches it) ----

    // Moves all entries with a present key before all unkeyed ones: scanning
    // from the front, each unkeyed entry is swapped with the last keyed entry
    // found scanning from the back. Returns the number of keyed entries.
    size_t partition_keyed();
    // partition_keyed, then the keyed part sorted by key, case-insensitive
    // ascending (bytes lowered with tolower). Order of equal keys unspecified.
    void sort_keys_nocase();
    // partition_keyed, then the keyed part sorted by key, byte-wise descending.
    void sort_keys_reverse();

    // ---- case-insensitive lookup (never uses the index) ----

    // Position of the first entry whose non-empty key equals `key` when both
    // are lowered byte by byte with tolower; -1 when none (or `key` is empty).
    int64_t find_nocase(std::string_view key) const;

    // ---- text and binary forms ----

    // Replaces the content with the parsed JSON text; true on success. Parse
    // errors are logged at error level unless `suppress_errors`. Running out
    // of memory is no parse error: the content is left empty and
    // lum_json_out_of_memory (a std::bad_alloc, types/json_text.h) is thrown.
    bool from_string(std::string_view text, bool suppress_errors);

    // Appends the binary JSON section "j11"; false (and nothing appended by the
    // outermost container) on a cycle, nesting beyond 1024 or a value that
    // cannot be written.
    bool to_binary(std::vector<uint8_t>& out) override;
    using lumobject_base::from_binary;
    // Replaces the content with the section read from `reader`. False on a
    // foreign tag, nesting beyond 1024 or a value that cannot be read; throws
    // std::runtime_error on truncated input or a member count larger than the
    // remaining data.
    bool from_binary(lum_binary_reader& reader) override;

    // ---- object operations ----

    // Slot 1: empties the container and returns it to its pool (or deletes it).
    void destroy() override;
    // Slot 4: the pretty JSON text (indent 4).
    std::string to_string() override;

    using lumobject::get_member;
    using lumobject::has_member;
    using lumobject::set_member;
    lumvar_shared get_member(int64_t index) override;            // at
    lumvar_shared get_member(std::string_view name) override;    // get_or_add
    void set_member(int64_t index, lumvar_shared value) override;
    void set_member(std::string_view name, lumvar_shared value) override;
    bool has_member(int64_t index) override;                     // 0 <= index < size
    bool has_member(std::string_view name) override;             // has_key
    bool compare_zero() override;
    int64_t size() override;

    // Installs the pooled factory and registers the script methods
    // (lum_std_json_register_methods, types/json_methods.h).
    static void script_register();

private:
    void index_designated(const std::string& key, lumvar* cell);
    lumvar* find_key_noting_slot(std::string_view key, uint32_t& slot) const;
    // Builds a deferred index.
    void ensure_index() const {
        if (index_pending_) build_pending_index();
    }
    void build_pending_index() const;

    mutable bool index_pending_ = false;
};

// Initialiser of namespace "std": registers "std.json" and publishes its
// constructor function `json`.
void lum_std_json_namespace_init(lum_namespace& ns);
