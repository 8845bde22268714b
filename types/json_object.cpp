#include "types/json_object.h"

#include <xxhash.h>

#include <algorithm>
#include <cctype>
#include <new>
#include <utility>

#include "runtime/log.h"
#include "runtime/namespace.h"
#include "runtime/vm.h"
#include "types/json_methods.h"
#include "types/string_object.h"
#include "vm/runtime_error.h"

// ---- lum_json_key_index ----

namespace {
constexpr size_t initial_slots = 8;

uint64_t key_hash(std::string_view key) noexcept { return XXH3_64bits(key.data(), key.size()); }
}  // namespace

lum_json_key_index::lum_json_key_index() : slots_(initial_slots) {}

lum_json_key_index::lum_json_key_index(size_t expected_keys) {
    size_t n = initial_slots;
    while (n * 3 < expected_keys * 4) n *= 2;
    slots_.resize(n);
}

size_t lum_json_key_index::slot_of(std::string_view key, uint64_t hash) const noexcept {
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots_[i].count != 0) {
        if (slots_[i].hash == hash && slots_[i].key == key) return i;
        i = (i + 1) & mask;
    }
    return i;
}

lum_json_key_index::record* lum_json_key_index::find(std::string_view key) noexcept {
    if (size_ == 0) return nullptr;
    record& r = slots_[slot_of(key, key_hash(key))];
    return r.count != 0 ? &r : nullptr;
}

const lum_json_key_index::record* lum_json_key_index::find(std::string_view key) const noexcept {
    return const_cast<lum_json_key_index*>(this)->find(key);
}

const lum_json_key_index::record* lum_json_key_index::find(std::string_view key, uint32_t& slot) const noexcept {
    if (size_ == 0) return nullptr;
    const size_t i = slot_of(key, key_hash(key));
    if (slots_[i].count == 0) return nullptr;
    slot = static_cast<uint32_t>(i);
    return &slots_[i];
}

void lum_json_key_index::grow() {
    std::vector<record> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (record& r : old) {
        if (r.count == 0) continue;
        size_t i = static_cast<size_t>(r.hash) & mask;
        while (slots_[i].count != 0) i = (i + 1) & mask;
        slots_[i] = std::move(r);
    }
}

void lum_json_key_index::add(std::string_view key, lumvar* cell, bool designate) {
    const uint64_t hash = key_hash(key);
    size_t i = slot_of(key, hash);
    record& found = slots_[i];
    if (found.count != 0) {
        ++found.count;
        if (designate) found.designated = cell;
        return;
    }
    // Keep the load at most 3/4 so probe runs stay short.
    if ((size_ + 1) * 4 > slots_.size() * 3) {
        grow();
        i = slot_of(key, hash);
    }
    record& r = slots_[i];
    r.key.assign(key.data(), key.size());
    r.designated = cell;
    r.count = 1;
    r.hash = hash;
    ++size_;
}

bool lum_json_key_index::erase(std::string_view key) noexcept {
    if (size_ == 0) return false;
    size_t hole = slot_of(key, key_hash(key));
    if (slots_[hole].count == 0) return false;
    // Backward-shift deletion: later records of the probe run move into the
    // hole unless their home slot lies cyclically within (hole, j].
    const size_t mask = slots_.size() - 1;
    size_t j = hole;
    for (;;) {
        j = (j + 1) & mask;
        if (slots_[j].count == 0) break;
        const size_t home = static_cast<size_t>(slots_[j].hash) & mask;
        const bool stays = hole < j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (stays) continue;
        slots_[hole] = std::move(slots_[j]);
        hole = j;
    }
    record& r = slots_[hole];
    r.key.clear();
    r.designated = nullptr;
    r.count = 0;
    r.hash = 0;
    --size_;
    return true;
}

// ---- json_visit_guard ----

namespace {
struct thread_visit_state {
    json_visit_guard guard;
    uint8_t mark = 0;
};

// The thread's instance is built in this thread's storage on first use and
// never destroyed: its stack gives its memory back whenever a walk ends (the
// stack empties), so an idle instance owns nothing, and a walk that runs
// while the thread's per-thread objects are being destroyed (the release of
// an owning value held by one of them) finds it intact.
alignas(thread_visit_state) thread_local constinit unsigned char visit_storage[sizeof(thread_visit_state)] = {};
thread_local constinit thread_visit_state* thread_visits = nullptr;

thread_visit_state& visit_state() {
    if (thread_visits == nullptr) thread_visits = ::new (static_cast<void*>(visit_storage)) thread_visit_state();
    return *thread_visits;
}
}  // namespace

bool json_visit_guard::push(const lum_std_json* container) {
    if (stack.size() >= max_depth) {
        reason = reason_too_deep;
        return false;
    }
    if (std::find(stack.begin(), stack.end(), container) != stack.end()) {
        reason = reason_cycle;
        return false;
    }
    stack.push_back(container);
    return true;
}

void json_visit_guard::pop(bool accepted) {
    if (accepted && !stack.empty()) stack.pop_back();
    thread_visit_state& state = visit_state();
    if (this == &state.guard && stack.empty()) {
        state.mark = 0;
        decltype(stack)().swap(stack);
    }
}

json_visit_guard& json_visit_guard::for_thread() { return visit_state().guard; }

uint8_t& json_visit_guard::thread_mark() { return visit_state().mark; }

// ---- lum_std_json: builders ----

lum_std_json::~lum_std_json() { clear(); }

lum_std_json* lum_std_json::create() { return lum_pool_new<&lum_vm::pool_jsons>(); }

void lum_std_json::index_designated(const std::string& key, lumvar* cell) {
    ensure_index();
    if (!key_index) key_index = std::make_unique<lum_json_key_index>();
    key_index->add(key, cell, true);
}

void lum_std_json::push_keyed(lumvar_shared&& value, std::string_view key) {
    ensure_index();
    lumvar_shared cell = lumvar_shared::make();
    if (value) cell->set(value);
    value.reset();
    lumvar* raw = cell.get();
    entries.push_back(lum_json_entry{nullptr, std::move(cell)});
    if (!key.empty()) {
        entries.back().key = std::make_unique<std::string>(key);
        index_designated(*entries.back().key, raw);
    }
}

lumvar_shared& lum_std_json::emplace_back() {
    entries.push_back(lum_json_entry{nullptr, lumvar_shared::make()});
    return entries.back().value;
}

lumvar_shared& lum_std_json::emplace_keyed(std::string_view key) {
    if (key.empty()) return emplace_back();
    return emplace_present_key(key);
}

lumvar_shared& lum_std_json::emplace_present_key(std::string_view key) {
    ensure_index();
    entries.push_back(lum_json_entry{std::make_unique<std::string>(key), lumvar_shared::make()});
    lum_json_entry& e = entries.back();
    index_designated(*e.key, e.value.get());
    return e.value;
}

lumvar_shared lum_std_json::at(int64_t index) {
    const int64_t n = static_cast<int64_t>(entries.size());
    if (index < 0) index += n;
    if (index < 0 || index >= n) return lum_runtime_error(true, "Out of bounds access.");
    return entries[static_cast<size_t>(index)].value;
}

lumvar_shared lum_std_json::get_or_add(std::string_view key) {
    if (lumvar* cell = find_key(key)) return lumvar_shared(cell);
    return emplace_present_key(key);
}

bool lum_std_json::has_key(std::string_view key) const {
    ensure_index();
    return key_index && key_index->find(key) != nullptr;
}

lumvar* lum_std_json::find_key(std::string_view key) const {
    ensure_index();
    if (!key_index) return nullptr;
    const lum_json_key_index::record* r = key_index->find(key);
    return r != nullptr ? r->designated : nullptr;
}

lumvar* lum_std_json::find_key_noting_slot(std::string_view key, uint32_t& slot) const {
    ensure_index();
    if (!key_index) return nullptr;
    const lum_json_key_index::record* r = key_index->find(key, slot);
    return r != nullptr ? r->designated : nullptr;
}

uint32_t lum_std_json::key_count(std::string_view key) const {
    ensure_index();
    if (!key_index) return 0;
    const lum_json_key_index::record* r = key_index->find(key);
    return r != nullptr ? r->count : 0;
}

// ---- removal ----

namespace {

// Entry arrays that containers have let go of, released by the outermost
// release on the thread. Releasing an entry can release a nested container,
// whose entries then join this stack instead of being released one level
// deeper on the native stack: containers nested to any depth are released at
// a constant stack depth. A nested array is finished before the rest of the
// array that held it, so entries go in the same depth-first order as by
// recursion (and pooled cells and objects return to their pools in an order
// that keeps the next document's allocations close together).
struct entry_release_frame {
    std::vector<lum_json_entry> entries;
    size_t next = 0;
};

struct entry_release_stack {
    std::vector<entry_release_frame> frames;  // nested arrays waiting, innermost last
};

// The stack of the outermost release running on this thread, null when none
// runs. It lives in that call's frame, so nothing per-thread is left for
// thread exit to destroy: a release that runs while the thread's per-thread
// objects are being destroyed works as any other.
thread_local constinit entry_release_stack* running_release = nullptr;

// A string value that only this entry holds gives its text buffer back to the
// heap before the string object goes back to its pool. A pooled object keeps
// its buffer for its next use; the buffers of a released document would then
// stay scattered over the heap, and everything allocated later (the next
// document's cells, keys and texts) would have to fit around them.
void drop_sole_string_buffer(const lum_json_entry& e) {
    lumvar* v = e.value.get();
    if (v == nullptr || v->refcount != 1 || v->type != LUMVAR_STRING) return;
    lum_std_string* s = v->string_object();
    if (s == nullptr || s->text.capacity() <= std::string().capacity()) return;
    const lumptr_ref_record* r = s->ref_record;
    if (r == nullptr || r->strong != 1 || r->weak != 0) return;
    std::string().swap(s->text);
}

// Releases the entries (keys freed, handles released) and the array itself.
void release_entries(std::vector<lum_json_entry>&& batch) {
    if (entry_release_stack* running = running_release) {
        try {
            running->frames.push_back(entry_release_frame{std::move(batch), 0});
            return;
        } catch (...) {
            // No room to queue it: released right here, one level deeper.
            for (const lum_json_entry& e : batch) drop_sole_string_buffer(e);
            batch.clear();
            return;
        }
    }
    if (batch.empty()) return;
    entry_release_stack stack;
    entry_release_frame first{std::move(batch), 0};
    running_release = &stack;
    struct end_of_release {
        ~end_of_release() { running_release = nullptr; }
    } end;
    for (;;) {
        entry_release_frame& top = stack.frames.empty() ? first : stack.frames.back();
        if (top.next == top.entries.size()) {
            if (stack.frames.empty()) break;
            stack.frames.pop_back();
            continue;
        }
        lum_json_entry& e = top.entries[top.next++];
        drop_sole_string_buffer(e);
        e.key.reset();
        // Moved out first: releasing it may push a frame (moving `top`).
        lumvar_shared value = std::move(e.value);
        value.reset();
    }
}

}  // namespace

void lum_std_json::clear() {
    // Moved out first: releasing a value may run code that reaches this
    // container again, which must then see it empty and consistent.
    std::vector<lum_json_entry> old;
    old.swap(entries);
    key_index.reset();
    index_pending_ = false;
    release_entries(std::move(old));
}

void lum_std_json::clear_free() {
    json_visit_scope visit(json_visit_guard::for_thread(), this);
    if (!visit.accepted()) return;
    // By position: emptying a nested container releases objects, which may
    // run code that changes this container.
    for (size_t i = 0; i < entries.size(); ++i) {
        lumvar* v = entries[i].value.get();
        if (v == nullptr) continue;
        if (v->type == LUMVAR_JSON) {
            if (lum_std_json* inner = v->json_container()) {
                lumptr_strong<lumobject_base> keep(inner);
                inner->clear_free();
            }
        } else if (v->refcount == 1) {
            // Only a cell that nothing else holds may take its object down with it.
            v->flags |= LUMVAR_FLAG_OWNING;
        }
    }
    clear();
}

bool lum_std_json::erase_at(int64_t index) {
    const int64_t n = static_cast<int64_t>(entries.size());
    if (index < 0) index += n;
    if (index < 0 || index >= n) return false;
    ensure_index();
    const size_t pos = static_cast<size_t>(index);
    lum_json_entry& e = entries[pos];
    if (e.key && key_index) {
        if (lum_json_key_index::record* r = key_index->find(*e.key)) {
            // A record is removed while its count still marks the slot as taken.
            if (r->count <= 1) {
                key_index->erase(*e.key);
            } else if (--r->count, r->designated == e.value.get()) {
                lumvar* next = nullptr;
                for (const lum_json_entry& o : entries) {
                    if (o.key && o.value.get() != e.value.get() && *o.key == *e.key) {
                        next = o.value.get();
                        break;
                    }
                }
                // No other entry carries the key (the count was off): drop the
                // record rather than keep a pointer to a cell about to go.
                if (next != nullptr)
                    r->designated = next;
                else
                    key_index->erase(*e.key);
            }
        }
    }
    // The entry is destroyed after the container is consistent again.
    lum_json_entry removed = std::move(e);
    entries.erase(entries.begin() + index);
    return true;
}

bool lum_std_json::erase_key(std::string_view key) {
    ensure_index();
    if (!key_index) return false;
    if (key_index->find(key) == nullptr) {
        lum_get_log().notice("Key ", key, " does not exist!");
        return false;
    }
    const std::string k(key);  // `key` may view the text of an entry removed below
    std::vector<lum_json_entry> removed;
    size_t w = 0;
    for (size_t r = 0; r < entries.size(); ++r) {
        if (entries[r].key && *entries[r].key == k) {
            removed.push_back(std::move(entries[r]));
        } else {
            if (w != r) entries[w] = std::move(entries[r]);
            ++w;
        }
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(w), entries.end());
    key_index->erase(k);
    return !removed.empty();
}

bool lum_std_json::remove_key_recursive(std::string_view key) {
    json_visit_scope visit(json_visit_guard::for_thread(), this);
    if (!visit.accepted()) return true;
    const std::string k(key);
    erase_key(k);
    for (size_t i = 0; i < entries.size(); ++i) {
        lumvar* v = entries[i].value.get();
        if (v == nullptr || v->type != LUMVAR_JSON) continue;
        if (lum_std_json* inner = v->json_container()) {
            lumptr_strong<lumobject_base> keep(inner);
            inner->remove_key_recursive(k);
        }
    }
    return true;
}

// ---- copying and index maintenance ----

void lum_std_json::assign_from(const lum_std_json& other) {
    std::vector<lum_json_entry> copied;
    copied.reserve(other.entries.size());
    for (const lum_json_entry& e : other.entries) {
        lumvar_shared cell = lumvar_shared::make();
        if (e.value) {
            lumvar_shared source = e.value;
            cell->set(source);
        }
        copied.push_back(lum_json_entry{e.key ? std::make_unique<std::string>(*e.key) : nullptr, std::move(cell)});
    }
    std::vector<lum_json_entry> old;
    old.swap(entries);
    key_index.reset();
    index_pending_ = false;
    entries = std::move(copied);
    for (lum_json_entry& e : entries) {
        if (!e.key) continue;
        if (!key_index) key_index = std::make_unique<lum_json_key_index>();
        key_index->add(*e.key, e.value.get(), false);
    }
    old.clear();
}

void lum_std_json::rebuild_key_index() {
    key_index.reset();
    index_pending_ = false;
    for (lum_json_entry& e : entries) {
        if (!e.has_key()) continue;
        if (!key_index) key_index = std::make_unique<lum_json_key_index>();
        key_index->add(*e.key, e.value.get(), false);
    }
}

void lum_std_json::drop_keys() {
    key_index.reset();
    index_pending_ = false;
    for (lum_json_entry& e : entries) e.key.reset();
}

void lum_std_json::defer_key_index() {
    key_index.reset();
    index_pending_ = true;
}

void lum_std_json::build_pending_index() const {
    index_pending_ = false;
    size_t keyed = 0;
    for (const lum_json_entry& e : entries) keyed += e.key != nullptr;
    if (keyed == 0) return;
    key_index = std::make_unique<lum_json_key_index>(keyed);
    for (const lum_json_entry& e : entries)
        if (e.key) key_index->add(*e.key, e.value.get(), true);
}

// ---- sorting support ----

size_t lum_std_json::partition_keyed() {
    ensure_index();  // a deferred index depends on the order of the entries
    size_t lo = 0;
    size_t hi = entries.size();
    for (;;) {
        while (lo < hi && entries[lo].key) ++lo;
        while (hi > lo && !entries[hi - 1].key) --hi;
        if (lo >= hi) break;
        std::swap(entries[lo], entries[hi - 1]);
        ++lo;
        --hi;
    }
    return lo;
}

namespace {
bool key_less_nocase(const lum_json_entry& a, const lum_json_entry& b) {
    const std::string& x = *a.key;
    const std::string& y = *b.key;
    const size_t n = std::min(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        const int cx = std::tolower(static_cast<unsigned char>(x[i]));
        const int cy = std::tolower(static_cast<unsigned char>(y[i]));
        if (cx != cy) return static_cast<unsigned char>(cx) < static_cast<unsigned char>(cy);
    }
    return x.size() < y.size();
}
}  // namespace

void lum_std_json::sort_keys_nocase() {
    const size_t keyed = partition_keyed();
    std::sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keyed), key_less_nocase);
}

void lum_std_json::sort_keys_reverse() {
    const size_t keyed = partition_keyed();
    std::sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(keyed),
              [](const lum_json_entry& a, const lum_json_entry& b) { return *b.key < *a.key; });
}

int64_t lum_std_json::find_nocase(std::string_view key) const {
    if (key.empty()) return -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        const lum_json_entry& e = entries[i];
        if (!e.has_key() || e.key->size() != key.size()) continue;
        const std::string& k = *e.key;
        size_t j = 0;
        while (j < k.size() && std::tolower(static_cast<unsigned char>(k[j])) ==
                                   std::tolower(static_cast<unsigned char>(key[j])))
            ++j;
        if (j == k.size()) return static_cast<int64_t>(i);
    }
    return -1;
}

// ---- object operations ----

void lum_std_json::destroy() {
    clear();
    lum_pool_delete<&lum_vm::pool_jsons>(this);
}

lumvar_shared lum_std_json::get_member(int64_t index) { return at(index); }

lumvar_shared lum_std_json::get_member(std::string_view name) { return get_or_add(name); }

void lum_std_json::set_member(int64_t index, lumvar_shared value) {
    lumvar_shared target = at(index);
    target->set(value);
    value.reset();
}

void lum_std_json::set_member(std::string_view name, lumvar_shared value) {
    lumvar_shared target = get_or_add(name);
    target->set(value);
    value.reset();
}

bool lum_std_json::has_member(int64_t index) {
    return index >= 0 && static_cast<uint64_t>(index) < entries.size();
}

bool lum_std_json::has_member(std::string_view name) { return has_key(name); }

bool lum_std_json::compare_zero() { return entries.empty(); }

int64_t lum_std_json::size() { return static_cast<int64_t>(entries.size()); }

// ---- registration ----

void lum_std_json::script_register() {
    set_factory([] { return lumptr_strong<lum_std_json>(create()); });
    lum_std_json_register_methods();
}

void lum_std_json_namespace_init(lum_namespace& ns) {
    lum_function_def* def = lum_namespace::add_class<lum_std_json>(
        ns,
        [](lum_vm_context&, std::vector<lumvar_shared>& args) -> lumvar_shared {
            lumvar_shared result = lumvar_shared::make_typed(LUMVAR_JSON);
            lum_std_json* target = result->json_container();
            if (args.empty() || target == nullptr) return result;
            lumvar_shared first = args[0] ? args[0] : lumvar_shared::make();
            if (first->type == LUMVAR_JSON) {
                if (lum_std_json* source = first->json_container()) target->assign_from(*source);
                return result;
            }
            const bool suppress = args.size() > 1 && args[1] && args[1]->get_bool();
            target->from_string(first->to_std_string(), suppress);
            return result;
        },
        "Create a new JSON object, optionally initialized from a JSON string");
    if (def != nullptr) {
        def->arg_docs.push_back("json: string - Optional JSON string to parse into the new object");
        def->arg_docs.push_back("suppress_errors: bool - Suppress any error messages.");
    }
}
