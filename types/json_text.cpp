#include "types/json_text.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/log.h"
#include "runtime/per_thread.h"
#include "runtime/thread_unwind.h"
#include "runtime/value_records.h"
#include "types/json_bool.h"
#include "types/string_object.h"
#include "kernel/script/buffer.h"
#include "vm/runtime_error.h"

namespace {

constexpr std::string_view marker_cycle = "<cycle>";
constexpr std::string_view marker_too_deep = "<nested too deeply>";

nlohmann::json refusal_marker(const json_visit_guard& visits) {
    return std::string(visits.reason == json_visit_guard::reason_too_deep ? marker_too_deep : marker_cycle);
}

// The object behind an object value without touching the cell (a gone object
// gives null; the cell is not turned into none while it is being printed).
lumobject_base* held_object(lumvar& v) {
    lumvar_object_holder* h = v.object_holder();
    return h != nullptr ? h->object.get() : nullptr;
}

bool has_named_entry(const lum_std_json& c) {
    for (const lum_json_entry& e : c.entries)
        if (e.has_key()) return true;
    return false;
}

// Stores `value` under `key`: a later entry with the same key replaces the
// earlier member. Keys that arrive in ascending order (the usual case for
// parsed content) are appended at the end of the map without a search.
void store_member(nlohmann::json::object_t& object, const std::string& key, nlohmann::json&& value) {
    if (object.empty() || object.rbegin()->first < key)
        object.emplace_hint(object.end(), key, std::move(value));
    else
        object[key] = std::move(value);
}

using value_converter = nlohmann::json (*)(lumvar*, json_visit_guard&);

// Steps shared by the text form and the reference listing: the container is
// already on the visit list and has entries.
nlohmann::json entries_to_document(lum_std_json& c, json_visit_guard& visits, value_converter convert) {
    if (!has_named_entry(c)) {
        nlohmann::json array = nlohmann::json::array();
        auto& items = array.get_ref<nlohmann::json::array_t&>();
        items.reserve(c.entries.size());
        for (size_t i = 0; i < c.entries.size(); ++i) items.push_back(convert(c.entries[i].value.get(), visits));
        return array;
    }
    static const std::string unnamed;
    nlohmann::json object = nlohmann::json::object();
    auto& members = object.get_ref<nlohmann::json::object_t&>();
    for (size_t i = 0; i < c.entries.size(); ++i) {
        nlohmann::json value = convert(c.entries[i].value.get(), visits);
        if (i >= c.entries.size()) break;  // the conversion ran code that shrank the container
        const lum_json_entry& e = c.entries[i];
        // Entries without a key print under "" in the document only.
        store_member(members, e.key ? *e.key : unnamed, std::move(value));
    }
    return object;
}

void warn_after_print(const json_visit_guard& visits, bool refs) {
    if (visits.reason == json_visit_guard::reason_cycle) {
        runtime_warning(refs ? "JSON contains a reference to itself, debug_refs shows \"<cycle>\" instead of "
                               "recursing forever."
                             : "JSON contains a reference to itself, printing \"<cycle>\" instead of recursing "
                               "forever.");
    } else if (visits.reason == json_visit_guard::reason_too_deep) {
        runtime_warning(refs ? "JSON nesting exceeds the maximum depth of 1024, debug_refs shows \"<nested too "
                               "deeply>\" for the rest."
                             : "JSON nesting exceeds the maximum depth of 1024, printing \"<nested too deeply>\" "
                               "for the rest.");
    }
}

std::string& print_document(nlohmann::json (*to_document)(lum_std_json*, json_visit_guard&), bool refs,
                            lum_std_json* container, std::string& out, bool compact) {
    out.clear();
    try {
        json_visit_guard visits;
        nlohmann::json document;
        {
            lumptr_strong<lumobject_base> keep(container);
            document = to_document(container, visits);
        }
        warn_after_print(visits, refs);
        out = document.dump(compact ? -1 : 4, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const lum_thread_unwind&) {
        // Cancelled in a warning's listener: the text is not made.
        out.clear();
        throw;
    } catch (...) {
        out.clear();
    }
    return out;
}

}  // namespace

// ---- container to document ----

nlohmann::json json_to_document(lum_std_json* container, json_visit_guard& visits) {
    if (container == nullptr) return nullptr;
    json_visit_scope visit(visits, container);
    if (!visit.accepted()) return refusal_marker(visits);
    if (container->entries.empty()) return nlohmann::json::object();
    return entries_to_document(*container, visits, value_to_document);
}

nlohmann::json value_to_document(lumvar* v, json_visit_guard& visits) {
    if (v == nullptr) return nullptr;
    switch (v->type) {
        case LUMVAR_NONE:
            return nullptr;
        case LUMVAR_INT:
            return v->payload.i;
        case LUMVAR_FLOAT:
            return v->payload.f;
        case LUMVAR_STRING: {
            const lum_std_string* s = v->string_object();
            return s != nullptr ? s->text : std::string();
        }
        case LUMVAR_JSON: {
            lum_std_json* c = v->json_container();
            if (c == nullptr || c->entries.empty()) return nlohmann::json::object();
            lumptr_strong<lumobject_base> keep(c);
            json_visit_scope visit(visits, c);
            if (!visit.accepted()) return refusal_marker(visits);
            return entries_to_document(*c, visits, value_to_document);
        }
        case LUMVAR_OBJECT:
            if (lum_std_json_bool* b = as_json_bool(held_object(*v))) {
                lumptr_strong<lumobject_base> keep(b);
                nlohmann::json out;
                b->to_json(out);
                return out;
            }
            return v->to_std_string();
        default:
            return v->to_std_string();
    }
}

// ---- printing ----

namespace {

using json_serializer = nlohmann::detail::serializer<nlohmann::json>;

// The containers that the printers running on this thread are inside of,
// outermost first. A printer can start inside another: the text form of an
// object value whose object is a container prints that container with a
// printer of its own. Sharing the list makes a container that an enclosing
// printer is still printing a cycle, and bounds the containers open across
// all of them to 1024, so printing always ends.
json_visit_guard& printers_on_thread() {
    static thread_local constinit lum_per_thread<json_visit_guard> visits;
    return visits.get();
}

// Prints running on this thread, each inside the one before. Every level
// escapes the text of the levels inside it once more (each backslash doubles),
// so the text grows exponentially with this nesting: beyond 16 levels a print
// gives the depth marker instead.
constexpr uint32_t max_nested_prints = 16;
uint32_t& nested_prints() {
    thread_local uint32_t count = 0;
    return count;
}

// Writes a container as the library would print json_to_document's result,
// without building that document: keys, strings and numbers go through the
// library's serializer (its escaping, UTF-8 replacement and number format),
// the structure follows its layout (indent, separators, key order).
//
// Warnings: the document is converted in entry order (depth first), so the
// refusal it meets last is the one with the greatest path of entry indexes;
// the printer tracks that path, since it visits members in key order. Entries
// that a later entry with the same key replaces are still walked (without
// output) for their refusals.
class json_printer {
public:
    json_printer(std::string& out, bool pretty)
        : serializer_(nlohmann::detail::output_adapter<char, std::string>(out), ' ',
                      nlohmann::json::error_handler_t::replace),
          out_(out),
          pretty_(pretty) {
        ++nested_prints();
    }
    ~json_printer() { --nested_prints(); }
    json_printer(const json_printer&) = delete;
    json_printer& operator=(const json_printer&) = delete;

    void print_top(lum_std_json* c) {
        if (c == nullptr) {
            write("null");
            return;
        }
        if (nested_prints() > max_nested_prints) {
            last_reason_ = json_visit_guard::reason_too_deep;
            return string(marker_too_deep);
        }
        json_visit_scope visit(visits_, c);
        if (!visit.accepted()) return refused();
        if (c->entries.empty()) return write("{}");
        print_entries(*c, 0);
    }

    // The refusal kind the document conversion would have met last (0: none).
    uint32_t last_refusal() const { return last_reason_; }

private:
    void write(std::string_view text) {
        if (dry_ == 0) out_.append(text);
    }
    void indent(unsigned n) {
        if (dry_ == 0) out_.append(n, ' ');
    }
    // Printable ASCII other than the quote and the backslash is the text the
    // library writes unchanged; anything else goes through its escaping.
    static bool plain_text(std::string_view text) {
        for (const char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            if (c < 0x20 || c > 0x7F || c == '"' || c == '\\') return false;
        }
        return true;
    }
    void string(std::string_view text) {
        if (dry_ != 0) return;
        if (plain_text(text)) {
            out_.push_back('"');
            out_.append(text);
            out_.push_back('"');
            return;
        }
        scratch_string_.get_ref<std::string&>().assign(text.data(), text.size());
        serializer_.dump(scratch_string_, false, false, 0);
    }

    void refused() {
        if (last_reason_ == 0 || path_ > last_path_) {
            last_path_ = path_;
            last_reason_ = visits_.reason;
        }
        string(visits_.reason == json_visit_guard::reason_too_deep ? marker_too_deep : marker_cycle);
    }

    void print_value(lumvar* v, unsigned level) {
        if (v == nullptr) return write("null");
        switch (v->type) {
            case LUMVAR_NONE:
                return write("null");
            case LUMVAR_INT: {
                if (dry_ != 0) return;
                // Plain decimal digits, as the library writes integers.
                char digits[24];
                const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, v->payload.i);
                out_.append(digits, static_cast<size_t>(r.ptr - digits));
                return;
            }
            case LUMVAR_FLOAT:
                if (dry_ != 0) return;
                scratch_float_.get_ref<nlohmann::json::number_float_t&>() = v->payload.f;
                return serializer_.dump(scratch_float_, false, false, 0);
            case LUMVAR_STRING: {
                const lum_std_string* s = v->string_object();
                return string(s != nullptr ? std::string_view(s->text) : std::string_view());
            }
            case LUMVAR_JSON: {
                lum_std_json* c = v->json_container();
                if (c == nullptr || c->entries.empty()) return write("{}");
                lumptr_strong<lumobject_base> keep(c);
                json_visit_scope visit(visits_, c);
                if (!visit.accepted()) return refused();
                return print_entries(*c, level);
            }
            case LUMVAR_OBJECT:
                if (lum_std_json_bool* b = as_json_bool(held_object(*v))) {
                    lumptr_strong<lumobject_base> keep(b);
                    nlohmann::json out;
                    b->to_json(out);
                    if (dry_ == 0) serializer_.dump(out, false, false, 0);
                    return;
                }
                return string(v->to_std_string());
            default:
                return string(v->to_std_string());
        }
    }

    void print_entries(lum_std_json& c, unsigned level) {
        if (has_named_entry(c))
            print_object(c, level);
        else
            print_array(c, level);
    }

    void print_array(lum_std_json& c, unsigned level) {
        const unsigned inner = level + 4;
        write(pretty_ ? "[\n" : "[");
        for (size_t i = 0; i < c.entries.size(); ++i) {
            if (i != 0) write(pretty_ ? ",\n" : ",");
            if (pretty_) indent(inner);
            path_.push_back(static_cast<uint32_t>(i));
            print_value(c.entries[i].value.get(), inner);
            path_.pop_back();
        }
        if (pretty_) {
            write("\n");
            indent(level);
        }
        write("]");
    }

    static const std::string& key_of(const lum_json_entry& e) {
        static const std::string unnamed;
        return e.key ? *e.key : unnamed;  // entries without a key print under ""
    }

    void print_member(lum_std_json& c, uint32_t i, unsigned inner, bool& first) {
        if (!first) write(pretty_ ? ",\n" : ",");
        first = false;
        if (pretty_) indent(inner);
        string(key_of(c.entries[i]));
        write(pretty_ ? ": " : ":");
        path_.push_back(i);
        print_value(c.entries[i].value.get(), inner);
        path_.pop_back();
    }

    void print_object(lum_std_json& c, unsigned level) {
        const unsigned inner = level + 4;
        write(pretty_ ? "{\n" : "{");
        bool first = true;
        // Usually the keys already ascend (parsed content does): print in place.
        bool ascending = true;
        for (size_t i = 1; i < c.entries.size() && ascending; ++i)
            ascending = key_of(c.entries[i - 1]) < key_of(c.entries[i]);
        if (ascending) {
            for (uint32_t i = 0; i < c.entries.size(); ++i) print_member(c, i, inner, first);
        } else {
            // Members in ascending key order; of several entries with one key
            // the last one is printed, the others are walked for refusals only.
            std::vector<uint32_t> order(c.entries.size());
            for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
            std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                return key_of(c.entries[a]) < key_of(c.entries[b]);
            });
            for (size_t k = 0; k < order.size(); ++k) {
                const uint32_t i = order[k];
                if (i >= c.entries.size()) continue;
                const uint32_t next = k + 1 < order.size() ? order[k + 1] : UINT32_MAX;
                if (next < c.entries.size() && key_of(c.entries[next]) == key_of(c.entries[i])) {
                    path_.push_back(i);
                    ++dry_;
                    print_value(c.entries[i].value.get(), inner);
                    --dry_;
                    path_.pop_back();
                } else {
                    print_member(c, i, inner, first);
                }
            }
        }
        if (pretty_) {
            write("\n");
            indent(level);
        }
        write("}");
    }

    json_serializer serializer_;
    std::string& out_;
    const bool pretty_;
    json_visit_guard& visits_ = printers_on_thread();
    nlohmann::json scratch_string_ = std::string();
    nlohmann::json scratch_float_ = nlohmann::json::number_float_t{0.0};
    std::vector<uint32_t> path_;
    std::vector<uint32_t> last_path_;
    uint32_t last_reason_ = 0;
    uint32_t dry_ = 0;  // > 0 while walking replaced entries for their refusals only
};

}  // namespace

std::string& json_to_text(lum_std_json* container, std::string& out, bool compact) {
    out.clear();
    try {
        lumptr_strong<lumobject_base> keep(container);
        json_printer printer(out, !compact);
        printer.print_top(container);
        json_visit_guard reasons;
        reasons.reason = printer.last_refusal();
        warn_after_print(reasons, false);
    } catch (const lum_thread_unwind&) {
        // Cancelled in a warning's listener: the text is not made.
        out.clear();
        throw;
    } catch (...) {
        out.clear();
    }
    return out;
}

// ---- reference listing ----

nlohmann::json json_refs_document(lum_std_json* container, json_visit_guard& visits) {
    if (container == nullptr) return nullptr;
    json_visit_scope visit(visits, container);
    if (!visit.accepted()) return refusal_marker(visits);
    if (container->entries.empty()) return nlohmann::json::object();
    return entries_to_document(*container, visits, value_refs_document);
}

nlohmann::json value_refs_document(lumvar* v, json_visit_guard& visits) {
    if (v == nullptr) return nullptr;
    if (v->type == LUMVAR_JSON) {
        if (lum_std_json* c = v->json_container()) {
            lumptr_strong<lumobject_base> keep(c);
            return json_refs_document(c, visits);
        }
    }
    nlohmann::json out = nlohmann::json::object();
    out["is_ref"] = v->type == LUMVAR_REF;
    out["refcount"] = static_cast<int32_t>(v->refcount);
    out["type"] = lumvar_type_name(v->type);
    return out;
}

std::string& json_debug_refs(lum_std_json* container, std::string& out, bool compact) {
    return print_document(json_refs_document, true, container, out, compact);
}

// ---- parsing ----

namespace {

// The parser takes a NUL byte outside a string for the end of the input, so
// a text with bytes after a NUL would parse as its first value alone. A NUL
// has no place in valid JSON text (inside a string it must be escaped), so
// after a successful parse a NUL means trailing bytes: refused like any other
// trailing text.
bool has_trailing_nul(std::string_view text, json_parse_error& error) {
    const size_t nul = text.find('\0');
    if (nul == std::string_view::npos) return false;
    error.byte = nul + 1;
    error.text = "syntax error while parsing value - unexpected NUL byte; expected end of input";
    return true;
}

}  // namespace

bool parse_json_text(std::string_view text, nlohmann::json& document, json_parse_error& error) {
    try {
        document = nlohmann::json::parse(text.data(), text.data() + text.size(), nullptr, true, true);
        if (has_trailing_nul(text, error)) {
            document = nullptr;
            return false;
        }
        return true;
    } catch (const nlohmann::json::parse_error& e) {
        error.byte = e.byte;
        error.text = e.what();
    } catch (const std::bad_alloc&) {
        document = nullptr;
        throw lum_json_out_of_memory();
    } catch (const std::exception& e) {
        error.byte = 0;
        error.text = e.what();
    }
    return false;
}

namespace {

constexpr int max_parse_depth = 1024;

// Fills a fresh cell from one document element.
bool element_to_value(lumvar& cell, nlohmann::json& element, int depth) {
    using value_t = nlohmann::json::value_t;
    switch (element.type()) {
        case value_t::object:
        case value_t::array: {
            cell.set_type(LUMVAR_JSON);
            lum_std_json* c = cell.json_container();
            return c != nullptr && document_to_json(c, element, depth + 1);
        }
        case value_t::null:
            cell.set_type_inline(LUMVAR_NONE);
            return true;
        case value_t::string: {
            cell.set_type(LUMVAR_STRING);
            if (lum_std_string* s = cell.string_object())
                s->text = std::move(element.get_ref<nlohmann::json::string_t&>());
            return true;
        }
        case value_t::number_integer:
            cell.set_int(element.get<int64_t>());
            return true;
        case value_t::number_unsigned: {
            const uint64_t u = element.get<uint64_t>();
            if (u < (uint64_t{1} << 63))
                cell.set_int(static_cast<int64_t>(u));
            else
                cell.set_float(static_cast<double>(u));
            return true;
        }
        case value_t::number_float:
            cell.set_float(element.get<double>());
            return true;
        case value_t::boolean: {
            auto* b = new lum_std_json_bool(lumvar_shared::from_int(element.get<bool>() ? 1 : 0));
            lumptr_strong<lumobject_base> object(b);
            cell.set_type(LUMVAR_OBJECT);
            if (lumvar_object_holder* h = cell.object_holder()) h->object = std::move(object);
            return true;
        }
        case value_t::binary: {
            const auto& bytes = element.get_binary();
            cell.set_type(LUMVAR_BINARY);
            if (lum_std_buffer* b = cell.buffer_object()) b->bytes.assign(bytes.begin(), bytes.end());
            return true;
        }
        default:
            cell.set_string(element.dump());
            return true;
    }
}

}  // namespace

bool document_to_json(lum_std_json* target, nlohmann::json& element, int depth) {
    if (depth >= max_parse_depth) return false;
    if (element.is_object()) {
        auto& members = element.get_ref<nlohmann::json::object_t&>();
        target->entries.reserve(target->entries.size() + members.size());
        for (auto& member : members) {
            lumvar* cell = target->emplace_present_key(member.first).get();
            if (!element_to_value(*cell, member.second, depth)) return false;
        }
        return true;
    }
    if (element.is_array()) {
        auto& items = element.get_ref<nlohmann::json::array_t&>();
        target->entries.reserve(target->entries.size() + items.size());
        for (auto& item : items) {
            lumvar* cell = target->emplace_back().get();
            if (!element_to_value(*cell, item, depth)) return false;
        }
        return true;
    }
    lumvar* cell = target->emplace_back().get();
    return element_to_value(*cell, element, depth);
}

std::string json_parse_error_message(std::string_view text, const json_parse_error& error) {
    const uint64_t n = text.size();
    const uint64_t b = std::min<uint64_t>(n, error.byte);
    const uint64_t i = error.byte == 0 ? 0 : std::min<uint64_t>(n, error.byte - 1);
    const uint64_t start = i > 60 ? i - 60 : 0;
    const uint64_t length = std::min<uint64_t>(n - start, 120);
    std::string out = "JSON parse error at byte ";
    out += std::to_string(b);
    out += " of ";
    out += std::to_string(n);
    out += ": ";
    out += error.text;
    out += "\n  near: ";
    out.append(text.substr(start, length));
    return out;
}

namespace {

// Builds a container straight from the library's parser events, with the
// result json_to_document would give for the parsed document: object members
// in ascending key order, one per key (the last duplicate wins), arrays in
// order, scalars converted as element_to_value does. A container nested 1024
// levels deep is not built; it leaves a marker entry (type error), and the
// parse counts as too deep when a marker survives the removal of duplicate
// members.
class json_text_reader {
public:
    explicit json_text_reader(lum_std_json* root) : root_(root) {}

    json_parse_error error;
    bool errored = false;
    bool too_deep() const { return root_markers_ > 0; }

    bool null() {
        if (skip_ == 0) next_cell();
        return true;
    }
    bool boolean(bool value) {
        if (skip_ != 0) return true;
        lumvar* cell = next_cell();
        auto* b = new lum_std_json_bool();
        b->value->set_int(value ? 1 : 0);
        lumptr_strong<lumobject_base> object(b);
        cell->set_type(LUMVAR_OBJECT);
        if (lumvar_object_holder* h = cell->object_holder()) h->object = std::move(object);
        return true;
    }
    bool number_integer(nlohmann::json::number_integer_t value) {
        if (skip_ == 0) next_cell()->set_int(value);
        return true;
    }
    bool number_unsigned(nlohmann::json::number_unsigned_t value) {
        if (skip_ != 0) return true;
        lumvar* cell = next_cell();
        if (value < (uint64_t{1} << 63))
            cell->set_int(static_cast<int64_t>(value));
        else
            cell->set_float(static_cast<double>(value));
        return true;
    }
    bool number_float(nlohmann::json::number_float_t value, const nlohmann::json::string_t&) {
        if (skip_ == 0) next_cell()->set_float(value);
        return true;
    }
    bool string(nlohmann::json::string_t& value) {
        if (skip_ != 0) return true;
        lumvar* cell = next_cell();
        cell->set_type(LUMVAR_STRING);
        // Copied, not moved: the lexer keeps its buffer, and a pooled string
        // object usually has the room already.
        if (lum_std_string* s = cell->string_object()) s->text.assign(value);
        return true;
    }
    bool binary(nlohmann::json::binary_t& value) {
        if (skip_ != 0) return true;
        lumvar* cell = next_cell();
        cell->set_type(LUMVAR_BINARY);
        if (lum_std_buffer* b = cell->buffer_object()) b->bytes.assign(value.begin(), value.end());
        return true;
    }
    bool key(nlohmann::json::string_t& value) {
        if (skip_ == 0) pending_key_ = std::make_unique<std::string>(value);
        return true;
    }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    // Records the failure as the library's exception would carry it: a parse
    // error with its byte position, any other error at byte 0.
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& ex) {
        errored = true;
        if constexpr (std::is_same_v<Exception, nlohmann::json::parse_error>)
            error.byte = ex.byte;
        else
            error.byte = 0;
        error.text = ex.what();
        return false;
    }

private:
    struct frame {
        lum_std_json* container;
        bool object;
        uint32_t markers;  // too-deep markers in this container's subtree
    };

    // Entries of the open containers are collected per nesting level in
    // buffers that keep their capacity, and moved into their container in one
    // allocation of the exact size when it closes.
    std::vector<lum_json_entry>& pending(size_t level) {
        if (scratch_.size() <= level) scratch_.resize(level + 1);
        return scratch_[level];
    }

    // The cell of the next value: a new entry of the innermost container
    // (keyed by the pending key in an object), or of the root for a scalar
    // document.
    lumvar* next_cell() {
        if (stack_.empty()) return root_->emplace_back().get();
        std::vector<lum_json_entry>& es = scratch_[stack_.size() - 1];
        if (stack_.back().object)
            es.push_back(lum_json_entry{std::move(pending_key_), lumvar_shared::make()});
        else
            es.push_back(lum_json_entry{nullptr, lumvar_shared::make()});
        return es.back().value.get();
    }

    bool open(bool object) {
        if (skip_ != 0) {
            ++skip_;
            return true;
        }
        if (stack_.empty() && !started_) {
            started_ = true;
            pending(0).clear();
            stack_.push_back({root_, object, 0});
            return true;
        }
        if (stack_.size() >= max_depth) {
            // Nested too deeply: a marker instead of the container.
            next_cell()->set_type_inline(LUMVAR_ERR);
            ++stack_.back().markers;
            skip_ = 1;
            return true;
        }
        lumvar* cell = next_cell();
        cell->set_type(LUMVAR_JSON);
        pending(stack_.size()).clear();
        stack_.push_back({cell->json_container(), object, 0});
        return true;
    }

    bool close() {
        if (skip_ != 0) {
            --skip_;
            return true;
        }
        frame f = stack_.back();
        std::vector<lum_json_entry>& es = scratch_[stack_.size() - 1];
        if (f.object) finish_object(f, es);
        std::vector<lum_json_entry>& target = f.container->entries;
        target.reserve(target.size() + es.size());
        for (lum_json_entry& e : es) target.push_back(std::move(e));
        es.clear();
        // The members are unique now: the index is built when first needed.
        if (f.object && !target.empty()) f.container->defer_key_index();
        if (f.markers != 0) {
            // The children's counts are summed up in this frame now.
            for (lum_json_entry& e : f.container->entries)
                if (e.value->type == LUMVAR_JSON) marker_counts_.erase(e.value->json_container());
        }
        stack_.pop_back();
        if (stack_.empty()) {
            root_markers_ = f.markers;
        } else if (f.markers != 0) {
            marker_counts_[f.container] = f.markers;
            stack_.back().markers += f.markers;
        }
        return true;
    }

    // Members in ascending key order, the last of equal keys kept.
    void finish_object(frame& f, std::vector<lum_json_entry>& es) {
        bool ascending = true;
        for (size_t i = 1; i < es.size() && ascending; ++i) ascending = *es[i - 1].key < *es[i].key;
        if (!ascending) {
            std::stable_sort(es.begin(), es.end(),
                             [](const lum_json_entry& a, const lum_json_entry& b) { return *a.key < *b.key; });
            size_t w = 0;
            for (size_t r = 0; r < es.size(); ++r) {
                if (r + 1 < es.size() && *es[r + 1].key == *es[r].key) {
                    if (f.markers != 0) f.markers -= dropped_markers(*es[r].value);
                    continue;
                }
                if (w != r) es[w] = std::move(es[r]);
                ++w;
            }
            es.erase(es.begin() + static_cast<std::ptrdiff_t>(w), es.end());
        }
    }

    uint32_t dropped_markers(lumvar& v) {
        if (v.type == LUMVAR_ERR) return 1;
        if (v.type != LUMVAR_JSON) return 0;
        auto it = marker_counts_.find(v.json_container());
        if (it == marker_counts_.end()) return 0;
        const uint32_t n = it->second;
        marker_counts_.erase(it);
        return n;
    }

    static constexpr size_t max_depth = 1024;

    lum_std_json* root_;
    std::vector<frame> stack_;
    std::vector<std::vector<lum_json_entry>> scratch_;
    std::unique_ptr<std::string> pending_key_;
    uint32_t skip_ = 0;  // nesting inside a container that is not built
    bool started_ = false;
    uint32_t root_markers_ = 0;
    // Marker counts of finished containers whose parent is still open.
    std::unordered_map<const lum_std_json*, uint32_t> marker_counts_;
};

// Parses `text` into the (cleared) container. False with `error` filled when
// the text is not one JSON value; `too_deep` tells whether the nesting limit
// was reached.
bool read_text(lum_std_json* target, std::string_view text, json_parse_error& error, bool& too_deep) {
    target->clear();
    json_text_reader reader(target);
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &reader,
                                       nlohmann::json::input_format_t::json, true, true);
    } catch (const std::bad_alloc&) {
        // Not a fault of the text: no parse error, and no retry on a part of it.
        target->clear();
        throw lum_json_out_of_memory();
    } catch (const std::exception& e) {
        reader.errored = true;
        reader.error = {0, e.what()};
    }
    if (!ok || reader.errored) {
        error = std::move(reader.error);
        target->clear();
        return false;
    }
    if (has_trailing_nul(text, error)) {
        target->clear();
        return false;
    }
    too_deep = reader.too_deep();
    return true;
}

}  // namespace

bool lum_std_json::from_string(std::string_view text, bool suppress_errors) {
    clear();
    if (text.empty()) return false;
    json_parse_error error;
    bool too_deep = false;
    bool parsed = read_text(this, text, error, too_deep);
    if (!parsed) {
        // Retry on the span from the first opening to the last closing
        // character, for JSON embedded in other text.
        const size_t first = text.find_first_of("{[\"");
        const size_t last = text.find_last_of("}]\"");
        if (first != std::string_view::npos && last != std::string_view::npos && last >= first &&
            last - first + 1 != text.size()) {
            json_parse_error ignored;
            parsed = read_text(this, text.substr(first, last - first + 1), ignored, too_deep);
        }
    }
    lum_log_base& log = lum_get_log();
    if (!parsed) {
        if (!suppress_errors && log.enabled(LUM_LOG_ERROR)) log.error(json_parse_error_message(text, error));
        return false;
    }
    if (too_deep) {
        clear();
        if (!suppress_errors) log.error("JSON parse error: nesting exceeds the maximum depth of 1024.");
        return false;
    }
    return true;
}

std::string lum_std_json::to_string() {
    std::string out;
    json_to_text(this, out, false);
    return out;
}
