// The JSON text form: printing (object/array choice, unkeyed entries, sorted
// unique keys, number format, UTF-8 replacement, markers and their warnings),
// parsing (types, duplicate keys, comments, big numbers, retry on the embedded
// span, error lines with their byte positions, depth limit) and the reference
// listing.
#include <cstdint>
#include <random>

#include <nlohmann/json.hpp>

#include "tests/types/types_test_support.h"

namespace j1test {
namespace {

using JsonText = json_test;

constexpr const char* cycle_warning =
    "JSON contains a reference to itself, printing \"<cycle>\" instead of recursing forever.";
constexpr const char* depth_warning =
    "JSON nesting exceeds the maximum depth of 1024, printing \"<nested too deeply>\" for the rest.";

std::string brackets(size_t levels, std::string_view inside = "1") {
    return std::string(levels, '[') + std::string(inside) + std::string(levels, ']');
}

TEST_F(JsonText, ObjectOrArrayAndUnkeyedEntries) {
    auto [v, c] = fresh_json();
    EXPECT_EQ(compact(c), "{}");
    EXPECT_EQ(pretty(c), "{}");
    c->push_keyed(num(1), "");
    c->get_or_add("");  // a present empty key does not make an object
    EXPECT_EQ(compact(c), "[1,null]");
    auto [m, mixed] = fresh_json();
    push_all(mixed, {{"k", num(1)}, {"", num(2)}, {"", num(3)}});
    EXPECT_EQ(compact(mixed), "{\"\":3,\"k\":1}");
    // Printing never gives the unkeyed entries a key.
    EXPECT_FALSE(mixed->entries[1].key);
    EXPECT_FALSE(mixed->entries[2].key);
    auto [d, dup] = fresh_json();
    push_all(dup, {{"b", num(1)}, {"a", num(2)}, {"b", num(3)}});
    EXPECT_EQ(compact(dup), "{\"a\":2,\"b\":3}");
    EXPECT_EQ(pretty(dup), "{\n    \"a\": 2,\n    \"b\": 3\n}");
    EXPECT_EQ(dup->to_string(), pretty(dup));
    EXPECT_EQ(d->to_std_string(), pretty(dup));  // the text form of the json value
}

TEST_F(JsonText, ValueTypes) {
    auto [v, c] = fresh_json();
    c->push_keyed(boolean_of(num(5)), "bool");
    lumvar_shared five = num(5);
    c->emplace_keyed("ref")->set_ref(five.get());
    push_all(c, {{"f", lumvar_shared::from_float(2.5)}, {"one", lumvar_shared::from_float(1.0)},
                 {"nan", lumvar_shared::from_float(std::nan(""))}, {"big", lumvar_shared::from_float(1e300)},
                 {"min", num(INT64_MIN)}, {"none", lumvar_shared::make()}});
    auto [e, empty] = fresh_json();
    push_all(c, {{"empty", lumvar_shared(e)}, {"bin", lumvar_shared::from_bytes(std::vector<uint8_t>{'h', 'i'})}});
    EXPECT_EQ(compact(c),
              "{\"big\":1e+300,\"bin\":\"hi\",\"bool\":true,\"empty\":{},\"f\":2.5,\"min\":-9223372036854775808,"
              "\"nan\":null,\"none\":null,\"one\":1.0,\"ref\":\"5\"}");
}

TEST_F(JsonText, InvalidUtf8IsReplacedAndNulBytesSurvive) {
    auto [v, c] = fresh_json();
    c->push_keyed(str("a\xff" "b"), std::string("k\xfe", 2));
    c->push_keyed(str(std::string("x\0y", 3)), std::string("n\0", 2));
    const std::string out = compact(c);
    EXPECT_EQ(out, "{\"k\xef\xbf\xbd\":\"a\xef\xbf\xbd" "b\",\"n\\u0000\":\"x\\u0000y\"}");
    auto [b, back] = fresh_json();
    ASSERT_TRUE(back->from_string(out, false));
    EXPECT_EQ(back->get_or_add(std::string("n\0", 2))->to_std_string(), std::string("x\0y", 3));
}

TEST_F(JsonText, CyclesAndDepthPrintMarkersWithOneWarning) {
    auto [v, c] = fresh_json();
    push_all(c, {{"a", num(1)}, {"self", lumvar_shared(v)}, {"again", lumvar_shared(v)}});
    EXPECT_EQ(compact(c), "{\"a\":1,\"again\":\"<cycle>\",\"self\":\"<cycle>\"}");
    EXPECT_EQ(warnings(), std::vector<std::string>{cycle_warning});
    // The same container twice side by side is no cycle.
    auto [s, shared] = fresh_json();
    shared->push_keyed(num(7), "");
    auto [t, twice] = fresh_json();
    push_all(twice, {{"", lumvar_shared(s)}, {"", lumvar_shared(s)}});
    EXPECT_EQ(compact(twice), "[[7],[7]]");
    EXPECT_TRUE(warnings().empty());
    // 1024 levels print fully; level 1025 becomes the marker.
    lumvar_shared deep = nested(1024);
    EXPECT_EQ(compact(deep->json_container()), brackets(1024));
    EXPECT_TRUE(warnings().empty());
    lumvar_shared deeper = nested(1025);
    EXPECT_EQ(compact(deeper->json_container()), brackets(1024, "\"<nested too deeply>\""));
    EXPECT_EQ(warnings(), std::vector<std::string>{depth_warning});
    // Warnings go to the logger outside a task; nothing leaks between calls.
    EXPECT_EQ(compact(twice), "[[7],[7]]");
    EXPECT_TRUE(warnings().empty());
}

// An object value whose object is a container prints as the string of that
// container's text, printed by a print of its own. That print continues the
// enclosing one: a container being printed further out is a cycle, and the
// containers open across all prints are limited, so printing always ends.
TEST_F(JsonText, PrintsStartedInsidePrintsShareThePath) {
    auto [v, c] = fresh_json();
    c->push_keyed(num(1), "");
    c->push_keyed(lumvar_shared::from_object(c), "");  // what a chained method call returns
    EXPECT_EQ(compact(c), "[1,\"\\\"<cycle>\\\"\"]");
    EXPECT_EQ(warnings(), std::vector<std::string>{cycle_warning});
    std::string text;
    v->string_value(text);
    EXPECT_NE(text.find("<cycle>"), std::string::npos);
    warnings();
    c->clear();
    // Side by side, the same container still prints twice in full.
    auto [in, inner] = fresh_json();
    inner->push_keyed(num(7), "");
    push_all(c, {{"", lumvar_shared::from_object(inner)}, {"", lumvar_shared::from_object(inner)}});
    EXPECT_EQ(compact(c), "[\"[\\n    7\\n]\",\"[\\n    7\\n]\"]");
    EXPECT_TRUE(warnings().empty());
    // A chain of containers, each holding the next through an object value,
    // far longer than the native stack could follow print by print.
    lumvar_shared chain = lumvar_shared::make_typed(LUMVAR_JSON);
    for (int i = 0; i < 5000; ++i) {
        lumvar_shared link = lumvar_shared::make_typed(LUMVAR_JSON);
        link->json_container()->push_keyed(lumvar_shared::from_object(chain->json_container()), "");
        chain = std::move(link);
    }
    const std::string long_text = compact(chain->json_container());
    EXPECT_NE(long_text.find("<nested too deeply>"), std::string::npos);
    EXPECT_EQ(warnings().size(), 1u);  // the print that met the limit warns
}

TEST_F(JsonText, ParsedValuesGetTheirTypes) {
    auto [v, c] = fresh_json();
    ASSERT_TRUE(
        c->from_string("[1, 2.5, \"s\", null, true, false, -7, 9223372036854775807, 9223372036854775808]", false));
    const uint8_t types[] = {LUMVAR_INT, LUMVAR_FLOAT,  LUMVAR_STRING, LUMVAR_NONE, LUMVAR_OBJECT,
                             LUMVAR_OBJECT, LUMVAR_INT, LUMVAR_INT, LUMVAR_FLOAT};
    ASSERT_EQ(c->entries.size(), std::size(types));
    for (size_t i = 0; i < std::size(types); ++i) {
        EXPECT_FALSE(c->entries[i].key) << i;
        EXPECT_EQ(c->entries[i].value->type, types[i]) << i;
    }
    EXPECT_EQ(as_json_bool(c->entries[4].value->object_raw())->value->payload.i, 1);
    EXPECT_EQ(as_json_bool(c->entries[5].value->object_raw())->value->payload.i, 0);
    // Parsed and printed again: duplicate members collapse (the last wins) and
    // come back in key order; integers beyond int64 come back as floats; the
    // only member with the empty name is a present empty key, printed as an array.
    const std::pair<const char*, const char*> rows[] = {
        {"[1, 2.5, \"s\", null, true, false, -7]", "[1,2.5,\"s\",null,true,false,-7]"},
        {"{\"b\": 1, \"a\": 2, \"a\": 3}", "{\"a\":3,\"b\":1}"},
        {"42", "[42]"},
        {"{\"\": 5}", "[5]"},
        {"[[]]", "[{}]"},  // an empty container cannot tell list from object
        {"[9223372036854775807, 9223372036854775808, 18446744073709551615, -9223372036854775808]",
         "[9223372036854775807,9.223372036854776e+18,1.8446744073709552e+19,-9223372036854775808]"},
        {"[1e-7, \"t\\u00e9xt\"]", "[1e-07,\"t\xc3\xa9xt\"]"},
    };
    for (const auto& [source, printed] : rows) {
        ASSERT_TRUE(c->from_string(source, false)) << source;
        EXPECT_EQ(compact(c), printed) << source;
    }
    ASSERT_TRUE(c->from_string("{\"\": 5}", false));
    EXPECT_TRUE(c->entries[0].key && c->entries[0].key->empty());
    EXPECT_TRUE(c->has_key(""));
    ASSERT_TRUE(c->from_string("{\"b\": 1, \"a\": 2, \"a\": 3}", false));
    EXPECT_EQ(keys_of(c), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(c->get_or_add("b")->payload.i, 1);
}

// text -> value -> text over generated containers: printing what was parsed
// from a print gives the same text, from the compact and the pretty form.
TEST_F(JsonText, GeneratedContainersRoundTripThroughText) {
    std::mt19937 rng(3);
    for (int round = 0; round < 300; ++round) {
        lumvar_shared v = random_json(rng, 3, true);
        const std::string first = compact(v->json_container());
        auto [a, again] = fresh_json();
        ASSERT_TRUE(again->from_string(first, false)) << first;
        for (bool compact_form : {true, false}) {
            auto [b, back] = fresh_json();
            std::string printed;
            ASSERT_TRUE(back->from_string(json_to_text(v->json_container(), printed, compact_form), false)) << printed;
            ASSERT_EQ(compact(back), first) << round;
            ASSERT_EQ(describe(back), describe(again)) << round;
        }
    }
    EXPECT_TRUE(errors().empty());
}

TEST_F(JsonText, CommentsAndEmbeddedJson) {
    auto [v, c] = fresh_json();
    ASSERT_TRUE(c->from_string("// header\n{ /* a */ \"a\": 1 // tail\n}", false));
    EXPECT_EQ(compact(c), "{\"a\":1}");
    // Words around one object: the retry on the span succeeds silently.
    ASSERT_TRUE(c->from_string("reply: {\"ok\": [1]} (end)", false));
    EXPECT_EQ(compact(c), "{\"ok\":[1]}");
    EXPECT_TRUE(errors().empty());
    // Two documents side by side span the whole text: no retry.
    EXPECT_FALSE(c->from_string("[1] [2]", false));
    EXPECT_EQ(errors(), std::vector<std::string>{
                            "JSON parse error at byte 5 of 7: [json.exception.parse_error.101] parse error at line 1, "
                            "column 5: syntax error while parsing value - unexpected '['; expected end of input\n"
                            "  near: [1] [2]"});
    // A NUL byte does not end the text: what follows it is trailing text, in
    // the whole text and in the embedded span alike.
    const std::string nul_texts[] = {std::string("{\"a\":1}\0{\"b\":2}", 15), std::string("[1]\0[2]", 7),
                                     std::string("[1] \0 ]", 7), std::string("x {\"a\":1}\0{\"b\":2} y", 19)};
    for (const std::string& t : nul_texts) {
        c->push_keyed(num(1), "old");
        EXPECT_FALSE(c->from_string(t, false)) << t;
        EXPECT_TRUE(c->entries.empty());
        const std::vector<std::string> lines = errors();
        ASSERT_EQ(lines.size(), 1u);
        if (t[0] != 'x') {  // else the line reports the whole text's first fault
            EXPECT_NE(lines[0].find("unexpected NUL byte; expected end of input"), std::string::npos) << lines[0];
        }
        nlohmann::json doc;
        json_parse_error error;
        EXPECT_FALSE(parse_json_text(t, doc, error));
    }
    // Bytes after the one value, a NUL among them, are words around it.
    ASSERT_TRUE(c->from_string(std::string("{\"a\":1}\0 (end)", 14), false));
    EXPECT_EQ(compact(c), "{\"a\":1}");
    EXPECT_TRUE(errors().empty());
    ASSERT_TRUE(c->from_string(std::string("{\"a\":\"\\u0000\"}"), false));  // an escaped NUL is a value
    EXPECT_EQ(c->get_or_add("a")->to_std_string(), std::string("\0", 1));
}

TEST_F(JsonText, FailedParsesLogTheirLineExactlyAndEmptyTheContainer) {
    auto [v, c] = fresh_json();
    EXPECT_FALSE(c->from_string("{\"a\"", false));
    // The recorded byte is past the end: the line names min(n, byte).
    EXPECT_EQ(errors(), std::vector<std::string>{
                            "JSON parse error at byte 4 of 4: [json.exception.parse_error.101] parse error at line 1, "
                            "column 5: syntax error while parsing object separator - unexpected end of input; "
                            "expected ':'\n  near: {\"a\""});
    // An error deep in a long text: the window starts 60 bytes before it and
    // holds at most 120 bytes.
    std::string long_text = "[";
    for (int i = 0; i < 100; ++i) long_text += "1,";
    long_text += "x";
    for (int i = 0; i < 100; ++i) long_text += ",1";
    long_text += "]";
    json_parse_error error;
    nlohmann::json doc;
    ASSERT_FALSE(parse_json_text(long_text, doc, error));
    EXPECT_EQ(error.byte, 202u);
    EXPECT_FALSE(c->from_string(long_text, false));
    const std::vector<std::string> lines = errors();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("JSON parse error at byte 202 of 403: ", 0), 0u);
    EXPECT_EQ(lines[0].substr(lines[0].find("\n  near: ") + 9), long_text.substr(141, 120));
    // Suppressed errors and the empty text log nothing; a failed parse leaves the container empty.
    c->push_keyed(num(1), "old");
    EXPECT_FALSE(c->from_string("{\"a\": tru}", true));
    EXPECT_TRUE(c->entries.empty());
    EXPECT_EQ(c->key_index, nullptr);
    c->push_keyed(num(1), "old");
    EXPECT_FALSE(c->from_string("", false));
    EXPECT_TRUE(c->entries.empty());
    EXPECT_TRUE(errors().empty());
    // The window's byte arithmetic for an error at byte 0 and at byte 1.
    EXPECT_EQ(json_parse_error_message("abc", {0, "e"}), "JSON parse error at byte 0 of 3: e\n  near: abc");
    EXPECT_EQ(json_parse_error_message("abc", {1, "e"}), "JSON parse error at byte 1 of 3: e\n  near: abc");
}

TEST_F(JsonText, NestingLimitOnParse) {
    auto [v, c] = fresh_json();
    ASSERT_TRUE(c->from_string(brackets(1024), false));
    EXPECT_EQ(compact(c), brackets(1024));
    EXPECT_FALSE(c->from_string(brackets(1025), false));
    EXPECT_TRUE(c->entries.empty());
    EXPECT_EQ(errors(), std::vector<std::string>{"JSON parse error: nesting exceeds the maximum depth of 1024."});
    EXPECT_FALSE(c->from_string(brackets(1025), true));
    EXPECT_TRUE(errors().empty());
    // Far deeper input (parsed by the library without recursion) fails the same way.
    EXPECT_FALSE(c->from_string(brackets(30000), true));
    EXPECT_TRUE(c->entries.empty());
}

TEST_F(JsonText, DebugRefsListsCellsAndMarkers) {
    auto [v, c] = fresh_json();
    c->push_keyed(num(1), "");
    std::string out;
    EXPECT_EQ(json_debug_refs(c, out, true), "[{\"is_ref\":false,\"refcount\":1,\"type\":\"int\"}]");
    lumvar_shared held = c->entries[0].value;  // a second holder of the cell
    EXPECT_EQ(json_debug_refs(c, out, true), "[{\"is_ref\":false,\"refcount\":2,\"type\":\"int\"}]");
    held.reset();
    auto [ov, o] = fresh_json();
    lumvar_shared target = str("t");
    o->emplace_keyed("r")->set_ref(target.get());
    auto [e, empty] = fresh_json();
    push_all(o, {{"e", lumvar_shared(e)}, {"me", lumvar_shared(ov)}});
    EXPECT_EQ(json_debug_refs(o, out, true),
              "{\"e\":{},\"me\":\"<cycle>\",\"r\":{\"is_ref\":true,\"refcount\":1,\"type\":\"ref\"}}");
    EXPECT_EQ(warnings(), std::vector<std::string>{"JSON contains a reference to itself, debug_refs shows \"<cycle>\" "
                                                   "instead of recursing forever."});
    EXPECT_EQ(json_debug_refs(c, out, false),
              "[\n    {\n        \"is_ref\": false,\n        \"refcount\": 1,\n        \"type\": \"int\"\n    }\n]");
}


// The printer walks the container itself; it must print exactly what the
// library prints for the document json_to_document builds, and warn the same.
TEST_F(JsonText, PrinterMatchesTheLibraryOnRandomContainers) {
    std::mt19937 rng(99);
    // Texts and keys with every byte that needs escaping or checking
    // (controls, quote, backslash, DEL, UTF-8, invalid bytes), integers up to
    // the 64-bit limits.
    const std::vector<std::string> keys = {
        "", "a", "b", "B", "ab", "\xff", std::string("n\0", 2), "zz", "~!#$%&'()*+,-./:;<=>?@[]^_`{|} ", "\x7f",
        "a\x1f", "q\"", "back\\slash", "tab\t", "\xc3\xa9t\xc3\xa9", "\xe2\x80\x91", "x\xc3", "\xed\xa0\x80"};
    const int64_t integers[] = {0, 9, 10, -10, 1234567890123, INT64_MAX, INT64_MIN};
    const lumvar_shared deep = nested(1030);  // reaching it gives depth refusals
    size_t cycles = 0, too_deep = 0;
    for (int round = 0; round < 80; ++round) {
        // A few containers that refer to each other (shared, nested, cyclic).
        std::vector<lumvar_shared> group(4);
        for (auto& g : group) g = lumvar_shared::make_typed(LUMVAR_JSON);
        for (auto& g : group) {
            lum_std_json* c = g->json_container();
            const int n = static_cast<int>(rng() % 7);
            for (int i = 0; i < n; ++i) {
                lumvar_shared value;
                switch (rng() % 8) {
                    case 0: value = num(rng() % 2 ? static_cast<int64_t>(rng()) - 1000 : integers[rng() % 7]); break;
                    case 1: value = lumvar_shared::from_float((rng() % 5 == 0) ? std::nan("") : rng() / 7.0); break;
                    case 2: value = str(keys[rng() % keys.size()] + "x\"\n"); break;
                    case 3: value = lumvar_shared::make(); break;
                    case 4: value = boolean_of(num(rng() % 2)); break;
                    case 5: value = rng() % 4 == 0 ? deep : num(1); break;
                    default: value = group[rng() % group.size()]; break;
                }
                c->push_keyed(std::move(value), rng() % 3 != 0 ? keys[rng() % keys.size()] : std::string());
            }
        }
        for (bool compact_form : {true, false}) {
            lum_std_json* c = group[0]->json_container();
            std::string printed;
            json_to_text(c, printed, compact_form);
            const std::vector<std::string> printed_warnings = warnings();
            json_visit_guard visits;
            const nlohmann::json document = json_to_document(c, visits);
            const std::string expected =
                document.dump(compact_form ? -1 : 4, ' ', false, nlohmann::json::error_handler_t::replace);
            ASSERT_EQ(printed, expected) << "round " << round;
            ASSERT_EQ(printed_warnings.size(), visits.reason == 0 ? 0u : 1u) << "round " << round;
            if (visits.reason == json_visit_guard::reason_cycle) {
                ASSERT_EQ(printed_warnings[0], cycle_warning);
                ++cycles;
            }
            if (visits.reason == json_visit_guard::reason_too_deep) {
                ASSERT_EQ(printed_warnings[0], depth_warning);
                ++too_deep;
            }
        }
        for (auto& g : group) g->json_container()->clear();  // break the cycles
    }
    EXPECT_GT(cycles, 10u);
    EXPECT_GT(too_deep, 10u);
}

// The parser builds containers from the library's events; they must equal
// what converting the library's document gives, and errors must read the same.
TEST_F(JsonText, ParserMatchesTheDocumentConversion) {
    std::mt19937 rng(5);
    const std::vector<std::string> pieces = {"{", "}", "[", "]", ",", ":", "\"a\"", "\"b\"", "\"\"", "1",
                                             "-2.5e3", "18446744073709551616", "true", "false", "null", " ",
                                             "/*c*/", "\"\\u00e9\"", "x"};
    size_t parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string source;
        if (round % 2 == 0) {
            // Valid documents with duplicate keys in random order.
            source = "{";
            const int n = 1 + static_cast<int>(rng() % 5);
            for (int i = 0; i < n; ++i) {
                if (i) source += ",";
                source += "\"k" + std::to_string(rng() % 3) + "\":";
                source += (rng() % 2) ? "[" + std::to_string(rng() % 9) + ",{\"z\":1,\"y\":[]}]" : "{\"q\":null}";
            }
            source += "}";
        } else {
            const int n = 1 + static_cast<int>(rng() % 12);
            for (int i = 0; i < n; ++i) source += pieces[rng() % pieces.size()];
        }
        auto [v, c] = fresh_json();
        const bool ok = c->from_string(source, false);
        const std::vector<std::string> logged = errors();
        nlohmann::json document;
        json_parse_error error;
        auto [dv, d] = fresh_json();
        bool expected_ok = parse_json_text(source, document, error);
        if (expected_ok) expected_ok = document_to_json(d, document, 0);
        if (!expected_ok) {
            // The whole text failed; the embedded span may still parse.
            const size_t first = source.find_first_of("{[\"");
            const size_t last = source.find_last_of("}]\"");
            if (first != std::string::npos && last != std::string::npos && last >= first &&
                last - first + 1 != source.size()) {
                json_parse_error ignored;
                d->clear();
                expected_ok = parse_json_text(source.substr(first, last - first + 1), document, ignored) &&
                              document_to_json(d, document, 0);
            }
        }
        ASSERT_EQ(ok, expected_ok) << source;
        if (ok) {
            ++parsed;
            ASSERT_EQ(compact(c), compact(d)) << source;
            ASSERT_EQ(keys_of(c), keys_of(d)) << source;
            ASSERT_TRUE(logged.empty()) << source;
        } else {
            ASSERT_EQ(logged, std::vector<std::string>{json_parse_error_message(source, error)}) << source;
        }
    }
    EXPECT_GT(parsed, 1500u);
}

TEST_F(JsonText, DeferredIndexOfParsedContainers) {
    auto [v, c] = fresh_json();
    ASSERT_TRUE(c->from_string("{\"b\": 1, \"a\": 2, \"\": 3, \"b\": 4}", false));
    EXPECT_EQ(c->key_count("b"), 1u);
    EXPECT_EQ(c->get_or_add("b")->payload.i, 4);
    EXPECT_TRUE(c->has_key(""));
    c->push_keyed(num(5), "a");  // a keyed append after the parse designates the new entry
    EXPECT_EQ(c->get_or_add("a")->payload.i, 5);
    EXPECT_EQ(c->key_count("a"), 2u);
    // Erasing and sorting before anything looked at the index.
    ASSERT_TRUE(c->from_string("{\"x\": 1, \"y\": 2, \"z\": 3}", false));
    EXPECT_TRUE(c->erase_at(1));
    c->sort_keys_reverse();
    EXPECT_EQ(keys_of(c), (std::vector<std::string>{"z", "x"}));
    EXPECT_FALSE(c->has_key("y"));
    EXPECT_EQ(c->get_or_add("x")->payload.i, 1);
}

}  // namespace
}  // namespace j1test
