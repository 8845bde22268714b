// The JSON text form of "std.json" containers, through nlohmann::json.
//
// Printing converts the container into a document and prints it with the
// library (keys sorted, one member per key, the library's number format,
// invalid UTF-8 replaced). A container whose entries all lack a non-empty key
// prints as an array, any other as an object; in an object, entries without a
// key print under "" (the container itself is never changed). A container met
// again while it is being printed becomes the string "<cycle>", one beyond
// 1024 levels "<nested too deeply>"; only the path being printed counts, so a
// container that appears twice side by side prints twice. A print that starts
// inside another one (the text of an object value whose object is a
// container) continues that path: a container the enclosing print is inside
// of is a cycle, and 1024 containers open in all is the depth limit.
//
// Parsing replaces a container's content with a parsed document: objects give
// keyed entries in ascending key order, arrays unkeyed entries, booleans
// json.bool objects, unsigned integers of 2^63 or more floats. Comments are
// skipped. Failures are log lines, never run-time errors. Running out of
// memory is no failure of the text: the parse throws
// lum_json_out_of_memory (a std::bad_alloc), which a native call reports as
// a run-time error of the call.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "types/json_object.h"

// Where and why a parse failed: the library's byte position and its text.
struct json_parse_error {
    uint64_t byte = 0;
    std::string text;
};

// Thrown when memory runs out while a text is parsed (the container being
// filled is left empty).
struct lum_json_out_of_memory : std::bad_alloc {
    const char* what() const noexcept override { return "out of memory while parsing JSON text"; }
};

// The JSON text of a container (a null container prints "null"), pretty with
// indent 4 or compact. Warns once per call when markers were printed. Never
// throws: a failure leaves `out` empty. Returns `out`.
std::string& json_to_text(lum_std_json* container, std::string& out, bool compact);

// Conversions into a document, sharing one visit list.
nlohmann::json json_to_document(lum_std_json* container, json_visit_guard& visits);
nlohmann::json value_to_document(lumvar* value, json_visit_guard& visits);

// Parses the whole text as one JSON value (comments skipped); false with the
// error record filled on failure. Throws lum_json_out_of_memory when memory
// runs out.
bool parse_json_text(std::string_view text, nlohmann::json& document, json_parse_error& error);

// Appends the document's content to `target` (strings are moved out of the
// document). False when the nesting reaches 1024 levels below `depth` 0; the
// caller then discards the container's content.
bool document_to_json(lum_std_json* target, nlohmann::json& element, int depth);

// The error line of a failed parse of `text`:
// "JSON parse error at byte B of N: <text>\n  near: <up to 120 bytes around B>".
std::string json_parse_error_message(std::string_view text, const json_parse_error& error);

// The reference listing of `debug_refs`: the same walk and markers as the text
// form, every non-container value shown as
// {"is_ref": <value is a ref>, "refcount": <cell's count>, "type": <type name>}.
std::string& json_debug_refs(lum_std_json* container, std::string& out, bool compact);
nlohmann::json json_refs_document(lum_std_json* container, json_visit_guard& visits);
nlohmann::json value_refs_document(lumvar* value, json_visit_guard& visits);
