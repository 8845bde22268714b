// "std.string" registration: the method table (order, ranges, flags, docs),
// the registry records, the start-up entry and the constructor function.

#include <gtest/gtest.h>

#include "runtime/class_binding.h"
#include "runtime/registry.h"
#include "tests/types/types_test_support.h"

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

TEST_F(string_test, MethodTableHasFiftyEightRowsInOrderWithRangesAndFlags) {
    const auto& members = lum_std_string::tables().members;
    ASSERT_EQ(members.size(), 58u);
    ASSERT_EQ(std::size(expected_rows), 58u);
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

TEST_F(string_test, DocumentationTextsAreTheScriptVisibleOnes) {
    EXPECT_EQ(method_named("length")->doc, "Retrieve the length of the string");
    EXPECT_EQ(method_named("replace")->arg_docs[0],
              "search_or_map: string|json - Substring to search for or json map of replacements");
    EXPECT_EQ(method_named("split")->arg_docs[1],
              "max_parts: int - Maximum number of resulting strings (-1 is the default, disables this)");
    EXPECT_EQ(method_named("regex_escape")->doc, "Escape regex metacharacters in string");
}

TEST_F(string_test, RegistryHoldsFactoryAndMetadata) {
    lum_global_instance& registry = lum_registry();
    auto f = registry.factories->find(std::string_view("std.string"));
    ASSERT_NE(f, registry.factories->end());
    lumptr_strong<lumobject_base> made = f->second();
    ASSERT_TRUE(made);
    EXPECT_STREQ(made->type_name(), "std.string");
    EXPECT_TRUE(made->compare_zero());
    auto m = registry.metadata->find(std::string_view("std.string"));
    ASSERT_NE(m, registry.metadata->end());
    EXPECT_EQ(m->second->static_members.size(), 58u);
    EXPECT_TRUE(m->second->other_member_names.empty());
}

TEST_F(string_test, StartUpListPublishesTheConstructorThatConcatenatesItsArguments) {
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
