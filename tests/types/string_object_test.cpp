// The string object: indexing reads and writes (with their warnings), writing
// by key, the object operations, pooling, and the class's registration.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <tuple>

#include "runtime/class_binding.h"
#include "runtime/registry.h"
#include "runtime/thread_local.h"
#include "runtime/vm.h"
#include "tests/types/types_test_support.h"

using namespace strtest;

namespace {

lumvar_shared json_list(std::initializer_list<arg> items) {
    lumvar_shared v = lumvar_shared::make_typed(LUMVAR_JSON);
    for (const arg& a : items) v->json_container()->push_keyed(lumvar_shared(a.value), "");
    return v;
}

std::string read_at(lumvar_shared& s, int64_t i) {
    lumvar_shared r = s->string_object()->get_member(i);
    EXPECT_EQ(r->type, LUMVAR_STRING);
    return text_of(r);
}

std::string written(std::string_view text, int64_t i, arg value) {
    lumvar_shared s = lumvar_shared::from_string(text);
    s->string_object()->set_member(i, value.value);
    return text_of(s);
}

std::string keyed(std::string_view text, std::string_view key, arg value) {
    lumvar_shared s = lumvar_shared::from_string(text);
    s->string_object()->set_member(key, value.value);
    return text_of(s);
}

}  // namespace

using StringObject = string_test;

TEST_F(StringObject, ReadAndWriteByPosition) {
    // A read gives one byte, or the empty text out of range.
    const std::tuple<std::string, int64_t, std::string> reads[] = {
        {"abc", 0, "a"},   {"abc", -1, "c"},        {"abc", -3, "a"},       {"abc", 3, ""},
        {"abc", -4, ""},   {"abc", INT64_MIN, ""},  {"abc", INT64_MAX, ""}, {"\xc3\x84", 0, "\xc3"},
        {std::string("ab\0", 3), 2, std::string(1, '\0')}};
    for (const auto& [text, i, expected] : reads) {
        lumvar_shared s = str(text);
        EXPECT_EQ(read_at(s, i), expected) << text << "[" << i << "]";
    }
    // A write overwrites, cuts at the end of the written text or pads with spaces.
    const std::tuple<const char*, int64_t, arg, const char*> writes[] = {
        {"abc", 1, "XY", "aXY"},   {"abc", 0, "Z", "Zbc"},          {"abc", 5, "!", "abc  !"},
        {"abc", -10, "Q", "Qbc"},  {"abc", -1, "Q", "abQ"},         {"abc", 3, "de", "abcde"},
        {"abcdef", 1, "XY", "aXYdef"}, {"abc", 1, "", "abc"},       {"abc", 1, 42, "a42"},
        {"", 2, 1.5, "  1.500000"}};
    for (const auto& [text, i, value, expected] : writes) EXPECT_EQ(written(text, i, value), expected) << text << i;
    EXPECT_TRUE(warnings().empty());
    // Writing the string into itself copies it first.
    lumvar_shared s = str("abc");
    s->string_object()->set_member(1, s);
    EXPECT_EQ(text_of(s), "aabc");
    lumvar_shared t = str("abcdef");
    t->string_object()->set_member(0, lumvar_shared::from_object(t->string_object()));
    EXPECT_EQ(text_of(t), "abcdef");
}

TEST_F(StringObject, WriteFarPastTheEndClampsAndWarns) {
    // Index, text length -> warning, written position. Padding stops at 1 MiB
    // or at the end of a longer text; exactly at the limit nothing is said.
    const std::tuple<int64_t, size_t, const char*, size_t> rows[] = {
        {2000000, 10, "std.string[]: index 2000000 clamped to 1048576", 1048576},
        {1048576, 0, "", 1048576},
        {3000000, 2000000, "std.string[]: index 3000000 clamped to 2000000", 2000000},
        {1500000, 2000000, "", 1500000}};
    for (const auto& [index, length, warning, at] : rows) {
        lumvar_shared s = str(std::string(length, 'a'));
        s->string_object()->set_member(index, str("x"));
        EXPECT_EQ(warnings(), *warning ? strings{warning} : strings{}) << index;
        const std::string& t = s->string_object()->text;
        ASSERT_EQ(t.size(), std::max(length, at + 1)) << index;
        EXPECT_EQ(t.find_first_not_of('a'), std::min(length, at)) << index;
        EXPECT_EQ(t.find_first_not_of(' ', std::min(length, at)), at) << index;
        EXPECT_EQ(t[at], 'x');
    }
}

TEST_F(StringObject, WriteByKeyReplacesOccurrences) {
    // A json list gives its elements in turn (keys ignored, elements not searched again).
    lumvar_shared keyed_list = lumvar_shared::make_typed(LUMVAR_JSON);
    keyed_list->json_container()->push_keyed(str("K"), "name");
    lumvar_shared list = json_list({"<", ">"});
    lumvar_shared ref = lumvar_shared::make();
    ref->set_ref(list.get());  // a reference to a list counts as the list
    const std::tuple<const char*, const char*, arg, const char*> rows[] = {
        {"a-b-c", "-", "+", "a+b+c"},   {"a-b-c", "-", 7, "a7b7c"},     {"a-b-c", "x", "+", "a-b-c"},
        {"a--b", "--", "-", "a-b"},     {"a-b-c", "-", json_list({"1", "2", "3"}), "a1b2c"},
        {"a-b-c", "-", json_list({"1"}), "a1b-c"}, {"a-b-c", "-", json_list({}), "a-b-c"},
        {"a-b-c", "-", json_list({"--", "+"}), "a--b+c"}, {"x..y", ".", json_list({1, 2.5}), "x12.500000y"},
        {"a-b", "-", keyed_list, "aKb"}, {"a-b-c", "-", ref, "a<b>c"}};
    for (const auto& [text, key, value, expected] : rows) EXPECT_EQ(keyed(text, key, value), expected) << text << key;
    EXPECT_TRUE(log().entries().empty());  // running out of elements reports nothing
    EXPECT_EQ(keyed("a-b-c", "", "+"), "a-b-c");
    EXPECT_EQ(warnings(), strings{"std.string[]: empty search key - nothing to search for, call ignored."});
    lumvar_shared self = str("abab");
    self->string_object()->set_member("b", self);
    EXPECT_EQ(text_of(self), "aababaabab");
}

TEST_F(StringObject, IndexingThroughValuesReadsAndWritesThroughMemberReferences) {
    lumvar_shared s = str("abc");
    lumvar_shared ref;
    s->get_member_by_index(ref, 1);
    lumvar_shared value;
    ref->deref(value);
    EXPECT_EQ(text_of(value), "b");
    lumvar_shared z = str("Z");
    ref->set(z);
    EXPECT_EQ(text_of(s), "aZc");
    lumvar_shared key_ref;
    s->get_member_by_name(key_ref, "Z");
    lumvar_shared q = str("QQ");
    key_ref->set(q);
    EXPECT_EQ(text_of(s), "aQQc");
}

TEST_F(StringObject, ReadingANameThatIsNotAMethodIsAnError) {
    lumvar_shared s = str("abc");
    lumvar_shared member = s->string_object()->get_member(std::string_view("name"));
    EXPECT_EQ(member->type, LUMVAR_NONE);
    bool found = false;
    for (auto& e : log().entries())
        found |= e.level == LUM_LOG_ERROR && e.text.find("type 'std.string' does not have member 'name'") !=
                                                 std::string::npos;
    EXPECT_TRUE(found);
    // A method name yields the bound method.
    lumvar_shared method = s->string_object()->get_member(std::string_view("length"));
    EXPECT_EQ(method->type, LUMVAR_EXT_FUNCTION);
}

TEST_F(StringObject, ObjectOperations) {
    lumvar_shared s = str(std::string("a\0b", 3));
    lum_std_string* o = s->string_object();
    EXPECT_EQ(o->size(), 3);
    EXPECT_FALSE(o->compare_zero());
    EXPECT_EQ(o->to_string(), std::string("a\0b", 3));
    EXPECT_STREQ(o->type_name(), "std.string");
    lumptr_strong<lumobject_base> c = o->copy();
    ASSERT_TRUE(c);
    EXPECT_NE(c.get(), static_cast<lumobject_base*>(o));
    EXPECT_EQ(c->to_string(), o->to_string());
    o->text = "changed";
    EXPECT_EQ(c->to_string(), std::string("a\0b", 3));
    EXPECT_TRUE(str("")->string_object()->compare_zero());
}

TEST_F(StringObject, ObjectsComeFromThePoolAndAreReusedWithoutRebuilding) {
    lum_vm& vm = host.vm();
    auto& pool = vm.pool_strings;
    const uint64_t live = pool.live_count();
    lum_std_string* a = lum_std_string::create();
    ASSERT_NE(a->pool_slot, LUM_POOL_HEAP_SLOT);
    EXPECT_EQ(pool.live_count(), live + 1);
    a->text.reserve(600);
    const size_t kept = a->text.capacity();
    {
        lumptr_strong<lum_std_string> hold(a);
    }
    EXPECT_EQ(pool.live_count(), live);
    // The slot comes back first, as it was: emptied, its small buffer kept.
    lum_std_string* b = lum_std_string::create();
    EXPECT_EQ(b, a);
    EXPECT_TRUE(b->text.empty());
    EXPECT_EQ(b->text.capacity(), kept);
    b->text.assign(5000, 'x');
    {
        lumptr_strong<lum_std_string> hold(b);
    }
    lum_std_string* c = lum_std_string::create();
    EXPECT_EQ(c, a);
    EXPECT_LE(c->text.capacity(), lum_std_string::kept_capacity);
    EXPECT_EQ(c->text.capacity(), std::string().capacity());
    lumptr_strong<lum_std_string> hold_c(c);
    // A whole chunk of 255 objects is built at once.
    const uint64_t chunks = pool.chunk_count();
    std::vector<lumptr_strong<lum_std_string>> many;
    for (int i = 0; i < 255; ++i) many.emplace_back(lum_std_string::create());
    EXPECT_LE(pool.chunk_count(), chunks + 1);
    EXPECT_GE(pool.chunk_count(), 1u);
}

TEST_F(StringObject, ObjectsComeFromTheHeapWithoutTheVmLock) {
    lum_std_string* other = nullptr;
    std::thread([&] { other = lum_std_string::create(); }).join();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->pool_slot, LUM_POOL_HEAP_SLOT);
    lumptr_strong<lum_std_string> hold(other);
}

TEST_F(StringObject, ReleaseOnAnotherThreadGoesThroughTheDeferredRing) {
    lum_vm& vm = host.vm();
    auto& pool = vm.pool_strings;
    lumvar_shared s = str(std::string(3000, 'q'));
    const uint64_t live = pool.live_count();
    lum_std_string* object = s->string_object();
    lum_vm* vm_ptr = &vm;
    std::thread([&s, vm_ptr] {
        lum_get_thread_local().vm = vm_ptr;  // a VM thread that does not own the lock
        s.reset();
        lum_get_thread_local().vm = nullptr;
    }).join();
    EXPECT_EQ(pool.live_count(), live);  // not yet back
    EXPECT_GE(pool.deferred_pending(), 1u);
    EXPECT_TRUE(object->text.empty());
    EXPECT_LE(object->text.capacity(), lum_std_string::kept_capacity);
    host.turn();
    EXPECT_EQ(pool.live_count(), live - 1);
}

// ---- registration: the method table (order, ranges, flags, docs), the
// registry records, the start-up entry and the constructor function ----
using namespace strtest;

namespace {

struct row {
    const char* name;
    uint32_t min_args, max_args, flags, arg_docs;
};

// The script-visible table, in registration order.
const row expected_rows[] = {
    {"length", 0, 0, 1, 0}, {"size", 0, 0, 1, 0}, {"empty", 0, 0, 1, 0}, {"count", 0, 1, 1, 1},
    {"insert", 2, 2, 1, 2}, {"replace", 1, 2, 1, 2}, {"replace_ignoring_whitespace", 1, 2, 1, 2},
    {"replace_inplace", 2, 2, 1, 1}, {"replace_first", 2, 2, 1, 1}, {"lowercase", 0, 0, 1, 0},
    {"lowercase_inplace", 0, 0, 1, 0}, {"uppercase", 0, 0, 1, 0}, {"uppercase_inplace", 0, 0, 1, 0},
    {"trim", 0, 0, 1, 0}, {"trim_inplace", 0, 0, 1, 0}, {"strip", 0, 0, 1, 0}, {"strip_inplace", 0, 0, 1, 0},
    {"ltrim", 0, 0, 1, 0}, {"ltrim_inplace", 0, 0, 1, 0}, {"rtrim", 0, 0, 1, 0}, {"rtrim_inplace", 0, 0, 1, 0},
    {"rstrip_lines", 0, 0, 1, 0}, {"compress_whitespace", 0, 0, 1, 0}, {"compress_whitespace_inplace", 0, 0, 1, 0},
    {"starts", 1, 1, 1, 1}, {"ends", 1, 1, 1, 1}, {"substr", 1, 2, 1, 1}, {"substr_inplace", 1, 2, 1, 1},
    {"reverse", 0, 0, 1, 0}, {"reverse_inplace", 0, 0, 1, 0}, {"contains", 1, 1, 1, 1},
    {"contains_ignoring_whitespaces", 1, 1, 1, 1}, {"split", 1, 3, 1, 3}, {"split_words", 0, 0, 1, 0},
    {"smart_split", 1, 3, 1, 3}, {"find", 1, 2, 1, 1}, {"rfind", 1, 2, 1, 1}, {"find_first_of", 1, 2, 1, 1},
    {"find_last_of", 1, 2, 1, 1}, {"find_first_not_of", 1, 2, 1, 1}, {"find_last_not_of", 1, 2, 1, 1},
    {"ljust", 1, 2, 1, 1}, {"rjust", 1, 2, 1, 1}, {"center", 1, 2, 1, 1}, {"removeprefix", 1, 1, 1, 1},
    {"removesuffix", 1, 1, 1, 1}, {"removechars", 1, 1, 1, 1}, {"removecharsexcept", 1, 1, 1, 1},
    {"extract", 2, 2, 1, 2}, {"extract_quotes", 0, 0, 1, 0}, {"extract_all", 2, 2, 1, 2}, {"regex_match", 1, 1, 2, 1},
    {"regex_search", 1, 1, 2, 1}, {"regex_findall", 1, 1, 2, 1}, {"regex_replace", 2, 2, 2, 1},
    {"regex_replace_inplace", 2, 2, 1, 1}, {"regex_split", 1, 1, 2, 1}, {"regex_escape", 0, 0, 2, 0},
};

lum_function_def* method_at(size_t i) {
    return lum_std_string::tables().members[i]->static_value();
}

lum_function_def* method_named(std::string_view name) {
    const int64_t i = lum_std_string::tables().name_index.at(name);
    return method_at(static_cast<size_t>(i));
}

}  // namespace

TEST_F(StringObject, MethodTableMatchesTheExpectedRowsInOrderWithRangesAndFlags) {
    const auto& members = lum_std_string::tables().members;
    ASSERT_EQ(members.size(), std::size(expected_rows));
    for (size_t i = 0; i < members.size(); ++i) {
        const row& r = expected_rows[i];
        lum_function_def* def = method_at(i);
        ASSERT_NE(def, nullptr) << i;
        EXPECT_EQ(def->name, r.name) << i;
        EXPECT_EQ(def->min_args, r.min_args) << r.name;
        EXPECT_EQ(def->max_args, r.max_args) << r.name;
        EXPECT_EQ(def->flags, r.flags) << r.name;
        EXPECT_EQ(def->method, 1) << r.name;
        EXPECT_EQ(def->arg_docs.size(), r.arg_docs) << r.name;
        EXPECT_FALSE(def->doc.empty()) << r.name;
        EXPECT_EQ(lum_std_string::tables().name_index.at(r.name), static_cast<int64_t>(i)) << r.name;
    }
}

TEST_F(StringObject, DocumentationTextsAreTheScriptVisibleOnes) {
    EXPECT_EQ(method_named("length")->doc, "Retrieve the length of the string");
    EXPECT_EQ(method_named("replace")->arg_docs[0],
              "search_or_map: string|json - Substring to search for or json map of replacements");
    EXPECT_EQ(method_named("split")->arg_docs[1],
              "max_parts: int - Maximum number of resulting strings (-1 is the default, disables this)");
    EXPECT_EQ(method_named("regex_escape")->doc, "Escape regex metacharacters in string");
}

TEST_F(StringObject, RegistryHoldsFactoryAndMetadata) {
    lum_global_instance& registry = lum_registry();
    auto f = registry.factories->find(std::string_view("std.string"));
    ASSERT_NE(f, registry.factories->end());
    lumptr_strong<lumobject_base> made = f->second();
    ASSERT_TRUE(made);
    EXPECT_STREQ(made->type_name(), "std.string");
    EXPECT_TRUE(made->compare_zero());
    auto m = registry.metadata->find(std::string_view("std.string"));
    ASSERT_NE(m, registry.metadata->end());
    EXPECT_EQ(m->second->static_members.size(), std::size(expected_rows));
    EXPECT_TRUE(m->second->other_member_names.empty());
}

TEST_F(StringObject, StartUpListPublishesTheConstructorThatConcatenatesItsArguments) {
    lum_global_instance& registry = lum_registry();
    auto it = registry.namespace_initializers.find(std::string_view("std"));
    ASSERT_NE(it, registry.namespace_initializers.end());
    lum_namespace ns;
    for (auto& init : it->second) init(ns);
    auto member = ns.members.find(std::string_view("string"));
    ASSERT_NE(member, ns.members.end());
    ASSERT_EQ(member->second->type, LUMVAR_EXT_FUNCTION);
    lum_function_def* def = member->second->ext_function_record()->definition.get();
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def->min_args, 0u);
    EXPECT_EQ(def->max_args, 999u);
    EXPECT_EQ(def->class_type_name, "std.string");
    EXPECT_EQ(def->doc, "Create a new string, optionally initialized with given values that are concatenated");
    EXPECT_EQ(def->arg_docs, std::vector<std::string_view>{"value: string - Initial string values to concatenate"});
    lum_vm_context context;
    std::vector<lumvar_shared> none;
    lumvar_shared empty = def->callable(context, none);
    ASSERT_EQ(empty->type, LUMVAR_STRING);
    EXPECT_EQ(text_of(empty), "");
    std::vector<lumvar_shared> mixed{str("a"), lumvar_shared::from_int(1), lumvar_shared::from_float(2.5),
                                     lumvar_shared::make(), str(std::string("\0\xff", 2))};
    lumvar_shared joined = def->callable(context, mixed);
    ASSERT_EQ(joined->type, LUMVAR_STRING);
    EXPECT_EQ(text_of(joined), std::string("a12.500000\0\xff", 12));
    // The result is a new string: the arguments are untouched.
    EXPECT_NE(joined->string_object(), mixed[0]->string_object());
    EXPECT_EQ(text_of(mixed[0]), "a");
    // A namespace that already has the name keeps its member.
    lum_namespace taken;
    taken.members.emplace("string", lumvar_shared::from_int(7));
    lum_std_string_namespace_init(taken);
    EXPECT_EQ(taken.members.at("string")->payload.i, 7);
    EXPECT_TRUE(taken.functions.empty());
}
