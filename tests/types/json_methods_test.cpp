// "std.json" script methods without callbacks: the registration table, the
// constructor function, and each method's edge cases, called the way the
// interpreter calls them.

#include <gtest/gtest.h>

#include <stdexcept>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "runtime/namespace.h"
#include "tests/types/json_method_test_support.h"
#include "types/json_methods.h"

using namespace j2test;

namespace {

class JsonMethods : public json_method_test {};

struct row {
    const char* name;
    uint32_t min, max;
    const char* doc;
    std::vector<const char*> arg_docs;
};

const char* const push_doc = "Adds the supplied value to the given JSON container and returns the modified object";
const char* const pop_doc = "Removes the last element from the JSON container and returns it.";
const char* const size_doc = "Returns the number of elements in a JSON array or the number of keys in a JSON object.";
const char* const erase_doc = "Removes a key or index from a JSON object and returns whether the removal succeeded.";
const char* const erase_value_doc = "Removes a value from a JSON object and returns whether the removal succeeded.";
const char* const rsort_doc =
    "Sorts a JSON object\xE2\x80\x99s entries by key in descending order, keeping keyless entries at the end";
const char* const merge_note = "other: json - Object to merge\noverwrite: bool - Replace existing keys (default true)";

const std::vector<row>& expected_table() {
    static const std::vector<row> rows = {
        {"push", 1, 1, push_doc, {"value: object - Value to insert into the JSON container"}},
        {"push_back", 1, 1, push_doc, {"value: object - Value to insert into the JSON container"}},
        {"pop", 0, 0, pop_doc, {}},
        {"pop_back", 0, 0, pop_doc, {}},
        {"insert", 2, 2,
         "Inserts a value at the specified index in the JSON container, shifting existing elements. Negative indices "
         "count from the end.",
         {"index: int - Zero-based index at which to insert; negative values count from the end\nvalue: object - "
          "Value to insert"}},
        {"size", 0, 0, size_doc, {}},
        {"clear", 0, 0, size_doc, {}},
        {"clear_free", 0, 0, "Clears the JSON container and frees all objects inside it.", {}},
        {"key", 1, 1, "Return the key at a specified index from a JSON object",
         {"index: int - Zero-based index of the key; negative values count from the end"}},
        {"has", 1, 1, "Checks if the JSON object contains a given key.", {"key: string - Key to check in the JSON object"}},
        {"has_value", 1, 1, "Checks if the JSON object contains a given value.",
         {"key: string - Value to check in the JSON object"}},
        {"has_value_str", 1, 1, "Checks if the JSON object contains a given value (as string).",
         {"value: string - Value to check in the JSON object"}},
        {"geti", 1, 1, "Get a member value by key (case-insensitive)", {"key: string - Key to look up (case-insensitive)"}},
        {"hasi", 1, 1, "Check if JSON object contains a key (case-insensitive)",
         {"key: string - Key to check (case-insensitive)"}},
        {"erase", 1, 1, erase_doc, {"key: string - Key or numeric index to delete from the JSON object"}},
        {"remove", 1, 1, erase_doc, {"key: string - Key or numeric index to delete from the JSON object"}},
        {"erase_value", 1, 1, erase_value_doc, {"key: string - Value to delete from the JSON object"}},
        {"remove_value", 1, 1, erase_value_doc, {"key: string - Value to delete from the JSON object"}},
        {"remove_all_keys", 1, 1, "Removes a key from the JSON object and all nested JSON objects recursively.",
         {"key: string - Key to remove from all levels"}},
        {"copy", 0, 0,
         "Creates a deep copy of the JSON object. If the JSON references itself, the copy contains the same "
         "self-reference instead of failing.",
         {}},
        {"sort", 0, 0,
         "Sorts JSON entries by their keys in a case-insensitive manner, keeping only keyed entries in the sorted "
         "portion.",
         {}},
        {"sort_reverse", 0, 0, rsort_doc, {}},
        {"rsort", 0, 0, rsort_doc, {}},
        {"sort_by", 1, 2, "Sorts JSON entries by a child key in each value object.",
         {"key: string - Child key to sort by\ndescending: bool - Sort descending (default false)"}},
        {"string", 0, 1, "Convert JSON object to its string representation, optionally using compact output.",
         {"compact: int - flag to produce compact string (0) or pretty-printed (non\xE2\x80\x91zero)"}},
        {"compact_string", 0, 0, "Convert JSON object to its compact string representation.", {}},
        {"combine_string", 0, 1, "Combine string values of the JSON object with an optional separator",
         {"separator: string - Separator appended after each string value during concatenation"}},
        {"from_string", 1, 1, "Parse JSON from string and populate object",
         {"json: string - JSON string to parse into the object"}},
        {"filter_key", 1, 1, "Filter JSON object's keys by matching substrings and return the filtered JSON.",
         {"filter: string - Substring or list of substrings used to match keys."}},
        {"filter_value", 1, 1,
         "Return a new JSON object containing only string members whose values include a specific substring",
         {"filter: string - Substring to search for within JSON string values"}},
        {"filter", 1, 1, "Filter JSON object entries by callback or key substring",
         {"filter: function|string - Callback that receives a key and value and returns true to keep the entry; if a "
          "string, only entries whose keys contain the string are included"}},
        {"merge", 1, 2,
         "Merge another JSON object into this one. If overwrite is true, existing keys will be replaced.",
         {merge_note}},
        {"append", 1, 2,
         "Appends another JSON object into this one. If overwrite is true, existing keys will be replaced.",
         {merge_note}},
        {"map", 1, 1, "Return a new JSON where each value is replaced by the result of the callback.",
         {"callback: function - Called with (key, value); return becomes new value"}},
        {"reduce", 1, 2,
         "Reduce object entries into a single value by repeatedly applying callback(acc, key, value).",
         {"callback: function\ninitial: any - Starting accumulator value"}},
        {"any", 1, 1, "Returns true if any entry matches substring or callback.", {"filter: function|string"}},
        {"all", 1, 1, "Returns true if all entries match substring or callback.", {"filter: function|string"}},
        {"foreach", 1, 1,
         "Iterates over each key/value pair in a JSON object and runs a callback for each entry",
         {"callback: function - Callback function invoked with the entry key and value and should return bool (true "
          "to include the entry in a new JSON)"}},
        {"to_list", 0, 0, "Converts the JSON object into a list by removing all keys from each entry.", {}},
        {"resize", 1, 1, "Resizes a JSON list to the specified size.", {"size: int - New size of the list"}},
        {"unique", 0, 0,
         "Removes duplicate entries. For lists, duplicates are detected by value. For objects, duplicate keys are "
         "removed, keeping the first occurrence.",
         {}},
        {"push_cyclic", 2, 2,
         "Adds a value to the back of the JSON list, removing elements from the front if the size would exceed "
         "max_entries.",
         {"value: object - Value to insert", "max_entries: int - Maximum number of elements the list may hold"}},
        {"debug_refs", 0, 1,
         "Convert JSON object to a debug string showing whether each element is a LUMVAR_REF and the variable "
         "refcount.",
         {"compact: int - flag to produce compact string (0) or pretty-printed (non-zero)"}},
    };
    return rows;
}

lum_function_def* namespace_member(lum_namespace& ns, std::string_view name) {
    auto it = ns.members.find(name);
    if (it == ns.members.end() || it->second->type != LUMVAR_EXT_FUNCTION) return nullptr;
    return it->second->ext_function_record()->definition.get();
}

}  // namespace

TEST_F(JsonMethods, RegistrationTableInOrderWithExactTexts) {
    const auto& members = lum_std_json::tables().members;
    const auto& rows = expected_table();
    ASSERT_EQ(members.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        lum_function_def* def = members[i]->static_value();
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->name, rows[i].name);
        EXPECT_EQ(def->min_args, rows[i].min);
        EXPECT_EQ(def->max_args, rows[i].max);
        EXPECT_EQ(def->doc, rows[i].doc);
        ASSERT_EQ(def->arg_docs.size(), rows[i].arg_docs.size());
        for (size_t a = 0; a < rows[i].arg_docs.size(); ++a) EXPECT_EQ(def->arg_docs[a], rows[i].arg_docs[a]);
        EXPECT_EQ(def->method, 1);
        EXPECT_EQ(def->flags & LUM_FUNCTION_RESOLVE_ARGS, LUM_FUNCTION_RESOLVE_ARGS);
        EXPECT_EQ(lum_std_json::tables().name_index.at(rows[i].name), static_cast<int64_t>(i));
    }
}

TEST_F(JsonMethods, ConstructorFunction) {
    lum_namespace ns;
    lum_std_json_namespace_init(ns);
    lum_function_def* ctor = namespace_member(ns, "json");
    ASSERT_NE(ctor, nullptr);
    EXPECT_EQ(ctor->min_args, 0u);
    EXPECT_EQ(ctor->max_args, 2u);
    EXPECT_EQ(ctor->doc, "Create a new JSON object, optionally initialized from a JSON string");
    EXPECT_EQ(ctor->arg_docs, (std::vector<std::string_view>{
                                  "json: string - Optional JSON string to parse into the new object",
                                  "suppress_errors: bool - Suppress any error messages."}));
    EXPECT_EQ(ctor->class_type_name, "std.json");
    EXPECT_EQ(notices(), std::vector<std::string>{"class: std.json"});

    auto construct = [&](std::vector<lumvar_shared> args) {
        lum_vm_context context;
        lumvar_shared r = ctor->callable(context, args);
        EXPECT_TRUE(r && r->type == LUMVAR_JSON);
        return r;
    };
    EXPECT_EQ(text(construct({})), "{}");
    EXPECT_EQ(text(construct({str("[1, \"a\"]")})), "[1,\"a\"]");

    // A json argument: a shallow copy whose first duplicate key is designated.
    lumvar_shared source = parse("[{\"n\": 1}]");
    push_all(source->json_container(), {{"a", num(1)}, {"a", num(2)}});
    lumvar_shared copy = construct({source});
    lum_std_json* c = copy->json_container();
    ASSERT_EQ(c->entries.size(), 3u);
    EXPECT_NE(c, source->json_container());
    EXPECT_EQ(c->entries[0].value->json_container(), source->json_container()->entries[0].value->json_container());
    EXPECT_EQ(c->get_or_add("a")->payload.i, 1);

    // A failed parse gives the empty container, logged unless suppressed.
    EXPECT_EQ(text(construct({str("{\"a\": ")})), "{}");
    EXPECT_EQ(errors().size(), 1u);
    EXPECT_EQ(text(construct({str("{\"a\": "), num(1)})), "{}");
    EXPECT_TRUE(errors().empty());

    // A namespace that already has "json" keeps it.
    lum_namespace taken;
    taken.members.emplace("json", num(5));
    lum_std_json_namespace_init(taken);
    EXPECT_EQ(taken.members.at("json")->payload.i, 5);

    // The class factory makes empty containers.
    auto f = lum_registry().factories->find(std::string_view("std.json"));
    ASSERT_NE(f, lum_registry().factories->end());
    lumptr_strong<lumobject_base> made = f->second();
    ASSERT_TRUE(made);
    EXPECT_STREQ(made->type_name(), "std.json");
    EXPECT_TRUE(made->compare_zero());
}

TEST_F(JsonMethods, PushPopInsertSizeClearAndClearFree) {
    lumvar_shared j = parse("[]");
    lumvar_shared s = str("x");
    call_chained(j, "push", {s});
    s->set_string("changed");  // the pushed value is a copy
    call_chained(j, "push_back", {num(2)});
    EXPECT_EQ(text(j), "[\"x\",2]");
    EXPECT_EQ(call_int(j, "size"), 2);

    call_chained(j, "pop");
    EXPECT_EQ(text(j), "[\"x\"]");
    call_chained(j, "pop_back");
    call_chained(j, "pop");  // an empty container is returned unchanged
    EXPECT_EQ(call_int(j, "size"), 0);

    // Popping a keyed entry keeps the index right.
    lumvar_shared k = parse("{\"a\": 1}");
    k->json_container()->push_keyed(num(2), "a");
    call_chained(k, "pop");
    EXPECT_EQ(k->json_container()->get_or_add("a")->payload.i, 1);
    EXPECT_EQ(k->json_container()->key_count("a"), 1u);

    lumvar_shared l = parse("[\"a\", \"b\", \"c\"]");
    call_chained(l, "insert", {num(-1), str("x")});
    EXPECT_EQ(text(l), "[\"a\",\"b\",\"x\",\"c\"]");
    call_chained(l, "insert", {num(10), str("end")});
    call_chained(l, "insert", {num(-10), str("first")});
    call_chained(l, "insert", {flt(1.9), str("one")});
    EXPECT_EQ(text(l), "[\"first\",\"one\",\"a\",\"b\",\"x\",\"c\",\"end\"]");
    // Inserted entries are list elements even in a keyed container.
    call_chained(k, "insert", {num(0), num(7)});
    EXPECT_FALSE(k->json_container()->entries[0].key);

    call_chained(k, "clear");
    EXPECT_TRUE(k->json_container()->entries.empty());
    EXPECT_FALSE(k->json_container()->key_index);

    // clear_free empties nested containers too.
    lumvar_shared nested = parse("{\"a\": [1, 2], \"b\": \"x\"}");
    lumvar_shared inner = nested->json_container()->get_or_add("a");
    call_chained(nested, "clear_free");
    EXPECT_TRUE(nested->json_container()->entries.empty());
    EXPECT_TRUE(inner->json_container()->entries.empty());
}

TEST_F(JsonMethods, KeyByIndex) {
    lumvar_shared j = parse("{\"a\": 1, \"b\": 2, \"c\": 3}");
    EXPECT_EQ(call_text(j, "key", {num(-1)}), "c");
    EXPECT_EQ(call_text(j, "key", {num(0)}), "a");
    lumvar_shared r = call(j, "key", {num(3)});
    EXPECT_EQ(r->type, LUMVAR_NONE);
    EXPECT_EQ(warnings(), std::vector<std::string>{"index out of range!"});
    call(j, "key", {num(-4)});
    EXPECT_EQ(warnings().size(), 1u);

    j->json_container()->push_keyed(num(4), "");         // a list element
    j->json_container()->get_or_add("");                  // a present, empty key
    EXPECT_EQ(call(j, "key", {num(3)})->type, LUMVAR_NONE);
    EXPECT_EQ(call_text(j, "key", {num(4)}), "");
    EXPECT_TRUE(warnings().empty());
}

TEST_F(JsonMethods, KeyAndValueTests) {
    lumvar_shared j = parse("{\"Name\": \"x\", \"n\": 1, \"f\": 2.5, \"name\": \"second\"}");
    EXPECT_EQ(call_int(j, "has", {str("Name")}), 1);
    EXPECT_EQ(call_int(j, "has", {str("NAME")}), 0);
    EXPECT_EQ(call_int(parse("[1]"), "has", {str("1")}), 0);

    const std::tuple<const char*, lumvar_shared, int64_t> values[] = {
        {"has_value", num(1), 1},          {"has_value", flt(1.0), 1},          {"has_value", str("second"), 1},
        {"has_value", num(3), 0},          {"has_value_str", str("1"), 1},      {"has_value_str", str("2.500000"), 1},
        {"has_value_str", str("2.5"), 0},  {"has_value_str", str("secon"), 0}};
    for (const auto& [method, arg, expected] : values)
        EXPECT_EQ(call_int(j, method, {arg}), expected) << method << "(" << arg->to_std_string() << ")";

    // Case-insensitive lookups scan from the front (the first match wins over
    // a later exact key), skip unkeyed entries and return the entry's own cell.
    lumvar_shared g = call(j, "geti", {str("NAME")});
    EXPECT_EQ(g.get(), j->json_container()->entries[0].value.get());
    EXPECT_EQ(g->to_std_string(), "x");
    EXPECT_EQ(call(j, "geti", {str("")})->type, LUMVAR_NONE);
    EXPECT_EQ(call(j, "geti", {str("nope")})->type, LUMVAR_NONE);
    EXPECT_EQ(call_int(j, "hasi", {str("nAmE")}), 1);
    EXPECT_EQ(call_int(j, "hasi", {str("")}), 0);
    lumvar_shared l = parse("[\"name\"]");
    EXPECT_EQ(call_int(l, "hasi", {str("name")}), 0);
}

TEST_F(JsonMethods, EraseAndRemoveByArgumentType) {
    lumvar_shared j = parse("[10, 11, 12, 13]");
    EXPECT_EQ(call_int(j, "erase", {num(1)}), 1);
    EXPECT_EQ(call_int(j, "erase", {flt(1.9)}), 1);
    EXPECT_EQ(call_int(j, "remove", {num(-1)}), 1);
    EXPECT_EQ(text(j), "[10]");
    EXPECT_EQ(call_int(j, "erase", {num(5)}), 0);

    lumvar_shared k = parse("{\"1\": \"one\", \"a\": 1}");
    k->json_container()->push_keyed(num(2), "a");
    EXPECT_EQ(call_int(k, "erase", {str("1")}), 1);
    EXPECT_EQ(call_int(k, "remove", {str("a")}), 1);  // every entry with the key
    EXPECT_TRUE(k->json_container()->entries.empty());
    EXPECT_EQ(call_int(k, "erase", {str("zz")}), 0);
    EXPECT_EQ(notices(), std::vector<std::string>{"Key zz does not exist!"});
    // No index at all: false without a notice.
    EXPECT_EQ(call_int(parse("[1]"), "erase", {str("zz")}), 0);
    EXPECT_TRUE(notices().empty());

    // A json argument: erase removes the element holding that very container,
    // remove removes the key spelled like its text form.
    lumvar_shared inner = parse("[1]");
    lumvar_shared holder = parse("[]");
    push_all(holder->json_container(), {{"", parse("[1]")}, {"", lumvar_shared(inner)}, {"[\n    1\n]", num(3)}});
    EXPECT_EQ(call_int(holder, "erase", {inner}), 1);
    ASSERT_EQ(holder->json_container()->entries.size(), 2u);
    EXPECT_NE(holder->json_container()->entries[0].value->json_container(), inner->json_container());
    EXPECT_EQ(call_int(holder, "erase", {inner}), 0);
    EXPECT_EQ(call_int(holder, "remove", {inner}), 1);
    EXPECT_EQ(text(holder), "[[1]]");
}

TEST_F(JsonMethods, EraseValueRemovesTheFirstMatchOnly) {
    lumvar_shared j = parse("[5, 5]");
    EXPECT_EQ(call_int(j, "erase_value", {num(5)}), 1);
    EXPECT_EQ(text(j), "[5]");
    EXPECT_EQ(call_int(j, "remove_value", {flt(5.0)}), 1);
    EXPECT_EQ(call_int(j, "remove_value", {num(5)}), 0);
    lumvar_shared k = parse("{\"a\": \"v\", \"b\": \"v\"}");
    EXPECT_EQ(call_int(k, "erase_value", {str("v")}), 1);
    EXPECT_EQ(text(k), "{\"b\":\"v\"}");
    EXPECT_FALSE(k->json_container()->has_key("a"));
}

TEST_F(JsonMethods, RemoveAllKeysAtEveryLevel) {
    lumvar_shared j = parse("{\"id\": 1, \"sub\": {\"id\": 2, \"x\": [{\"id\": 3, \"y\": 4}]}}");
    // The container also holds itself.
    j->json_container()->push_keyed(lumvar_shared(j), "self");
    call_chained(j, "remove_all_keys", {str("id")});
    lum_std_json* c = j->json_container();
    EXPECT_FALSE(c->has_key("id"));
    lumvar_shared sub = c->get_or_add("sub");
    EXPECT_EQ(text(sub), "{\"x\":[{\"y\":4}]}");
    EXPECT_TRUE(warnings().empty());
    c->clear();  // breaks the cycle
}

TEST_F(JsonMethods, CopyIsDeepAndKeepsSelfReferences) {
    lumvar_shared j = parse("{\"a\": [1, 2], \"s\": \"t\"}");
    lumvar_shared shared = parse("[9]");
    push_all(j->json_container(), {{"p", lumvar_shared(shared)}, {"q", lumvar_shared(shared)}, {"", num(5)}});
    lumvar_shared c = call(j, "copy");
    ASSERT_EQ(c->type, LUMVAR_JSON);
    EXPECT_EQ(text(c), text(j));
    lum_std_json* copy = c->json_container();
    EXPECT_NE(copy, j->json_container());
    EXPECT_NE(copy->get_or_add("a")->json_container(), j->json_container()->get_or_add("a")->json_container());
    // A container reached along two paths is copied twice.
    EXPECT_NE(copy->get_or_add("p")->json_container(), copy->get_or_add("q")->json_container());
    EXPECT_NE(copy->get_or_add("p")->json_container(), shared->json_container());
    EXPECT_FALSE(copy->entries.back().key);

    // A container that contains itself: the copy contains the copy.
    lumvar_shared self = parse("[1]");
    self->json_container()->push_keyed(lumvar_shared(self), "");
    lumvar_shared sc = call(self, "copy");
    lum_std_json* scc = sc->json_container();
    ASSERT_EQ(scc->entries.size(), 2u);
    EXPECT_EQ(scc->entries[1].value->json_container(), scc);
    EXPECT_TRUE(warnings().empty());
    self->json_container()->clear();
    scc->clear();
}

TEST_F(JsonMethods, CopyStopsBeyondTheNestingLimit) {
    lumvar_shared c = call(j1test::nested(1025), "copy");
    EXPECT_EQ(warnings(), std::vector<std::string>{
                              "JSON copy exceeds the maximum nesting depth of 1024, the remaining members are not "
                              "copied."});
    // 1024 nested copies; the entry that would hold the 1025th is none.
    lumvar* v = c.get();
    int depth = 0;
    while (v->type == LUMVAR_JSON) {
        ++depth;
        ASSERT_EQ(v->json_container()->entries.size(), 1u);
        v = v->json_container()->entries[0].value.get();
    }
    EXPECT_EQ(depth, 1024);
    EXPECT_EQ(v->type, LUMVAR_NONE);
}

TEST_F(JsonMethods, SortOrders) {
    // The orderings themselves are the container's; each method must reach its own.
    lumvar_shared j = parse("[3]");
    push_all(j->json_container(), {{"b", num(1)}, {"a", num(4)}});
    call_chained(j, "sort");
    EXPECT_EQ(j1test::keys_of(j->json_container()), (std::vector<std::string>{"a", "b", "-"}));
    for (const char* reverse : {"sort_reverse", "rsort"}) {
        call_chained(j, "sort");
        call_chained(j, reverse);
        EXPECT_EQ(j1test::keys_of(j->json_container()), (std::vector<std::string>{"b", "a", "-"})) << reverse;
    }
}

TEST_F(JsonMethods, TextForms) {
    lumvar_shared j = parse("{\"a\": [1, \"x\"]}");
    const std::string pretty = "{\n    \"a\": [\n        1,\n        \"x\"\n    ]\n}";
    EXPECT_EQ(call_text(j, "string"), pretty);
    EXPECT_EQ(call_text(j, "string", {num(0)}), pretty);
    EXPECT_EQ(call_text(j, "string", {num(1)}), "{\"a\":[1,\"x\"]}");
    EXPECT_EQ(call_text(j, "string", {flt(0.5)}), pretty);  // integer value 0
    EXPECT_EQ(call_text(j, "compact_string"), "{\"a\":[1,\"x\"]}");

    lumvar_shared l = parse("[1]");
    const int64_t refs = l->json_container()->entries[0].value->refcount;
    EXPECT_EQ(call_text(l, "debug_refs", {num(1)}),
              "[{\"is_ref\":false,\"refcount\":" + std::to_string(refs) + ",\"type\":\"int\"}]");
    EXPECT_NE(call_text(l, "debug_refs").find("\n    "), std::string::npos);

    lumvar_shared m = parse("[\"a\", 1]");
    EXPECT_EQ(call_text(m, "combine_string", {str(",")}), "a,1,");
    EXPECT_EQ(call_text(m, "combine_string"), "a1");
    EXPECT_EQ(call_text(parse("[]"), "combine_string", {str(",")}), "");
}

TEST_F(JsonMethods, FromStringReplacesTheContent) {
    lumvar_shared j = parse("[1, 2]");
    EXPECT_EQ(call_int(j, "from_string", {str("{\"b\": 1, \"a\": 2}")}), 1);
    EXPECT_EQ(text(j), "{\"a\":2,\"b\":1}");
    EXPECT_EQ(call_int(j, "from_string", {str("[1,")}), 0);
    EXPECT_EQ(text(j), "{}");
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].rfind("JSON parse error at byte ", 0), 0u);
    EXPECT_EQ(call_int(j, "from_string", {str("")}), 0);
    EXPECT_TRUE(errors().empty());
}

TEST_F(JsonMethods, MergeAndAppend) {
    // merge(other, false) keeps existing keys; duplicates write into the
    // designated (last appended) entry; list elements are ignored.
    lumvar_shared j = parse("{\"a\": 1}");
    j->json_container()->push_keyed(num(2), "a");
    lumvar_shared other = parse("[\"list\"]");
    push_all(other->json_container(), {{"a", num(10)}, {"b", num(20)}});
    call_chained(j, "merge", {other, num(0)});
    EXPECT_EQ(text(j), "{\"a\":2,\"b\":20}");
    EXPECT_EQ(j->json_container()->entries[0].value->payload.i, 1);
    call_chained(j, "merge", {other});
    ASSERT_EQ(j->json_container()->entries.size(), 3u);
    EXPECT_EQ(j->json_container()->entries[0].value->payload.i, 1);
    EXPECT_EQ(j->json_container()->entries[1].value->payload.i, 10);
    call_chained(j, "merge", {num(5)});
    call_chained(j, "merge", {none()});
    EXPECT_EQ(j->json_container()->entries.size(), 3u);

    // append adds the list elements too, and a non-json argument as one element.
    lumvar_shared a = parse("[]");
    call_chained(a, "append", {other});
    EXPECT_EQ(j1test::keys_of(a->json_container()), (std::vector<std::string>{"-", "a", "b"}));
    call_chained(a, "append", {num(5)});
    call_chained(a, "append", {none()});
    EXPECT_EQ(text(a), "{\"\":5,\"a\":10,\"b\":20}");
    EXPECT_EQ(a->json_container()->entries.size(), 4u);
    call_chained(a, "append", {other, num(0)});
    EXPECT_EQ(a->json_container()->entries.size(), 5u);  // only "list" added again

    // A container merged or appended into itself: each original element once.
    lumvar_shared s = parse("[1, 2]");
    push_all(s->json_container(), {{"k", num(1)}, {"k", num(2)}});
    call_chained(s, "merge", {s});
    EXPECT_EQ(s->json_container()->entries.size(), 4u);
    call_chained(s, "append", {s});
    lum_std_json* sc = s->json_container();
    ASSERT_EQ(sc->entries.size(), 6u);
    for (size_t i = 2; i < 6; ++i) EXPECT_EQ(sc->entries[i].value->payload.i, i % 2 == 0 ? 1 : 2) << i;
    EXPECT_EQ(sc->key_count("k"), 2u);
}

TEST_F(JsonMethods, ToListResizeUniquePushCyclic) {
    lumvar_shared j = parse("{\"a\": 1, \"b\": 2}");
    call_chained(j, "to_list");
    EXPECT_EQ(text(j), "[1,2]");
    EXPECT_FALSE(j->json_container()->key_index);
    EXPECT_EQ(call(j, "key", {num(0)})->type, LUMVAR_NONE);

    lumvar_shared r = parse("[]");
    call_chained(r, "resize", {num(2)});
    EXPECT_EQ(text(r), "[null,null]");
    call_chained(r, "resize", {num(-1)});
    EXPECT_EQ(warnings(), std::vector<std::string>{"size out of range!"});
    EXPECT_EQ(r->json_container()->entries.size(), 2u);
    lumvar_shared k = parse("{\"a\": 1, \"b\": 2, \"c\": 3}");
    call_chained(k, "resize", {num(1)});
    EXPECT_EQ(text(k), "{\"a\":1}");
    EXPECT_FALSE(k->json_container()->has_key("c"));
    call_chained(k, "resize", {num(0)});
    EXPECT_TRUE(k->json_container()->entries.empty());
    // A size no container can hold is refused with a message that says so,
    // before anything changes.
    const std::pair<int64_t, std::string> refused[] = {
        {std::numeric_limits<int64_t>::max(), "size 9223372036854775807 is more than a json container can hold"},
        {int64_t{1} << 62, "size 4611686018427387904 is more than a json container can hold"}};
    for (const auto& [size, message] : refused) {
        try {
            call(r, "resize", {num(size)});
            ADD_FAILURE() << size << " was accepted";
        } catch (const std::length_error& e) {
            EXPECT_EQ(e.what(), message);
        }
        EXPECT_EQ(text(r), "[null,null]");
    }

    lumvar_shared u = parse("[1, \"1\", 1.0, 1, 1.0000001, \"1\"]");
    call_chained(u, "unique");
    EXPECT_EQ(text(u), "[1,\"1\",1.0]");
    lumvar_shared uk = parse("{}");
    push_all(uk->json_container(), {{"a", num(1)}, {"a", num(2)}, {"b", num(1)}, {"", num(1)}, {"", num(1)}});
    call_chained(uk, "unique");
    EXPECT_EQ(j1test::keys_of(uk->json_container()), (std::vector<std::string>{"a", "b", "-"}));
    EXPECT_EQ(uk->json_container()->get_or_add("a")->payload.i, 1);
    EXPECT_EQ(uk->json_container()->key_count("a"), 1u);

    lumvar_shared c = parse("[1, 2, 3, 4, 5]");
    call_chained(c, "push_cyclic", {str("x"), num(3)});
    EXPECT_EQ(text(c), "[4,5,\"x\"]");
    call_chained(c, "push_cyclic", {str("y"), num(0)});
    EXPECT_EQ(warnings(), std::vector<std::string>{"push_cyclic: max_entries must be greater than 0"});
    EXPECT_EQ(text(c), "[4,5,\"x\"]");
    lumvar_shared ck = parse("{\"a\": 1, \"b\": 2, \"c\": 3}");
    call_chained(ck, "push_cyclic", {str("x"), num(2)});
    EXPECT_EQ(j1test::keys_of(ck->json_container()), (std::vector<std::string>{"c", "-"}));
    EXPECT_FALSE(ck->json_container()->has_key("a"));
    EXPECT_TRUE(ck->json_container()->has_key("c"));
}
