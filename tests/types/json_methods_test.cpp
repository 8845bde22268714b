// "std.json" script methods without callbacks: the registration table, the
// constructor function, and each method's edge cases, called the way the
// interpreter calls them.
#include <limits>
#include <stdexcept>

#include "runtime/namespace.h"
#include "tests/types/types_test_support.h"
#include "types/json_methods.h"

using namespace j2test;
using j1test::keys_of;
using keys = std::vector<std::string>;

namespace {

class JsonMethods : public json_method_test {};

struct row {
    const char* name;
    uint32_t min, max, arg_docs;
};
// The script-visible table, in registration order.
const row expected_rows[] = {
    {"push", 1, 1, 1},         {"push_back", 1, 1, 1},      {"pop", 0, 0, 0},
    {"pop_back", 0, 0, 0},     {"insert", 2, 2, 1},         {"size", 0, 0, 0},
    {"clear", 0, 0, 0},        {"clear_free", 0, 0, 0},     {"key", 1, 1, 1},
    {"has", 1, 1, 1},          {"has_value", 1, 1, 1},      {"has_value_str", 1, 1, 1},
    {"geti", 1, 1, 1},         {"hasi", 1, 1, 1},           {"erase", 1, 1, 1},
    {"remove", 1, 1, 1},       {"erase_value", 1, 1, 1},    {"remove_value", 1, 1, 1},
    {"remove_all_keys", 1, 1, 1}, {"copy", 0, 0, 0},        {"sort", 0, 0, 0},
    {"sort_reverse", 0, 0, 0}, {"rsort", 0, 0, 0},          {"sort_by", 1, 2, 1},
    {"string", 0, 1, 1},       {"compact_string", 0, 0, 0}, {"combine_string", 0, 1, 1},
    {"from_string", 1, 1, 1},  {"filter_key", 1, 1, 1},     {"filter_value", 1, 1, 1},
    {"filter", 1, 1, 1},       {"merge", 1, 2, 1},          {"append", 1, 2, 1},
    {"map", 1, 1, 1},          {"reduce", 1, 2, 1},         {"any", 1, 1, 1},
    {"all", 1, 1, 1},          {"foreach", 1, 1, 1},        {"to_list", 0, 0, 0},
    {"resize", 1, 1, 1},       {"unique", 0, 0, 0},         {"push_cyclic", 2, 2, 2},
    {"debug_refs", 0, 1, 1},
};

lum_function_def* method_named(std::string_view name) {
    const auto& tables = lum_std_json::tables();
    return tables.members[static_cast<size_t>(tables.name_index.at(name))]->static_value();
}

}  // namespace

TEST_F(JsonMethods, RegistrationTableInOrderWithExactTexts) {
    const auto& members = lum_std_json::tables().members;
    ASSERT_EQ(members.size(), std::size(expected_rows));
    for (size_t i = 0; i < members.size(); ++i) {
        const row& r = expected_rows[i];
        SCOPED_TRACE(r.name);
        lum_function_def* def = members[i]->static_value();
        ASSERT_NE(def, nullptr);
        EXPECT_EQ(def->name, r.name);
        EXPECT_EQ(def->min_args, r.min);
        EXPECT_EQ(def->max_args, r.max);
        EXPECT_EQ(def->arg_docs.size(), r.arg_docs);
        EXPECT_FALSE(def->doc.empty());
        EXPECT_EQ(def->method, 1);
        EXPECT_EQ(def->flags & LUM_FUNCTION_RESOLVE_ARGS, LUM_FUNCTION_RESOLVE_ARGS);
        EXPECT_EQ(lum_std_json::tables().name_index.at(r.name), static_cast<int64_t>(i));
    }
    // Aliases share their texts; a few texts as scripts see them.
    for (auto [a, b] : {std::pair{"push", "push_back"}, {"pop", "pop_back"}, {"erase", "remove"},
                        {"erase_value", "remove_value"}, {"sort_reverse", "rsort"}}) {
        EXPECT_EQ(method_named(a)->doc, method_named(b)->doc) << a;
        EXPECT_EQ(method_named(a)->arg_docs, method_named(b)->arg_docs) << a;
    }
    EXPECT_EQ(method_named("pop")->doc, "Removes the last element from the JSON container and returns it.");
    EXPECT_EQ(method_named("rsort")->doc,
              "Sorts a JSON object\xE2\x80\x99s entries by key in descending order, keeping keyless entries at the end");
    EXPECT_EQ(method_named("push_cyclic")->arg_docs[1],
              "max_entries: int - Maximum number of elements the list may hold");
    EXPECT_EQ(method_named("merge")->arg_docs[0],
              "other: json - Object to merge\noverwrite: bool - Replace existing keys (default true)");
    EXPECT_EQ(method_named("string")->arg_docs[0],
              "compact: int - flag to produce compact string (0) or pretty-printed (non\xE2\x80\x91zero)");
}

TEST_F(JsonMethods, ConstructorFunction) {
    lum_namespace ns;
    lum_std_json_namespace_init(ns);
    auto it = ns.members.find(std::string_view("json"));
    ASSERT_NE(it, ns.members.end());
    lum_function_def* ctor = it->second->ext_function_record()->definition.get();
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

// Methods whose result is data, one row per call on a fresh receiver: the
// compact text of the result (ints as digits, texts quoted, none as "none")
// and of the receiver afterwards ("" when the receiver must not change).
TEST_F(JsonMethods, ResultsAndReceiversAsTables) {
    struct case_row {
        const char* receiver;
        const char* method;
        std::vector<lumvar_shared> args;
        const char* result;
        const char* after;
    };
    auto show = [](const lumvar_shared& v) -> std::string {
        if (!v) return "<null>";
        if (container_of(v) != nullptr) return v->type == LUMVAR_OBJECT ? "self" : text(v);
        if (v->type == LUMVAR_STRING) return "\"" + v->to_std_string() + "\"";
        if (v->type == LUMVAR_NONE) return "none";
        return v->to_std_string();
    };
    const char* const obj = "{\"Name\": \"x\", \"n\": 1, \"f\": 2.5, \"name\": \"second\"}";
    const case_row rows[] = {
        {"[]", "size", {}, "0", ""}, {"{\"a\": 1, \"b\": [2]}", "size", {}, "2", ""},
        {"[1, 2]", "pop", {}, "self", "[1]"}, {"[]", "pop_back", {}, "self", "{}"},
        {"[\"a\", \"b\", \"c\"]", "insert", {num(-1), str("x")}, "self", "[\"a\",\"b\",\"x\",\"c\"]"},
        {"[\"a\"]", "insert", {num(10), str("e")}, "self", "[\"a\",\"e\"]"},
        {"[\"a\"]", "insert", {num(-10), str("f")}, "self", "[\"f\",\"a\"]"},
        {"[\"a\", \"b\"]", "insert", {flt(1.9), str("o")}, "self", "[\"a\",\"o\",\"b\"]"},
        {"{\"a\": 1, \"b\": 2, \"c\": 3}", "key", {num(-1)}, "\"c\"", ""},
        {"{\"a\": 1, \"b\": 2, \"c\": 3}", "key", {num(0)}, "\"a\"", ""},
        {"{\"a\": 1, \"b\": 2}", "key", {num(-2)}, "\"a\"", ""}, {obj, "has", {str("Name")}, "1", ""},
        {obj, "has", {str("NAME")}, "0", ""}, {"[1]", "has", {str("1")}, "0", ""},
        {obj, "has_value", {num(1)}, "1", ""}, {obj, "has_value", {flt(1.0)}, "1", ""},
        {obj, "has_value", {str("second")}, "1", ""}, {obj, "has_value", {num(3)}, "0", ""},
        {obj, "has_value_str", {str("1")}, "1", ""}, {obj, "has_value_str", {str("2.500000")}, "1", ""},
        {obj, "has_value_str", {str("2.5")}, "0", ""}, {obj, "has_value_str", {str("secon")}, "0", ""},
        {obj, "geti", {str("NAME")}, "\"x\"", ""},  // the first match wins over a later exact key
        {obj, "geti", {str("")}, "none", ""}, {obj, "geti", {str("nope")}, "none", ""},
        {obj, "hasi", {str("nAmE")}, "1", ""}, {obj, "hasi", {str("")}, "0", ""},
        {"[\"name\"]", "hasi", {str("name")}, "0", ""}, {"[10, 11, 12, 13]", "erase", {num(1)}, "1", "[10,12,13]"},
        {"[10, 11, 12, 13]", "erase", {flt(1.9)}, "1", "[10,12,13]"},
        {"[10, 11, 12, 13]", "remove", {num(-1)}, "1", "[10,11,12]"}, {"[10]", "erase", {num(5)}, "0", ""},
        {"[10]", "erase", {num(-2)}, "0", ""}, {"{\"1\": \"one\", \"a\": 1}", "erase", {str("1")}, "1", "{\"a\":1}"},
        {"[1]", "erase", {str("zz")}, "0", ""},  // no index: no notice
        {"[5, 5]", "erase_value", {num(5)}, "1", "[5]"}, {"[5]", "remove_value", {flt(5.0)}, "1", "{}"},
        {"[4]", "remove_value", {num(5)}, "0", ""},
        {"{\"a\": \"v\", \"b\": \"v\"}", "erase_value", {str("v")}, "1", "{\"b\":\"v\"}"},
        {"{\"a\": [1, \"x\"]}", "string", {}, "\"{\n    \"a\": [\n        1,\n        \"x\"\n    ]\n}\"", ""},
        {"{\"a\": [1, \"x\"]}", "string", {num(0)}, "\"{\n    \"a\": [\n        1,\n        \"x\"\n    ]\n}\"", ""},
        {"{\"a\": [1, \"x\"]}", "string", {flt(0.5)}, "\"{\n    \"a\": [\n        1,\n        \"x\"\n    ]\n}\"", ""},
        {"{\"a\": [1, \"x\"]}", "string", {num(1)}, "\"{\"a\":[1,\"x\"]}\"", ""},
        {"{\"a\": [1, \"x\"]}", "compact_string", {}, "\"{\"a\":[1,\"x\"]}\"", ""},
        {"[\"a\", 1]", "combine_string", {str(",")}, "\"a,1,\"", ""},
        {"[\"a\", 1]", "combine_string", {}, "\"a1\"", ""}, {"[]", "combine_string", {str(",")}, "\"\"", ""},
        {"[1, 2]", "from_string", {str("{\"b\": 1, \"a\": 2}")}, "1", "{\"a\":2,\"b\":1}"},
        {"[1, 2]", "from_string", {str("")}, "0", "{}"}, {"{\"a\": 1, \"b\": 2}", "to_list", {}, "self", "[1,2]"},
        {"[]", "resize", {num(2)}, "self", "[null,null]"},
        {"{\"a\": 1, \"b\": 2, \"c\": 3}", "resize", {num(1)}, "self", "{\"a\":1}"},
        {"[1, 2]", "resize", {num(0)}, "self", "{}"},
        {"[1, \"1\", 1.0, 1, 1.0000001, \"1\"]", "unique", {}, "self", "[1,\"1\",1.0]"},
        {"[1, 2, 3, 4, 5]", "push_cyclic", {str("x"), num(3)}, "self", "[4,5,\"x\"]"},
        {"[1, 2]", "push_cyclic", {str("x"), num(3)}, "self", "[1,2,\"x\"]"},
        {"[1, 2, 3]", "push_cyclic", {str("x"), num(1)}, "self", "[\"x\"]"},
        {"[1]", "debug_refs", {num(1)}, "\"[{\"is_ref\":false,\"refcount\":1,\"type\":\"int\"}]\"", ""},
    };
    for (const case_row& r : rows) {
        lumvar_shared self = parse(r.receiver);
        const std::string before = text(self);
        lumvar_shared result = call(self, r.method, r.args);
        SCOPED_TRACE(std::string(r.receiver) + "." + r.method);
        EXPECT_EQ(show(result), r.result);
        if (std::string(r.result) == "self") {
            EXPECT_EQ(container_of(result), container_of(self));
        }
        EXPECT_EQ(text(self), *r.after ? std::string(r.after) : before);
    }
    EXPECT_TRUE(warnings().empty());
    EXPECT_TRUE(errors().empty());  // from_string("") logs nothing
    // geti returns the entry's own cell.
    lumvar_shared g = parse(obj);
    EXPECT_EQ(call(g, "geti", {str("NAME")}).get(), g->json_container()->entries[0].value.get());
    EXPECT_NE(call_text(parse("[1]"), "debug_refs").find("\n    "), std::string::npos);
}

TEST_F(JsonMethods, WarningsAndNoticesOfRefusedCalls) {
    lumvar_shared j = parse("{\"a\": 1, \"b\": 2, \"c\": 3}");
    EXPECT_EQ(call(j, "key", {num(3)})->type, LUMVAR_NONE);
    EXPECT_EQ(call(j, "key", {num(-4)})->type, LUMVAR_NONE);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"index out of range!", "index out of range!"}));
    j->json_container()->push_keyed(num(4), "");  // a list element has no key, a present empty key has ""
    j->json_container()->get_or_add("");
    EXPECT_EQ(call(j, "key", {num(3)})->type, LUMVAR_NONE);
    EXPECT_EQ(call_text(j, "key", {num(4)}), "");
    EXPECT_TRUE(warnings().empty());
    EXPECT_EQ(call_int(j, "erase", {str("zz")}), 0);
    EXPECT_EQ(notices(), std::vector<std::string>{"Key zz does not exist!"});
    call_chained(j, "resize", {num(-1)});
    EXPECT_EQ(warnings(), std::vector<std::string>{"size out of range!"});
    call_chained(j, "push_cyclic", {str("y"), num(0)});
    EXPECT_EQ(warnings(), std::vector<std::string>{"push_cyclic: max_entries must be greater than 0"});
    EXPECT_EQ(j->json_container()->entries.size(), 5u);
    EXPECT_EQ(call_int(j, "from_string", {str("[1,")}), 0);
    EXPECT_EQ(text(j), "{}");
    std::vector<std::string> e = errors();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].rfind("JSON parse error at byte ", 0), 0u);
    // A size no container can hold is refused with a message that says so, before anything changes.
    lumvar_shared r = parse("[1]");
    for (int64_t size : {std::numeric_limits<int64_t>::max(), int64_t{1} << 62}) {
        try {
            call(r, "resize", {num(size)});
            ADD_FAILURE() << size << " was accepted";
        } catch (const std::length_error& ex) {
            EXPECT_EQ(ex.what(), "size " + std::to_string(size) + " is more than a json container can hold");
        }
        EXPECT_EQ(text(r), "[1]");
    }
}

TEST_F(JsonMethods, KeyedEntriesKeepTheIndexExact) {
    lumvar_shared j = parse("[]");
    lumvar_shared s = str("x");
    call_chained(j, "push", {s});
    s->set_string("changed");  // the pushed value is a copy
    call_chained(j, "push_back", {num(2)});
    EXPECT_EQ(text(j), "[\"x\",2]");
    // Popping a keyed entry keeps the index right.
    lumvar_shared k = parse("{\"a\": 1}");
    k->json_container()->push_keyed(num(2), "a");
    call_chained(k, "pop");
    EXPECT_EQ(k->json_container()->get_or_add("a")->payload.i, 1);
    EXPECT_EQ(k->json_container()->key_count("a"), 1u);
    // Inserted entries are list elements even in a keyed container.
    call_chained(k, "insert", {num(0), num(7)});
    EXPECT_FALSE(k->json_container()->entries[0].key);
    call_chained(k, "clear");
    EXPECT_TRUE(k->json_container()->entries.empty());
    EXPECT_FALSE(k->json_container()->key_index);
    lumvar_shared e = parse("{\"1\": \"one\", \"a\": 1}");
    e->json_container()->push_keyed(num(2), "a");
    EXPECT_EQ(call_int(e, "remove", {str("a")}), 1);  // every entry with the key
    EXPECT_EQ(text(e), "{\"1\":\"one\"}");
    EXPECT_FALSE(e->json_container()->has_key("a"));
    lumvar_shared v = parse("{\"a\": \"v\", \"b\": \"v\"}");
    call(v, "erase_value", {str("v")});
    EXPECT_FALSE(v->json_container()->has_key("a"));
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
    lumvar_shared t = parse("{\"a\": 1, \"b\": 2}");
    call_chained(t, "to_list");
    EXPECT_FALSE(t->json_container()->key_index);
    lumvar_shared rs = parse("{\"a\": 1, \"b\": 2, \"c\": 3}");
    call_chained(rs, "resize", {num(1)});
    EXPECT_FALSE(rs->json_container()->has_key("c"));
    lumvar_shared uk = parse("{}");
    push_all(uk->json_container(), {{"a", num(1)}, {"a", num(2)}, {"b", num(1)}, {"", num(1)}, {"", num(1)}});
    call_chained(uk, "unique");
    EXPECT_EQ(keys_of(uk->json_container()), (keys{"a", "b", "-"}));
    EXPECT_EQ(uk->json_container()->get_or_add("a")->payload.i, 1);
    EXPECT_EQ(uk->json_container()->key_count("a"), 1u);
    lumvar_shared ck = parse("{\"a\": 1, \"b\": 2, \"c\": 3}");
    call_chained(ck, "push_cyclic", {str("x"), num(2)});
    EXPECT_EQ(keys_of(ck->json_container()), (keys{"c", "-"}));
    EXPECT_FALSE(ck->json_container()->has_key("a"));
    EXPECT_TRUE(ck->json_container()->has_key("c"));
    // The orderings themselves are the container's; each method must reach its own.
    lumvar_shared so = parse("[3]");
    push_all(so->json_container(), {{"b", num(1)}, {"a", num(4)}});
    call_chained(so, "sort");
    EXPECT_EQ(keys_of(so->json_container()), (keys{"a", "b", "-"}));
    for (const char* reverse : {"sort_reverse", "rsort"}) {
        call_chained(so, "sort");
        call_chained(so, reverse);
        EXPECT_EQ(keys_of(so->json_container()), (keys{"b", "a", "-"})) << reverse;
    }
}

TEST_F(JsonMethods, ClearFreeAndRemoveAllKeysReachEveryLevel) {
    lumvar_shared nested = parse("{\"a\": [1, 2], \"b\": \"x\"}");
    lumvar_shared inner = nested->json_container()->get_or_add("a");
    call_chained(nested, "clear_free");
    EXPECT_TRUE(nested->json_container()->entries.empty());
    EXPECT_TRUE(inner->json_container()->entries.empty());
    lumvar_shared j = parse("{\"id\": 1, \"sub\": {\"id\": 2, \"x\": [{\"id\": 3, \"y\": 4}]}}");
    j->json_container()->push_keyed(lumvar_shared(j), "self");  // the container also holds itself
    call_chained(j, "remove_all_keys", {str("id")});
    EXPECT_FALSE(j->json_container()->has_key("id"));
    EXPECT_EQ(text(j->json_container()->get_or_add("sub")), "{\"x\":[{\"y\":4}]}");
    EXPECT_TRUE(warnings().empty());
    j->json_container()->clear();  // breaks the cycle
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
    lum_std_json* scc = call(self, "copy")->json_container();
    ASSERT_EQ(scc->entries.size(), 2u);
    EXPECT_EQ(scc->entries[1].value->json_container(), scc);
    EXPECT_TRUE(warnings().empty());
    self->json_container()->clear();
    scc->clear();
    // Beyond the nesting limit: 1024 nested copies; the entry that would hold the 1025th is none.
    lumvar_shared deep = call(j1test::nested(1025), "copy");
    EXPECT_EQ(warnings(), std::vector<std::string>{"JSON copy exceeds the maximum nesting depth of 1024, the "
                                                   "remaining members are not copied."});
    lumvar* v = deep.get();
    int depth = 0;
    for (; v->type == LUMVAR_JSON; v = v->json_container()->entries[0].value.get()) {
        ++depth;
        ASSERT_EQ(v->json_container()->entries.size(), 1u);
    }
    EXPECT_EQ(depth, 1024);
    EXPECT_EQ(v->type, LUMVAR_NONE);
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
    EXPECT_EQ(keys_of(a->json_container()), (keys{"-", "a", "b"}));
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
