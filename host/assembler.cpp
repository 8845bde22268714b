#include "host/assembler.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "host/host_print.h"
#include "host/module_loader.h"
#include "runtime/namespace.h"
#include "runtime/thread_local.h"
#include "runtime/value.h"
#include "runtime/value_records.h"
#include "vm/block_builder.h"
#include "vm/class.h"
#include "vm/opcode.h"
#include "vm/operator_table.h"
#include "vm/symbol_table.h"

// ---------------------------------------------------------------------------
// Diagnostics

std::string lum_asm_diagnostic::text() const {
    if (line == 0) return file + ": " + message;
    return file + ":" + std::to_string(line) + ": " + message;
}

namespace {

std::string join_diagnostics(const std::vector<lum_asm_diagnostic>& diagnostics) {
    std::string out;
    for (size_t i = 0; i < diagnostics.size(); ++i) {
        if (i != 0) out += '\n';
        out += diagnostics[i].text();
    }
    return out;
}

}  // namespace

lum_asm_error::lum_asm_error(std::vector<lum_asm_diagnostic> diagnostics)
    : std::runtime_error(join_diagnostics(diagnostics)), diagnostics_(std::move(diagnostics)) {}

// ---------------------------------------------------------------------------
// Mnemonics

namespace {

enum class operands : uint8_t {
    none,         // fixed field A
    slot,         // B: local slot
    static_slot,  // B: static slot
    global,       // B: global slot
    global_static,
    number,       // B: plain number (frame size, argument index)
    level_slot,   // B level, C slot
    level_static, // B level, C static slot
    int_const,    // D i64
    float_const,  // D f64
    string,       // B string index
    child,        // B child block
    native,       // D native record
    constant,     // D constant cell
    count_a,      // A u8
    jump,         // B i32 relative
    selfmem,      // B index, C8 flag
    mem,          // 61
    idx,          // 62
    class_d,      // D accessing class (68, 69)
    fexpr,        // 72
    fcall,        // 73
};

struct mnemonic_spec {
    std::string_view name;
    uint8_t opcode;
    operands kind;
    uint8_t a;
};

constexpr mnemonic_spec mnemonic_table[] = {
    {"ld.l", LUM_OP_LD_L, operands::slot, 0},
    {"ld.lf", LUM_OP_LD_LF, operands::slot, 0},
    {"ld.s", LUM_OP_LD_S, operands::static_slot, 0},
    {"ld.up", LUM_OP_LD_UP, operands::level_slot, 0},
    {"ld.ups", LUM_OP_LD_UPS, operands::level_static, 0},
    {"ld.g", LUM_OP_LD_G, operands::global, 0},
    {"ld.gs", LUM_OP_LD_GS, operands::global_static, 0},
    {"ldi", LUM_OP_LDI, operands::int_const, 0},
    {"ldf", LUM_OP_LDF, operands::float_const, 0},
    {"lds", LUM_OP_LDS, operands::string, 0},
    {"fn", LUM_OP_FN, operands::child, 0},
    {"ldext", LUM_OP_LDEXT, operands::native, 0},
    {"ldk", LUM_OP_LDK, operands::constant, 0},
    {"none", LUM_OP_NONE, operands::none, 0},
    {"bind", LUM_OP_BIND, operands::none, 0},
    {"bindself", LUM_OP_BIND, operands::none, 1},
    {"bindref", LUM_OP_BINDREF, operands::none, 0},
    {"push", LUM_OP_PUSH, operands::none, 0},
    {"dup", LUM_OP_DUP, operands::none, 0},
    {"pop", LUM_OP_POP, operands::none, 0},
    {"assign", LUM_OP_ASSIGN, operands::none, 0},
    {"neg", LUM_OP_NEG, operands::none, 0},
    {"not", LUM_OP_NOT, operands::none, 0},
    {"ref", LUM_OP_REF, operands::none, 0},
    {"deref", LUM_OP_DEREF, operands::none, 0},
    {"add", LUM_OP_ADD, operands::none, 0},
    {"sub", LUM_OP_SUB, operands::none, 0},
    {"mul", LUM_OP_MUL, operands::none, 0},
    {"div", LUM_OP_DIV, operands::none, 0},
    {"and", LUM_OP_AND, operands::none, 0},
    {"or", LUM_OP_OR, operands::none, 0},
    {"xor", LUM_OP_XOR, operands::none, 0},
    {"inc", LUM_OP_INC, operands::none, 0},
    {"inc.post", LUM_OP_INC, operands::none, 1},
    {"dec", LUM_OP_DEC, operands::none, 0},
    {"dec.post", LUM_OP_DEC, operands::none, 1},
    {"eq", LUM_OP_EQ, operands::none, 0},
    {"ne", LUM_OP_EQ, operands::none, 1},
    {"gt", LUM_OP_GT, operands::none, 0},
    {"ge", LUM_OP_GT, operands::none, 1},
    {"lt", LUM_OP_LT, operands::none, 0},
    {"le", LUM_OP_LT, operands::none, 1},
    {"truth", LUM_OP_TRUTH, operands::none, 0},
    {"frame", LUM_OP_FRAME, operands::number, 0},
    {"farg", LUM_OP_FARG, operands::number, 0},
    {"fargc", LUM_OP_FARGC, operands::number, 0},
    {"fget", LUM_OP_FGET, operands::number, 0},
    {"ncall", LUM_OP_NCALL, operands::native, 0},
    {"fclear", LUM_OP_FCLEAR, operands::none, 0},
    {"prep", LUM_OP_PREP, operands::count_a, 0},
    {"arg", LUM_OP_ARG, operands::number, 0},
    {"call", LUM_OP_CALL, operands::none, 0},
    {"enter", LUM_OP_ENTER, operands::child, 0},
    {"default", LUM_OP_DEFAULT, operands::count_a, 0},
    {"catch", LUM_OP_CATCH, operands::child, 0},
    {"enterlinked", LUM_OP_ENTERLINKED, operands::none, 0},
    {"setself", LUM_OP_SETSELF, operands::none, 0},
    {"self", LUM_OP_SELF, operands::none, 0},
    {"selfmem", LUM_OP_SELFMEM, operands::selfmem, 0},
    {"newinst", LUM_OP_NEWINST, operands::none, 0},
    {"jmp", LUM_OP_JMP, operands::jump, 0},
    {"jz", LUM_OP_JZ, operands::jump, 0},
    {"jnz", LUM_OP_JNZ, operands::jump, 0},
    {"ret", LUM_OP_RET, operands::none, 0},
    {"brk", LUM_OP_BRK, operands::none, 0},
    {"cont", LUM_OP_CONT, operands::none, 0},
    {"mem", LUM_OP_MEM, operands::mem, 0},
    {"idx", LUM_OP_IDX, operands::idx, 0},
    {"memif", LUM_OP_MEMIF, operands::string, 0},
    {"sidx", LUM_OP_SIDX, operands::none, 0},
    {"append", LUM_OP_APPEND, operands::none, 0},
    {"newjson", LUM_OP_NEWJSON, operands::none, 0},
    {"own", LUM_OP_OWN, operands::none, 0},
    {"idxset", LUM_OP_IDXSET, operands::class_d, 0},
    {"idxget2", LUM_OP_IDXGET2, operands::class_d, 0},
    {"mod", LUM_OP_MOD, operands::none, 0},
    {"bnot", LUM_OP_BNOT, operands::none, 0},
    {"fexpr", LUM_OP_FEXPR, operands::fexpr, 0},
    {"fcall", LUM_OP_FCALL, operands::fcall, 0},
};

const mnemonic_spec* find_mnemonic(std::string_view name) {
    for (const mnemonic_spec& m : mnemonic_table)
        if (m.name == name) return &m;
    return nullptr;
}

// Opcodes whose mnemonic depends on field A.
bool has_a_variants(uint8_t opcode) {
    return opcode == LUM_OP_BIND || opcode == LUM_OP_INC || opcode == LUM_OP_DEC || opcode == LUM_OP_EQ ||
           opcode == LUM_OP_GT || opcode == LUM_OP_LT;
}

struct fexpr_op_name {
    std::string_view name;
    uint8_t kind;
};

constexpr fexpr_op_name fexpr_ops[] = {
    {"add", lum_fexpr::IT_ADD}, {"sub", lum_fexpr::IT_SUB}, {"mul", lum_fexpr::IT_MUL}, {"div", lum_fexpr::IT_DIV},
    {"mod", lum_fexpr::IT_MOD}, {"and", lum_fexpr::IT_AND}, {"or", lum_fexpr::IT_OR},   {"xor", lum_fexpr::IT_XOR},
    {"eq", lum_fexpr::IT_EQ},   {"ne", lum_fexpr::IT_NE},   {"lt", lum_fexpr::IT_LT},   {"le", lum_fexpr::IT_LE},
    {"ge", lum_fexpr::IT_GE},   {"gt", lum_fexpr::IT_GT},   {"neg", lum_fexpr::IT_NEG},
};

}  // namespace

std::string_view lum_asm_mnemonic(uint8_t opcode, uint8_t a) {
    const bool variants = has_a_variants(opcode);
    for (const mnemonic_spec& m : mnemonic_table) {
        if (m.opcode != opcode) continue;
        if (!variants || m.a == (a != 0 ? 1 : 0)) return m.name;
    }
    return {};
}

// ---------------------------------------------------------------------------
// Lexical helpers

namespace {

// Abandons the current line with a message.
struct line_error {
    std::string message;
};

[[noreturn]] void fail(std::string message) { throw line_error{std::move(message)}; }

struct token {
    std::string text;  // as written (quotes kept)
    uint32_t column = 0;
};

bool is_name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9') || c == '.'; }

bool is_name(std::string_view s) {
    if (s.empty() || !is_name_start(s[0])) return false;
    return std::all_of(s.begin() + 1, s.end(), is_name_char);
}

std::string quote(std::string_view s) { return "'" + std::string(s) + "'"; }

// Splits a line into tokens: quoted strings and bracketed lists stay whole
// (also inside a word such as name="x" or members=[a, b]); ';' outside
// quotes starts a comment. Leading and trailing commas of a token are
// separators and dropped.
std::vector<token> tokenize(std::string_view line) {
    std::vector<token> out;
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ';') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++i;
            continue;
        }
        token t;
        t.column = static_cast<uint32_t>(i);
        int depth = 0;
        bool in_string = false;
        while (i < n) {
            const char d = line[i];
            if (in_string) {
                t.text += d;
                if (d == '\\' && i + 1 < n) {
                    t.text += line[i + 1];
                    i += 2;
                    continue;
                }
                if (d == '"') in_string = false;
                ++i;
                continue;
            }
            if (d == '"') {
                in_string = true;
                t.text += d;
                ++i;
                continue;
            }
            if (depth == 0 && (d == ' ' || d == '\t' || d == '\r' || d == '\f' || d == '\v' || d == ';')) break;
            if (d == '[') ++depth;
            if (d == ']') {
                if (depth == 0) fail("unbalanced ']'");
                --depth;
            }
            t.text += d;
            ++i;
        }
        if (in_string) fail("unterminated string");
        if (depth != 0) fail("unbalanced '['");
        size_t b = 0;
        size_t e = t.text.size();
        while (b < e && t.text[b] == ',') {
            ++b;
            ++t.column;
        }
        while (e > b && t.text[e - 1] == ',') --e;
        t.text = t.text.substr(b, e - b);
        if (!t.text.empty()) out.push_back(std::move(t));
    }
    return out;
}

bool is_string_literal(std::string_view s) { return s.size() >= 2 && s.front() == '"' && s.back() == '"'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string parse_string(std::string_view s) {
    if (!is_string_literal(s)) fail("expected a quoted string, got " + quote(s));
    std::string out;
    for (size_t i = 1; i + 1 < s.size(); ++i) {
        char c = s[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 2 >= s.size()) fail("bad escape at the end of " + quote(s));
        c = s[++i];
        switch (c) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'x': {
                const int h = i + 1 < s.size() - 1 ? hex_digit(s[i + 1]) : -1;
                const int l = i + 2 < s.size() - 1 ? hex_digit(s[i + 2]) : -1;
                if (h < 0 || l < 0) fail("bad \\x escape in " + quote(s));
                out += static_cast<char>(h * 16 + l);
                i += 2;
                break;
            }
            default: fail(std::string("unknown escape \\") + c + " in " + quote(s));
        }
    }
    return out;
}

// Integers: decimal with an optional sign, or 0x hex (any 64-bit pattern).
std::optional<int64_t> try_int(std::string_view s) {
    if (s.empty()) return std::nullopt;
    bool negative = false;
    size_t i = 0;
    if (s[0] == '-' || s[0] == '+') {
        negative = s[0] == '-';
        i = 1;
    }
    if (i >= s.size()) return std::nullopt;
    uint64_t value = 0;
    if (s.size() - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        i += 2;
        if (s.size() - i > 16) return std::nullopt;
        for (; i < s.size(); ++i) {
            const int d = hex_digit(s[i]);
            if (d < 0) return std::nullopt;
            value = value * 16 + static_cast<uint64_t>(d);
        }
    } else {
        for (; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9') return std::nullopt;
            const uint64_t d = static_cast<uint64_t>(s[i] - '0');
            if (value > (UINT64_MAX - d) / 10) return std::nullopt;
            value = value * 10 + d;
        }
        if (!negative && value > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
        if (negative && value > static_cast<uint64_t>(INT64_MAX) + 1) return std::nullopt;
    }
    return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

int64_t parse_int(std::string_view s, std::string_view what) {
    std::optional<int64_t> v = try_int(s);
    if (!v) fail("expected an integer for " + std::string(what) + ", got " + quote(s));
    return *v;
}

uint64_t parse_unsigned(std::string_view s, std::string_view what, uint64_t max) {
    std::optional<int64_t> v = try_int(s);
    const bool hex = s.find("0x") != std::string_view::npos || s.find("0X") != std::string_view::npos;
    if (!v || (!hex && *v < 0) || static_cast<uint64_t>(*v) > max)
        fail("expected a number from 0 to " + std::to_string(max) + " for " + std::string(what) + ", got " + quote(s));
    return static_cast<uint64_t>(*v);
}

uint32_t parse_u32(std::string_view s, std::string_view what) {
    return static_cast<uint32_t>(parse_unsigned(s, what, UINT32_MAX));
}

// A count with a limit of its own: "NAME=N exceeds the limit of L".
uint32_t parse_limited(std::string_view s, std::string_view what, uint32_t limit) {
    const uint64_t v = parse_unsigned(s, what, UINT64_MAX);
    if (v > limit)
        fail(std::string(what) + "=" + std::string(s) + " exceeds the limit of " + std::to_string(limit) + " per block");
    return static_cast<uint32_t>(v);
}

uint8_t parse_u8(std::string_view s, std::string_view what) {
    return static_cast<uint8_t>(parse_unsigned(s, what, 255));
}

std::optional<double> try_float(std::string_view s) {
    if (std::optional<int64_t> i = try_int(s)) {
        if (s.find("0x") == std::string_view::npos && s.find("0X") == std::string_view::npos)
            return static_cast<double>(*i);
    }
    if (s.empty()) return std::nullopt;
    const std::string text(s);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return std::nullopt;
    return v;
}

double parse_float(std::string_view s, std::string_view what) {
    std::optional<double> v = try_float(s);
    if (!v) fail("expected a number for " + std::string(what) + ", got " + quote(s));
    return *v;
}

// "key=value" split at the first '='; no '=' gives an empty key.
std::pair<std::string_view, std::string_view> split_key(std::string_view s) {
    if (is_string_literal(s)) return {{}, s};
    const size_t eq = s.find('=');
    if (eq == std::string_view::npos || eq == 0) return {{}, s};
    return {s.substr(0, eq), s.substr(eq + 1)};
}

// The elements of "[a, b, c]" (or of "a,b,c" without brackets), trimmed.
std::vector<std::string> split_list(std::string_view s) {
    if (!s.empty() && s.front() == '[') {
        if (s.back() != ']') fail("unterminated list " + quote(s));
        s = s.substr(1, s.size() - 2);
    }
    std::vector<std::string> out;
    std::string current;
    bool in_string = false;
    auto flush = [&] {
        size_t b = current.find_first_not_of(" \t");
        size_t e = current.find_last_not_of(" \t");
        if (b != std::string::npos) out.push_back(current.substr(b, e - b + 1));
        current.clear();
    };
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (in_string) {
            current += c;
            if (c == '\\' && i + 1 < s.size()) current += s[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        if (c == ',') {
            flush();
            continue;
        }
        current += c;
    }
    flush();
    return out;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i != 0) out += ' ';
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string escape_string(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 32) {
                    static const char digits[] = "0123456789abcdef";
                    out += "\\x";
                    out += digits[(c >> 4) & 15];
                    out += digits[c & 15];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string format_double(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    std::string s = buf;
    if (std::isfinite(v) && s.find_first_of(".eEn") == std::string::npos) s += ".0";
    return s;
}

// ---------------------------------------------------------------------------
// The assembler

struct label_info {
    lum_label label;
    bool bound = false;
    uint32_t first_use = 0;
};

struct block_state {
    std::string name;
    lum_program_block* block = nullptr;
    std::unique_ptr<lum_block_builder> builder;
    int parent = -1;
    uint32_t depth = 0;  // 0 for top-level blocks
    uint32_t line = 0;   // the .block line
    bool closed = false;
    bool broken = false;  // labels could not be resolved
    std::unordered_map<std::string, uint32_t> child_index;
    std::unordered_map<std::string, label_info> labels;
    std::unordered_map<std::string, uint32_t> caches;  // named member-cache entries
    std::unordered_map<std::string, uint32_t> paths;   // member-path records by name
    std::vector<uint32_t> path_lines;                  // .mpath line of each record
    std::vector<lum_assembly::item> items;
    std::optional<std::pair<std::string, uint32_t>> restart;  // label, line
};

struct class_decl {
    std::string name;
    lum_class_def* def = nullptr;
    uint32_t line = 0;
    std::vector<token> tokens;
};

class assembler {
public:
    assembler(std::string_view source, std::string file, const lum_asm_options& options)
        : file_(std::move(file)), options_(options), builder_(program_name_from_file()) {
        size_t start = 0;
        while (start <= source.size()) {
            size_t end = source.find('\n', start);
            if (end == std::string_view::npos) end = source.size();
            std::string_view line = source.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            lines_.emplace_back(line);
            if (end == source.size()) break;
            start = end + 1;
        }
        if (!lines_.empty() && lines_.back().empty() && !source.empty() && source.back() == '\n') lines_.pop_back();
    }

    lum_assembly run() {
        lum_pooling_suspend heap_only;
        pass_declarations();
        build_classes();
        pass_code();
        if (diagnostics_.empty()) validate();
        if (!diagnostics_.empty()) {
            std::stable_sort(diagnostics_.begin(), diagnostics_.end(),
                             [](const lum_asm_diagnostic& a, const lum_asm_diagnostic& b) { return a.line < b.line; });
            throw lum_asm_error(std::move(diagnostics_));
        }
        lum_assembly out;
        lum_program_block* root = nullptr;
        for (const block_state& b : blocks_)
            if (b.parent < 0) {
                root = b.block;
                break;
            }
        out.program = builder_.finish(root);
        for (std::shared_ptr<lum_source_unit>& u : units_storage_) out.program->attachments.push_back(u);
        for (block_state& b : blocks_) {
            lum_assembly::block_info info;
            info.block = b.block;
            info.parent = b.parent >= 0 ? blocks_[b.parent].name : std::string();
            info.items = std::move(b.items);
            out.blocks.push_back(std::move(info));
        }
        for (const auto& [name, def] : natives_) out.native_names[reinterpret_cast<uintptr_t>(def)] = "@" + name;
        for (const auto& [name, cell] : constants_) out.constant_names[reinterpret_cast<uintptr_t>(cell)] = "=" + name;
        for (const class_decl& c : classes_) out.class_names[reinterpret_cast<uintptr_t>(c.def)] = c.name;
        return out;
    }

private:
    // -- infrastructure ------------------------------------------------------

    std::string program_name_from_file() const {
        std::string name = lum_path_file_name(file_);
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0) name.resize(dot);
        return name;
    }

    void report(uint32_t line, std::string message) {
        diagnostics_.push_back(lum_asm_diagnostic{file_, line, std::move(message)});
    }

    template <class F>
    void guarded(uint32_t line, F&& f) {
        try {
            f();
        } catch (const line_error& e) {
            report(line, e.message);
        }
    }

    block_state* current() { return stack_.empty() ? nullptr : &blocks_[stack_.back()]; }

    block_state& require_block(std::string_view what) {
        block_state* b = current();
        if (b == nullptr) fail(std::string(what) + " outside a block");
        return *b;
    }

    // -- pass 1: declarations and block structure ------------------------------

    void pass_declarations() {
        bool seen_item = false;
        for (uint32_t i = 0; i < lines_.size(); ++i) {
            const uint32_t line = i + 1;
            std::vector<token> t;
            try {
                t = tokenize(lines_[i]);
            } catch (const line_error& e) {
                report(line, e.message);
                tokenize_failed_.insert(line);
                continue;
            }
            if (t.empty()) continue;
            const std::string& head = t[0].text;
            if (head == ".program") {
                guarded(line, [&] {
                    if (seen_item) fail("'.program' must be the first line");
                    if (t.size() != 2) fail("usage: .program \"name\"");
                    builder_.program()->name = parse_string(t[1].text);
                });
                seen_item = true;
                continue;
            }
            seen_item = true;
            if (head.empty() || head[0] != '.') {
                // Instructions and labels wait for the second pass; a line
                // outside every block is an error there.
                continue;
            }
            if (head == ".block") {
                open_block(t, line);
            } else if (head == ".end") {
                guarded(line, [&] {
                    if (stack_.empty()) fail("'.end' without '.block'");
                    if (t.size() != 1) fail("'.end' takes no operands");
                });
                if (!stack_.empty()) {
                    end_lines_[line] = stack_.back();
                    stack_.pop_back();
                }
            } else if (head == ".native") {
                guarded(line, [&] { declare_native(t); });
            } else if (head == ".const") {
                guarded(line, [&] { declare_constant(t); });
            } else if (head == ".unit") {
                guarded(line, [&] { declare_unit(t); });
            } else if (head == ".line") {
                guarded(line, [&] { declare_line(t); });
            } else if (head == ".class") {
                guarded(line, [&] { declare_class(t, line); });
            } else if (head == ".mpath") {
                guarded(line, [&] { declare_path(t, line); });
            } else if (head == ".loc" || head == ".autoloc" || head == ".bytes") {
                // code directives: second pass
            } else {
                report(line, "unknown directive " + quote(head));
            }
        }
        for (uint32_t index : stack_) {
            blocks_[index].closed = false;
            report(blocks_[index].line, "block " + quote(blocks_[index].name) + " has no '.end'");
        }
        stack_.clear();
        bool has_root = false;
        for (const block_state& b : blocks_) has_root = has_root || b.parent < 0;
        if (!has_root) report(0, "no block: the program needs a top-level block");
    }

    void open_block(const std::vector<token>& t, uint32_t line) {
        std::string name = t.size() >= 2 ? t[1].text : std::string();
        const bool good_name = is_name(name);
        if (!good_name) {
            report(line, "usage: .block NAME kind=top|function|loop|plain slots=N ...");
            name = "<block " + std::to_string(line) + ">";
        } else if (block_names_.count(name) != 0) {
            report(line, "block " + quote(name) + " declared twice");
        }
        const uint32_t index = static_cast<uint32_t>(blocks_.size());
        blocks_.emplace_back();
        block_state& b = blocks_.back();
        b.name = name;
        b.line = line;
        b.parent = stack_.empty() ? -1 : static_cast<int>(stack_.back());
        b.depth = stack_.empty() ? 0 : blocks_[stack_.back()].depth + 1;
        b.block = builder_.new_block(name, LUM_BLOCK_PLAIN, 0);
        b.builder = std::make_unique<lum_block_builder>(builder_, b.block);
        if (good_name && block_names_.count(name) == 0) block_names_[name] = index;
        if (b.parent >= 0) {
            block_state& parent = blocks_[b.parent];
            const uint32_t child = parent.builder->child(b.block);
            parent.child_index.emplace(name, child);
        }
        block_lines_[line] = index;
        stack_.push_back(index);
        if (good_name) guarded(line, [&] { block_attributes(blocks_[index], t); });
    }

    void block_attributes(block_state& b, const std::vector<token>& t) {
        lum_program_block* blk = b.block;
        bool have_kind = false;
        bool have_slots = false;
        std::optional<uint32_t> params;
        std::optional<uint32_t> first_default;
        bool first_default_none = false;
        uint32_t bound = 0;
        uint32_t slots = 0;
        std::vector<std::pair<uint32_t, uint8_t>> slot_flags;
        for (size_t i = 2; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key == "kind") {
                if (value == "top") blk->kind = LUM_BLOCK_TOP;
                else if (value == "function") blk->kind = LUM_BLOCK_FUNCTION;
                else if (value == "loop") blk->kind = LUM_BLOCK_LOOP;
                else if (value == "plain") blk->kind = LUM_BLOCK_PLAIN;
                else fail("unknown block kind " + quote(value) + " (top, function, loop or plain)");
                have_kind = true;
            } else if (key == "slots") {
                slots = parse_limited(value, "slots", lum_asm_max_slots);
                have_slots = true;
            } else if (key == "params") {
                params = parse_u32(value, "params");
            } else if (key == "first_default") {
                if (value == "none") first_default_none = true;
                else first_default = parse_u32(value, "first_default");
            } else if (key == "bound") {
                bound = parse_u32(value, "bound");
            } else if (key == "flags") {
                for (const std::string& f : split_list(value)) {
                    if (f == "try") blk->flags |= LUM_BLOCK_FLAG_TRY;
                    else if (f == "function") blk->flags |= LUM_BLOCK_FLAG_FUNCTION;
                    else if (f == "epilogue") blk->flags |= LUM_BLOCK_FLAG_EPILOGUE;
                    else if (f == "method") blk->flags |= LUM_BLOCK_FLAG_METHOD;
                    else fail("unknown block flag " + quote(f) + " (try, function, epilogue, method)");
                }
            } else if (key == "restart") {
                if (!is_name(value)) fail("restart needs a label name");
                b.restart = std::make_pair(std::string(value), b.line);
            } else if (key == "slotflags") {
                for (const std::string& f : split_list(value)) {
                    const size_t colon = f.find(':');
                    if (colon == std::string::npos) fail("slotflags entries are SLOT:FLAGS, got " + quote(f));
                    slot_flags.emplace_back(parse_u32(std::string_view(f).substr(0, colon), "slotflags slot"),
                                            parse_u8(std::string_view(f).substr(colon + 1), "slotflags flags"));
                }
            } else if (key == "statics") {
                b.builder->statics(parse_limited(value, "statics", lum_asm_max_statics));
            } else if (key == "linked") {
                linked_.push_back({&b, std::string(value), b.line});
            } else {
                fail("unknown block attribute " + quote(t[i].text));
            }
        }
        if (!have_kind) fail("block " + quote(b.name) + " needs kind=top|function|loop|plain");
        if (!have_slots) fail("block " + quote(b.name) + " needs slots=N");
        blk->num_slots = slots;
        blk->slot_flags.assign(slots, 0);
        const uint32_t p = params.value_or(0);
        if (p > slots) fail("params=" + std::to_string(p) + " exceeds slots=" + std::to_string(slots));
        if (static_cast<uint64_t>(p) + bound > slots)
            fail("params + bound (" + std::to_string(p + bound) + ") exceed slots=" + std::to_string(slots));
        uint32_t fd = first_default_none ? LUM_NO_DEFAULT : first_default.value_or(p);
        if (!first_default_none && fd > p)
            fail("first_default=" + std::to_string(fd) + " exceeds params=" + std::to_string(p));
        blk->num_params = p;
        blk->first_default = fd;
        blk->num_bound = bound;
        for (const auto& [slot, flag] : slot_flags) {
            if (slot >= slots)
                fail("slotflags slot " + std::to_string(slot) + " out of range (block " + quote(b.name) + " has " +
                     std::to_string(slots) + " slots)");
            blk->slot_flags[slot] = flag;
        }
    }

    void declare_native(const std::vector<token>& t) {
        if (t.size() < 2 || !is_name(t[1].text)) fail("usage: .native NAME [min=N max=N]");
        const std::string& name = t[1].text;
        if (natives_.count(name) != 0) fail("native " + quote(name) + " declared twice");
        std::optional<uint32_t> min_args;
        std::optional<uint32_t> max_args;
        for (size_t i = 2; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key == "min") min_args = parse_u32(value, "min");
            else if (key == "max") max_args = parse_u32(value, "max");
            else fail("unknown native attribute " + quote(t[i].text));
        }
        lum_function_def* def = nullptr;
        if (name == "print") {
            const uint32_t lo = min_args.value_or(1);
            const uint32_t hi = max_args.value_or(999);
            if (lo > hi) fail("min=" + std::to_string(lo) + " exceeds max=" + std::to_string(hi));
            def = builder_.native(lum_make_print_native(options_.output, lo, hi));
        } else {
            const size_t dot = name.find('.');
            if (dot == std::string::npos)
                fail("unknown native " + quote(name) + ": host natives are 'print'; namespace functions are written ns.fn");
            if (min_args || max_args) fail("min and max apply only to host natives");
            const std::string ns_name = name.substr(0, dot);
            const std::string fn_name = name.substr(dot + 1);
            lum_namespace* ns = options_.module != nullptr ? options_.module->find_namespace(ns_name) : nullptr;
            if (ns == nullptr) fail("unknown namespace " + quote(ns_name) + " for native " + quote(name));
            for (lum_function_def* f : ns->functions)
                if (f != nullptr && f->name == fn_name) def = f;
            if (def == nullptr) {
                auto it = ns->members.find(std::string_view(fn_name));
                if (it != ns->members.end() && it->second && it->second->type == LUMVAR_EXT_FUNCTION &&
                    it->second->ext_function_record() != nullptr)
                    def = it->second->ext_function_record()->definition.get();
            }
            if (def == nullptr) fail("namespace " + quote(ns_name) + " has no function " + quote(fn_name));
            // Namespace functions live as long as the module; the program
            // takes no handle on them (a handle would be the only strong one
            // and destroy the definition with the program).
        }
        natives_.emplace(name, def);
    }

    void declare_constant(const std::vector<token>& t) {
        if (t.size() < 3 || !is_name(t[1].text)) fail("usage: .const NAME int N | float X | str \"text\" | none");
        const std::string& name = t[1].text;
        if (constants_.count(name) != 0) fail("constant " + quote(name) + " declared twice");
        const std::string& type = t[2].text;
        lumvar_shared value;
        if (type == "none") {
            if (t.size() != 3) fail("'none' takes no value");
            value = lumvar_shared::make();
        } else {
            if (t.size() != 4) fail("usage: .const NAME int N | float X | str \"text\" | none");
            if (type == "int") value = lumvar_shared::from_int(parse_int(t[3].text, "int"));
            else if (type == "float") value = lumvar_shared::from_float(parse_float(t[3].text, "float"));
            else if (type == "str") value = lumvar_shared::from_string(parse_string(t[3].text));
            else fail("unknown constant type " + quote(type) + " (int, float, str or none)");
        }
        constants_.emplace(name, builder_.constant(value));
    }

    void declare_unit(const std::vector<token>& t) {
        if (t.size() < 3 || !is_name(t[1].text)) fail("usage: .unit NAME \"path\" [from=UNIT]");
        const std::string& name = t[1].text;
        if (units_.count(name) != 0) fail("unit " + quote(name) + " declared twice");
        auto unit = std::make_shared<lum_source_unit>();
        unit->path = parse_string(t[2].text);
        for (size_t i = 3; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key != "from") fail("unknown unit attribute " + quote(t[i].text));
            auto it = units_.find(std::string(value));
            if (it == units_.end()) fail("unknown unit " + quote(value) + " (declare it first)");
            unit->included_from = it->second;
        }
        units_storage_.push_back(unit);
        units_.emplace(name, unit.get());
    }

    void declare_line(const std::vector<token>& t) {
        if (t.size() != 4) fail("usage: .line UNIT N \"text\"");
        lum_source_unit* unit = find_unit(t[1].text);
        const uint32_t n = parse_u32(t[2].text, "line number");
        unit->lines[n] = parse_string(t[3].text);
    }

    lum_source_unit* find_unit(std::string_view name) {
        auto it = units_.find(std::string(name));
        if (it == units_.end()) fail("unknown unit " + quote(name));
        return it->second;
    }

    void declare_class(const std::vector<token>& t, uint32_t line) {
        if (t.size() < 2 || !is_name(t[1].text))
            fail("usage: .class NAME [base=NAME] members=[...] methods=[...] ops=[...] [ctor=BLOCK]");
        const std::string& name = t[1].text;
        for (const class_decl& c : classes_)
            if (c.name == name) fail("class " + quote(name) + " declared twice");
        class_decl decl;
        decl.name = name;
        decl.def = builder_.new_class(name);
        decl.line = line;
        decl.tokens = t;
        classes_.push_back(std::move(decl));
    }

    void declare_path(const std::vector<token>& t, uint32_t line) {
        block_state& b = require_block("'.mpath'");
        if (t.size() < 2 || !is_name(t[1].text)) fail("usage: .mpath NAME holder=l:S|up:L,S|g:S|self:S name=\"member\"");
        const std::string& name = t[1].text;
        if (b.paths.count(name) != 0) fail("member path " + quote(name) + " declared twice in block " + quote(b.name));
        std::optional<std::tuple<uint8_t, uint8_t, uint32_t>> holder;
        std::optional<std::string> member;
        for (size_t i = 2; i < t.size(); ++i) {
            auto [key, value] = split_key(t[i].text);
            if (key == "holder") {
                holder = parse_holder(value);
            } else if (key == "name") {
                member = parse_string(value);
            } else {
                fail("unknown member-path attribute " + quote(t[i].text));
            }
        }
        if (!holder) fail("member path " + quote(name) + " needs holder=l:S|up:L,S|g:S|self:S");
        if (!member) fail("member path " + quote(name) + " needs name=\"member\"");
        auto [kind, level, slot] = *holder;
        const uint32_t index = b.builder->member_path(kind, level, slot, *member);
        b.paths.emplace(name, index);
        b.path_lines.push_back(line);
    }

    // "l:S", "up:L,S", "g:S", "self:S" -> {slot-resolver kind, level, slot}.
    static std::tuple<uint8_t, uint8_t, uint32_t> parse_holder(std::string_view s) {
        const size_t colon = s.find(':');
        if (colon == std::string_view::npos) fail("expected l:S, up:L,S, g:S or self:S, got " + quote(s));
        const std::string_view kind = s.substr(0, colon);
        const std::string_view rest = s.substr(colon + 1);
        if (kind == "l") return {lum_fexpr::IT_LOCAL, 0, parse_u32(rest, "slot")};
        if (kind == "g") return {lum_fexpr::IT_GLOBAL, 0, parse_u32(rest, "global slot")};
        if (kind == "self") return {lum_fexpr::IT_SELF, 0, parse_u32(rest, "member index")};
        if (kind == "up") {
            const size_t comma = rest.find(',');
            if (comma == std::string_view::npos) fail("expected up:L,S, got " + quote(s));
            return {lum_fexpr::IT_UP, parse_u8(rest.substr(0, comma), "level"), parse_u32(rest.substr(comma + 1), "slot")};
        }
        fail("expected l:S, up:L,S, g:S or self:S, got " + quote(s));
    }

    lum_program_block* find_block(std::string_view name) {
        auto it = block_names_.find(std::string(name));
        if (it == block_names_.end()) fail("unknown block " + quote(name));
        return blocks_[it->second].block;
    }

    // After all blocks exist: members, methods, operators and constructors,
    // in declaration order (a base class must come first); linked blocks.
    void build_classes() {
        for (size_t ci = 0; ci < classes_.size(); ++ci) {
            class_decl& c = classes_[ci];
            guarded(c.line, [&] {
                lum_class_builder cb(c.def);
                std::vector<std::string> members, methods, ops;
                std::optional<std::string> base, ctor;
                for (size_t i = 2; i < c.tokens.size(); ++i) {
                    auto [key, value] = split_key(c.tokens[i].text);
                    if (key == "base") base = std::string(value);
                    else if (key == "members") members = split_list(value);
                    else if (key == "methods") methods = split_list(value);
                    else if (key == "ops") ops = split_list(value);
                    else if (key == "ctor") ctor = std::string(value);
                    else fail("unknown class attribute " + quote(c.tokens[i].text));
                }
                if (base) {
                    size_t bi = 0;
                    while (bi < classes_.size() && classes_[bi].name != *base) ++bi;
                    if (bi == classes_.size()) fail("unknown base class " + quote(*base));
                    if (bi >= ci) fail("base class " + quote(*base) + " must be declared before " + quote(c.name));
                    cb.inherit(classes_[bi].def);
                }
                std::set<std::string> seen;
                for (const std::string& m : members) {
                    std::string name = m;
                    bool priv = false;
                    if (const size_t colon = m.find(':'); colon != std::string::npos) {
                        if (m.substr(colon + 1) != "private") fail("member qualifier must be 'private', got " + quote(m));
                        name = m.substr(0, colon);
                        priv = true;
                    }
                    if (!is_name(name)) fail("bad member name " + quote(name));
                    if (!seen.insert(name).second) fail("member " + quote(name) + " listed twice");
                    cb.member(name, priv);
                }
                auto add_methods = [&](const std::vector<std::string>& list, bool operators) {
                    for (const std::string& m : list) {
                        const size_t eq = m.find('=');
                        if (eq == std::string::npos) fail("methods are NAME=BLOCK, got " + quote(m));
                        std::string name = m.substr(0, eq);
                        std::string block = m.substr(eq + 1);
                        bool priv = false;
                        auto strip_private = [&](std::string& s) {
                            const size_t colon = s.find(':');
                            if (colon == std::string::npos) return;
                            if (s.substr(colon + 1) != "private")
                                fail("method qualifier must be 'private', got " + quote(m));
                            s.resize(colon);
                            priv = true;
                        };
                        strip_private(name);
                        strip_private(block);
                        if (!is_name(name)) fail("bad method name " + quote(name));
                        if (operators && lum_operator_index(name) < 0) fail("unknown operator method " + quote(name));
                        if (!seen.insert(name).second) fail("member " + quote(name) + " listed twice");
                        cb.method(name, find_block(block), priv);
                    }
                };
                add_methods(methods, false);
                add_methods(ops, true);
                if (ctor) cb.constructor(find_block(*ctor));
            });
        }
        for (const linked_decl& l : linked_) {
            guarded(l.line, [&] {
                lum_program_block* target = find_block(l.target);
                l.block->builder->linked(target);
            });
        }
    }

    // -- pass 2: code -----------------------------------------------------------

    void pass_code() {
        for (uint32_t i = 0; i < lines_.size(); ++i) {
            const uint32_t line = i + 1;
            if (tokenize_failed_.count(line) != 0) continue;
            std::vector<token> t = tokenize(lines_[i]);
            if (t.empty()) continue;
            const std::string& head = t[0].text;
            if (head == ".block") {
                auto it = block_lines_.find(line);
                if (it != block_lines_.end()) stack_.push_back(it->second);
                continue;
            }
            if (head == ".end") {
                pending_loc_.reset();
                auto it = end_lines_.find(line);
                if (it != end_lines_.end()) {
                    finish_block(blocks_[it->second]);
                    if (!stack_.empty()) stack_.pop_back();
                }
                continue;
            }
            if (head == ".loc") {
                guarded(line, [&] {
                    require_block("'.loc'");
                    if (t.size() != 4) fail("usage: .loc UNIT LINE INDEX");
                    pending_loc_ = pending_position{find_unit(t[1].text), parse_u32(t[2].text, "line"),
                                                    parse_u32(t[3].text, "index")};
                });
                continue;
            }
            if (head == ".autoloc") {
                guarded(line, [&] {
                    if (t.size() != 1) fail("'.autoloc' takes no operands");
                    autoloc_unit();
                    autoloc_ = true;
                });
                continue;
            }
            if (head == ".bytes") {
                guarded(line, [&] { emit_bytes(t, line); });
                continue;
            }
            if (!head.empty() && head[0] == '.') continue;  // declarations: first pass

            guarded(line, [&] {
                size_t first = 0;
                if (head.size() >= 2 && head.back() == ':' && !is_string_literal(head)) {
                    const std::string name = head.substr(0, head.size() - 1);
                    if (!is_name(name)) fail("bad label " + quote(head));
                    block_state& b = require_block("label");
                    label_info& l = label(b, name, line);
                    if (l.bound) fail("label " + quote(name) + " defined twice in block " + quote(b.name));
                    b.builder->bind(l.label);
                    l.bound = true;
                    first = 1;
                }
                if (first >= t.size()) return;
                block_state& b = require_block("instruction");
                emit_instruction(b, t, first, line);
            });
        }
    }

    lum_source_unit* autoloc_unit() {
        if (self_unit_ == nullptr) {
            auto unit = std::make_shared<lum_source_unit>();
            unit->path = file_;
            for (uint32_t i = 0; i < lines_.size(); ++i) unit->lines[i + 1] = lines_[i];
            units_storage_.push_back(unit);
            self_unit_ = unit.get();
        }
        return self_unit_;
    }

    label_info& label(block_state& b, const std::string& name, uint32_t line) {
        auto it = b.labels.find(name);
        if (it == b.labels.end()) {
            label_info info;
            info.label = b.builder->label();
            info.first_use = line;
            it = b.labels.emplace(name, info).first;
        }
        return it->second;
    }

    void position_here(block_state& b, uint32_t line, uint32_t column) {
        std::optional<pending_position> pos;
        if (pending_loc_) {
            pos = pending_loc_;
            pending_loc_.reset();
        } else if (autoloc_) {
            pos = pending_position{self_unit_, line, column};
        }
        if (pos) b.block->symbol_table()->add_position(b.builder->offset(), pos->unit, pos->line, pos->index);
    }

    void emit_bytes(const std::vector<token>& t, uint32_t line) {
        block_state& b = require_block("'.bytes'");
        if (t.size() < 2) fail("usage: .bytes HEX HEX ...");
        std::vector<uint8_t> raw;
        for (size_t i = 1; i < t.size(); ++i) {
            std::string_view s = t[i].text;
            if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
            if (s.size() != 2 || hex_digit(s[0]) < 0 || hex_digit(s[1]) < 0)
                fail("expected a hex byte (00 to ff), got " + quote(t[i].text));
            raw.push_back(static_cast<uint8_t>(hex_digit(s[0]) * 16 + hex_digit(s[1])));
        }
        position_here(b, line, t[0].column);
        const uint32_t at = b.builder->offset();
        b.builder->bytes(raw);
        b.items.push_back({at, static_cast<uint32_t>(raw.size()), line, true});
    }

    void finish_block(block_state& b) {
        for (auto& [name, l] : b.labels) {
            if (!l.bound) {
                report(l.first_use, "unknown label " + quote(name) + " in block " + quote(b.name));
                b.broken = true;
            }
        }
        if (b.restart) {
            auto it = b.labels.find(b.restart->first);
            if (it == b.labels.end() || !it->second.bound) {
                report(b.restart->second, "unknown restart label " + quote(b.restart->first) + " in block " + quote(b.name));
                b.broken = true;
            } else {
                b.builder->restart(it->second.label);
            }
        }
        b.closed = true;
        if (b.broken) return;
        try {
            b.builder->finish();
        } catch (const std::exception& e) {
            report(b.line, e.what());
            b.broken = true;
        }
    }

    // -- operands ---------------------------------------------------------------

    uint32_t string_operand(std::string_view s) {
        if (is_string_literal(s)) return builder_.intern(parse_string(s));
        if (!s.empty() && s[0] == '#') return parse_u32(s.substr(1), "string index");
        fail("expected \"text\" or #N, got " + quote(s));
    }

    uint32_t child_operand(block_state& b, std::string_view s) {
        if (try_int(s)) return parse_u32(s, "child index");
        auto it = b.child_index.find(std::string(s));
        if (it != b.child_index.end()) return it->second;
        if (block_names_.count(std::string(s)) != 0)
            fail("block " + quote(s) + " is not a child of block " + quote(b.name));
        fail("unknown block " + quote(s));
    }

    uint64_t native_operand(std::string_view s) {
        if (s.empty() || s[0] != '@') fail("expected @NATIVE, got " + quote(s));
        auto it = natives_.find(std::string(s.substr(1)));
        if (it == natives_.end()) fail("unknown native " + quote(s.substr(1)) + " (declare it with .native)");
        return reinterpret_cast<uintptr_t>(it->second);
    }

    uint64_t constant_operand(std::string_view s) {
        if (s.empty() || s[0] != '=') fail("expected =CONST, got " + quote(s));
        auto it = constants_.find(std::string(s.substr(1)));
        if (it == constants_.end()) fail("unknown constant " + quote(s.substr(1)) + " (declare it with .const)");
        return reinterpret_cast<uintptr_t>(it->second);
    }

    // The value after "cls=": 0 or a class name.
    uint64_t class_value(std::string_view s) {
        if (s == "0") return 0;
        for (const class_decl& c : classes_)
            if (c.name == s) return reinterpret_cast<uintptr_t>(c.def);
        fail("unknown class " + quote(s));
    }

    uint32_t cache_operand(block_state& b, std::string_view s) {
        if (s == "auto") return b.builder->cache();
        if (try_int(s)) return parse_u32(s, "cache index");
        if (!is_name(s)) fail("expected cache=auto, cache=NAME or cache=N, got " + quote(s));
        auto it = b.caches.find(std::string(s));
        if (it == b.caches.end()) it = b.caches.emplace(std::string(s), b.builder->cache()).first;
        return it->second;
    }

    uint32_t path_operand(block_state& b, std::string_view s) {
        if (try_int(s)) return parse_u32(s, "member path index");
        auto it = b.paths.find(std::string(s));
        if (it == b.paths.end()) fail("unknown member path " + quote(s) + " in block " + quote(b.name));
        return it->second;
    }

    static void expect_count(const std::vector<token>& t, size_t first, size_t n, std::string_view usage) {
        if (t.size() - first - 1 != n) fail("usage: " + std::string(usage));
    }

    // -- instructions -------------------------------------------------------------

    void emit_instruction(block_state& b, const std::vector<token>& t, size_t first, uint32_t line) {
        const std::string& name = t[first].text;
        lum_block_builder& bb = *b.builder;
        std::vector<std::string_view> ops;
        for (size_t i = first + 1; i < t.size(); ++i) ops.push_back(t[i].text);
        position_here(b, line, t[first].column);
        const uint32_t at = bb.offset();

        if (name == "op") {
            emit_generic(b, ops, line);
        } else {
            const mnemonic_spec* m = find_mnemonic(name);
            if (m == nullptr) fail("unknown instruction " + quote(name));
            const std::string usage = usage_of(*m);
            auto one = [&] {
                if (ops.size() != 1) fail("usage: " + usage);
                return ops[0];
            };
            switch (m->kind) {
                case operands::none:
                    if (!ops.empty()) fail("usage: " + usage);
                    bb.emit(m->opcode, has_a_variants(m->opcode) ? lum_insn_fields{.A = m->a} : lum_insn_fields{});
                    break;
                case operands::slot:
                case operands::static_slot:
                case operands::global:
                case operands::global_static:
                case operands::number:
                    bb.emit(m->opcode, {.B = parse_u32(one(), "the operand")});
                    break;
                case operands::level_slot:
                case operands::level_static: {
                    std::string joined;
                    for (std::string_view o : ops) {
                        if (!joined.empty()) joined += ',';
                        joined += o;
                    }
                    std::vector<std::string> parts = split_list(joined);
                    if (parts.size() != 2) fail("usage: " + usage);
                    bb.emit(m->opcode, {.B = parse_u32(parts[0], "level"), .C = parse_u32(parts[1], "slot")});
                    break;
                }
                case operands::int_const:
                    bb.ldi(parse_int(one(), "ldi"));
                    break;
                case operands::float_const:
                    bb.ldf(parse_float(one(), "ldf"));
                    break;
                case operands::string:
                    bb.emit(m->opcode, {.B = string_operand(one())});
                    break;
                case operands::child:
                    bb.emit(m->opcode, {.B = child_operand(b, one())});
                    break;
                case operands::native:
                    bb.emit(m->opcode, {.D = native_operand(one())});
                    break;
                case operands::constant:
                    bb.emit(m->opcode, {.D = constant_operand(one())});
                    break;
                case operands::count_a:
                    bb.emit(m->opcode, {.A = parse_u8(one(), "the operand")});
                    break;
                case operands::jump: {
                    std::string_view target = one();
                    if (!is_name(target)) fail("expected a label, got " + quote(target));
                    bb.emit_to(m->opcode, label(b, std::string(target), line).label);
                    break;
                }
                case operands::selfmem: {
                    if (ops.empty() || ops.size() > 2) fail("usage: " + usage);
                    uint8_t def = 0;
                    if (ops.size() == 2) {
                        if (ops[1] != "def") fail("usage: " + usage);
                        def = 1;
                    }
                    bb.emit(m->opcode, {.B = parse_u32(ops[0], "member index"), .C8 = def});
                    break;
                }
                case operands::mem: emit_mem(b, ops, usage); break;
                case operands::idx: emit_idx(ops, usage); break;
                case operands::class_d: {
                    uint64_t cls = 0;
                    for (std::string_view o : ops) {
                        auto [key, value] = split_key(o);
                        if (key != "cls") fail("usage: " + usage);
                        cls = class_value(value);
                    }
                    bb.emit(m->opcode, {.D = cls});
                    break;
                }
                case operands::fexpr: emit_fexpr(b, ops, line); break;
                case operands::fcall: emit_fcall(b, ops, line, usage); break;
            }
        }
        b.items.push_back({at, bb.offset() - at, line, false});
    }

    static std::string usage_of(const mnemonic_spec& m) {
        std::string u(m.name);
        switch (m.kind) {
            case operands::none: break;
            case operands::slot:
            case operands::static_slot:
            case operands::global:
            case operands::global_static: u += " S"; break;
            case operands::number: u += " N"; break;
            case operands::level_slot:
            case operands::level_static: u += " L, S"; break;
            case operands::int_const: u += " N"; break;
            case operands::float_const: u += " X"; break;
            case operands::string: u += " \"text\""; break;
            case operands::child: u += " CHILD"; break;
            case operands::native: u += " @NATIVE"; break;
            case operands::constant: u += " =CONST"; break;
            case operands::count_a: u += " N"; break;
            case operands::jump: u += " LABEL"; break;
            case operands::selfmem: u += " I [def]"; break;
            case operands::mem: u += " \"name\" [cache=auto|NAME] [cls=C] [viv]"; break;
            case operands::idx: u += " [mode=N] [cls=C] [viv]"; break;
            case operands::class_d: u += " [cls=C]"; break;
            case operands::fexpr: u += " dst=DEST [ITEM ...] skip=LABEL"; break;
            case operands::fcall:
                u += " \"name\" argc=N [self=I] [cache=auto|NAME] [cls=C] [disabled] skip=LABEL";
                break;
        }
        return u;
    }

    void emit_mem(block_state& b, const std::vector<std::string_view>& ops, const std::string& usage) {
        if (ops.empty()) fail("usage: " + usage);
        const uint32_t name = string_operand(ops[0]);
        std::optional<uint32_t> cache;
        uint64_t cls = 0;
        uint8_t viv = 0;
        for (size_t i = 1; i < ops.size(); ++i) {
            auto [key, value] = split_key(ops[i]);
            if (key == "cache") cache = cache_operand(b, value);
            else if (key == "cls") cls = class_value(value);
            else if (key.empty() && value == "viv") viv = 1;
            else fail("usage: " + usage);
        }
        if (!cache) cache = b.builder->cache();
        b.builder->emit(LUM_OP_MEM, {.B = name, .C = *cache, .E = cls, .F = viv});
    }

    void emit_idx(const std::vector<std::string_view>& ops, const std::string& usage) {
        uint8_t mode = 1;
        uint64_t cls = 0;
        uint8_t viv = 0;
        for (std::string_view o : ops) {
            auto [key, value] = split_key(o);
            if (key == "mode") mode = parse_u8(value, "mode");
            else if (key == "cls") cls = class_value(value);
            else if (key.empty() && value == "viv") viv = 1;
            else fail("usage: " + usage);
        }
        current()->builder->emit(LUM_OP_IDX, {.A = mode, .D = cls, .E8 = viv});
    }

    // "l:S", "up:L,S", "g:S", "self:S", "path:P" -> {kind (item numbering), level, operand}.
    std::optional<lum_fexpr_item> fexpr_place(block_state& b, std::string_view s) {
        const size_t colon = s.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        const std::string_view kind = s.substr(0, colon);
        const std::string_view rest = s.substr(colon + 1);
        if (kind == "path") return lum_fexpr_item{lum_fexpr::IT_PATH, 0, path_operand(b, rest)};
        if (kind == "l" || kind == "g" || kind == "self" || kind == "up") {
            auto [k, level, slot] = parse_holder(s);
            return lum_fexpr_item{k, level, slot};
        }
        return std::nullopt;
    }

    void emit_fexpr(block_state& b, const std::vector<std::string_view>& ops, uint32_t line) {
        lum_fexpr_form form;
        std::optional<std::string> skip;
        bool have_dst = false;
        for (std::string_view o : ops) {
            auto [key, value] = split_key(o);
            if (key == "dst") {
                have_dst = true;
                if (value == "none") {
                    form.dest_kind = lum_fexpr::DEST_TOP;
                    continue;
                }
                std::optional<lum_fexpr_item> place = fexpr_place(b, value);
                if (!place) fail("fexpr destination must be none, l:S, up:L,S, g:S, self:S or path:P, got " + quote(value));
                switch (place->kind) {
                    case lum_fexpr::IT_LOCAL: form.dest_kind = lum_fexpr::DEST_LOCAL; break;
                    case lum_fexpr::IT_UP: form.dest_kind = lum_fexpr::DEST_UP; break;
                    case lum_fexpr::IT_GLOBAL: form.dest_kind = lum_fexpr::DEST_GLOBAL; break;
                    case lum_fexpr::IT_SELF: form.dest_kind = lum_fexpr::DEST_SELF; break;
                    default: form.dest_kind = lum_fexpr::DEST_PATH; break;
                }
                form.dest_level = place->level;
                form.dest_slot = place->operand;
                continue;
            }
            if (key == "skip") {
                if (!is_name(value)) fail("skip needs a label, got " + quote(value));
                skip = std::string(value);
                continue;
            }
            if (!key.empty()) fail("unknown fexpr operand " + quote(o));
            if (form.items.size() >= lum_fexpr::MAX_ITEMS) fail("fexpr takes at most 16 items");
            if (o.size() > 2 && (o.substr(0, 2) == "i:" || o.substr(0, 2) == "f:")) {
                if (form.const_count >= lum_fexpr::MAX_CONSTS) fail("fexpr takes at most 6 constants");
                if (o[0] == 'i') form.int_const(parse_int(o.substr(2), "an integer constant"));
                else form.float_const(parse_float(o.substr(2), "a float constant"));
                continue;
            }
            if (std::optional<lum_fexpr_item> place = fexpr_place(b, o)) {
                form.items.push_back(*place);
                continue;
            }
            bool found = false;
            for (const fexpr_op_name& op : fexpr_ops) {
                if (op.name == o) {
                    form.op(op.kind);
                    found = true;
                    break;
                }
            }
            if (!found) fail("unknown fexpr item " + quote(o));
        }
        if (!have_dst) fail("fexpr needs dst=DEST");
        if (!skip) fail("fexpr needs skip=LABEL");
        b.builder->fexpr(form, label(b, *skip, line).label);
    }

    void emit_fcall(block_state& b, const std::vector<std::string_view>& ops, uint32_t line, const std::string& usage) {
        if (ops.empty()) fail("usage: " + usage);
        lum_fcall_spec form;
        form.name = string_operand(ops[0]);
        std::optional<uint32_t> cache;
        std::optional<std::string> skip;
        bool have_argc = false;
        for (size_t i = 1; i < ops.size(); ++i) {
            auto [key, value] = split_key(ops[i]);
            if (key == "argc") {
                form.argc = parse_u8(value, "argc");
                have_argc = true;
            } else if (key == "self") {
                form.self_form = 1;
                form.member = parse_u32(value, "self member index");
            } else if (key == "cache") {
                cache = cache_operand(b, value);
            } else if (key == "cls") {
                form.accessing = class_value(value);
            } else if (key == "skip") {
                if (!is_name(value)) fail("skip needs a label, got " + quote(value));
                skip = std::string(value);
            } else if (key.empty() && value == "disabled") {
                form.enabled = 0;
            } else {
                fail("usage: " + usage);
            }
        }
        if (!have_argc) fail("fcall needs argc=N");
        if (!skip) fail("fcall needs skip=LABEL");
        if (!cache && !form.self_form) cache = b.builder->cache();
        form.cache = cache.value_or(0);
        b.builder->fcall(form, label(b, *skip, line).label);
    }

    // A field value of the generic form: integer, float (64-bit fields),
    // "text", #N, @NATIVE, =CONST, cls=NAME, a child block or a label (B).
    struct field_value {
        uint64_t bits = 0;
        bool is_label = false;
        std::string label;
    };

    field_value generic_value(block_state& b, std::string_view field, std::string_view s, bool wide) {
        field_value v;
        if (std::optional<int64_t> i = try_int(s)) {
            v.bits = static_cast<uint64_t>(*i);
            return v;
        }
        if (is_string_literal(s) || (!s.empty() && s[0] == '#')) {
            v.bits = string_operand(s);
            return v;
        }
        if (!s.empty() && (s[0] == '@' || s[0] == '=')) {
            if (!wide) fail("field " + std::string(field) + " cannot hold an address");
            v.bits = s[0] == '@' ? native_operand(s) : constant_operand(s);
            return v;
        }
        if (s.substr(0, 4) == "cls=") {
            if (!wide) fail("field " + std::string(field) + " cannot hold an address");
            v.bits = class_value(s.substr(4));
            return v;
        }
        if (std::optional<double> d = try_float(s)) {
            if (!wide) fail("field " + std::string(field) + " cannot hold a float");
            v.bits = std::bit_cast<uint64_t>(*d);
            return v;
        }
        if (is_name(s)) {
            auto it = b.child_index.find(std::string(s));
            if (it != b.child_index.end()) {
                v.bits = it->second;
                return v;
            }
            if (field == "B") {
                v.is_label = true;
                v.label = std::string(s);
                return v;
            }
        }
        fail("bad value " + quote(s) + " for field " + std::string(field));
    }

    void emit_generic(block_state& b, const std::vector<std::string_view>& ops, uint32_t line) {
        if (ops.empty()) fail("usage: op N [A=..] [B=..] [C=..] [C8=..] [D=..] [E=..] [E8=..] [F=..]");
        const uint64_t opcode = parse_unsigned(ops[0], "the opcode", 255);
        if (lum_opcode_size(static_cast<unsigned>(opcode)) == 0)
            fail("unknown opcode " + std::to_string(opcode) + " (write invalid encodings with .bytes)");
        lum_insn_fields f;
        std::optional<std::string> jump_label;
        auto narrow = [&](std::string_view field, const field_value& v, uint64_t max) -> uint64_t {
            const int64_t s = static_cast<int64_t>(v.bits);
            if (v.bits > max && !(max == UINT32_MAX && s >= INT32_MIN && s < 0))
                fail("value of field " + std::string(field) + " out of range");
            return v.bits & max;
        };
        for (size_t i = 1; i < ops.size(); ++i) {
            auto [key, value] = split_key(ops[i]);
            if (key.empty()) fail("generic operands are FIELD=VALUE, got " + quote(ops[i]));
            const bool wide = key == "D" || key == "E";
            field_value v = generic_value(b, key, value, wide);
            if (key == "A") f.A = static_cast<uint8_t>(narrow(key, v, 255));
            else if (key == "B") {
                if (v.is_label) jump_label = v.label;
                else f.B = static_cast<uint32_t>(narrow(key, v, UINT32_MAX));
            } else if (key == "C") f.C = static_cast<uint32_t>(narrow(key, v, UINT32_MAX));
            else if (key == "C8") f.C8 = static_cast<uint8_t>(narrow(key, v, 255));
            else if (key == "D") f.D = v.bits;
            else if (key == "E") f.E = v.bits;
            else if (key == "E8") f.E8 = static_cast<uint8_t>(narrow(key, v, 255));
            else if (key == "F") f.F = static_cast<uint8_t>(narrow(key, v, 255));
            else fail("unknown field " + quote(key) + " (A, B, C, C8, D, E, E8, F)");
        }
        if (jump_label)
            b.builder->emit_to(static_cast<uint8_t>(opcode), label(b, *jump_label, line).label, f);
        else
            b.builder->emit(static_cast<uint8_t>(opcode), f);
    }

    // -- validation ----------------------------------------------------------------

    const block_state& ancestor(const block_state& b, uint32_t level) const {
        const block_state* a = &b;
        for (uint32_t i = 0; i < level; ++i) a = &blocks_[a->parent];
        return *a;
    }

    const block_state& root_block() const {
        for (const block_state& b : blocks_)
            if (b.parent < 0) return b;
        return blocks_.front();
    }

    struct checker {
        const assembler& as;
        const block_state& b;
        uint32_t line;
        const uint8_t* insn;
        uint32_t offset;
        const std::set<uint32_t>& boundaries;

        void slot(uint32_t s, const block_state& owner, std::string_view what) const {
            if (s >= owner.block->num_slots)
                fail(std::string(what) + " " + std::to_string(s) + " out of range (block " + quote(owner.name) +
                     " has " + std::to_string(owner.block->num_slots) + " slots)");
        }
        void static_slot(uint32_t s, const block_state& owner, std::string_view what) const {
            if (s >= owner.block->statics.size())
                fail(std::string(what) + " " + std::to_string(s) + " out of range (block " + quote(owner.name) +
                     " has " + std::to_string(owner.block->statics.size()) + " static slots)");
        }
        const block_state& level(uint32_t l) const {
            if (l > b.depth)
                fail("level " + std::to_string(l) + " out of range (block " + quote(b.name) + " is nested " +
                     std::to_string(b.depth) + " deep)");
            return as.ancestor(b, l);
        }
        void string(uint32_t index) const {
            const size_t n = as.builder_.program()->strings->size();
            if (index >= n)
                fail("string index " + std::to_string(index) + " out of range (" + std::to_string(n) + " strings)");
        }
        void child(uint32_t index) const {
            const size_t n = b.block->children.size();
            if (index >= n)
                fail("child block " + std::to_string(index) + " out of range (block " + quote(b.name) + " has " +
                     std::to_string(n) + " children)");
        }
        void cache(uint32_t index) const {
            const size_t n = b.block->member_cache.size();
            if (index >= n)
                fail("member-cache entry " + std::to_string(index) + " out of range (block " + quote(b.name) +
                     " has " + std::to_string(n) + ")");
        }
        void path(uint32_t index) const {
            const size_t n = b.block->member_paths.size();
            if (index >= n)
                fail("member path " + std::to_string(index) + " out of range (block " + quote(b.name) + " has " +
                     std::to_string(n) + ")");
        }
        void native(uint64_t address) const {
            for (const auto& [name, def] : as.natives_)
                if (reinterpret_cast<uintptr_t>(def) == address) return;
            fail("operand D is not the address of a declared native");
        }
        void constant(uint64_t address) const {
            for (const auto& [name, cell] : as.constants_)
                if (reinterpret_cast<uintptr_t>(cell) == address) return;
            fail("operand D is not the address of a declared constant");
        }
        void class_address(uint64_t address) const {
            if (address == 0) return;
            for (const class_decl& c : as.classes_)
                if (reinterpret_cast<uintptr_t>(c.def) == address) return;
            fail("accessing class is not the address of a declared class");
        }
        // The unsigned skip of opcodes 72 and 73: forward, past the instruction.
        void skip(uint32_t distance) const {
            if (static_cast<int32_t>(distance) <= 0)
                fail("skip target must lie after the instruction (fused instructions skip forward)");
            target(distance);
        }
        void target(int64_t distance) const {
            const int64_t t = static_cast<int64_t>(offset) + distance;
            const int64_t size = b.block->code_size();
            if (t < 0 || t > size)
                fail("jump target " + std::to_string(t) + " outside the code (block " + quote(b.name) + " has " +
                     std::to_string(size) + " bytes)");
            if (boundaries.count(static_cast<uint32_t>(t)) == 0)
                fail("jump target " + std::to_string(t) + " is inside an instruction");
        }
        // A slot-resolver place of opcode 72 (item kinds 0, 1, 2, 19, 20).
        void place(uint8_t kind, uint8_t lvl, uint32_t operand) const {
            switch (kind) {
                case lum_fexpr::IT_LOCAL: slot(operand, b, "slot"); break;
                case lum_fexpr::IT_UP: slot(operand, level(lvl), "slot"); break;
                case lum_fexpr::IT_GLOBAL: slot(operand, as.root_block(), "global slot"); break;
                case lum_fexpr::IT_PATH: path(operand); break;
                default: break;
            }
        }
        template <class T>
        T read(unsigned pos) const {
            return lum_read_operand<T>(insn, pos);
        }
    };

    void validate() {
        for (block_state& b : blocks_) {
            if (b.broken) continue;
            std::set<uint32_t> boundaries;
            for (const lum_assembly::item& it : b.items) boundaries.insert(it.offset);
            boundaries.insert(b.block->code_size());
            for (const lum_assembly::item& it : b.items) {
                if (it.raw) continue;
                guarded(it.line, [&] {
                    checker c{*this, b, it.line, b.block->code.data() + it.offset, it.offset, boundaries};
                    check_instruction(c);
                });
            }
            if (b.block->loop_restart > b.block->code_size())
                report(b.line, "restart offset outside the code");
        }
        const std::set<uint32_t> no_boundaries;
        for (const block_state& b : blocks_) {
            const lum_program_block* blk = b.block;
            for (size_t i = 0; i < blk->member_paths.size(); ++i) {
                const lum_member_path& p = blk->member_paths[i];
                const uint32_t line = i < b.path_lines.size() ? b.path_lines[i] : b.line;
                guarded(line, [&] {
                    checker c{*this, b, line, nullptr, 0, no_boundaries};
                    c.string(p.name);
                    if (p.holder_kind != lum_fexpr::IT_PATH) c.place(p.holder_kind, p.holder_level, p.holder_slot);
                });
            }
        }
    }

    void check_instruction(const checker& c) const {
        using namespace lum_operand;
        const uint8_t op = c.insn[0];
        switch (op) {
            case LUM_OP_LD_L:
            case LUM_OP_LD_LF: c.slot(c.read<uint32_t>(B), c.b, "slot"); break;
            case LUM_OP_LD_S: c.static_slot(c.read<uint32_t>(B), c.b, "static slot"); break;
            case LUM_OP_LD_UP: c.slot(c.read<uint32_t>(C), c.level(c.read<uint32_t>(B)), "slot"); break;
            case LUM_OP_LD_UPS: c.static_slot(c.read<uint32_t>(C), c.level(c.read<uint32_t>(B)), "static slot"); break;
            case LUM_OP_LD_G: c.slot(c.read<uint32_t>(B), root_block(), "global slot"); break;
            case LUM_OP_LD_GS: c.static_slot(c.read<uint32_t>(B), root_block(), "global static slot"); break;
            case LUM_OP_LDS:
            case LUM_OP_MEMIF: c.string(c.read<uint32_t>(B)); break;
            case LUM_OP_FN:
            case LUM_OP_ENTER:
            case LUM_OP_CATCH: c.child(c.read<uint32_t>(B)); break;
            case LUM_OP_LDEXT:
            case LUM_OP_NCALL: c.native(c.read<uint64_t>(D)); break;
            case LUM_OP_LDK: c.constant(c.read<uint64_t>(D)); break;
            case LUM_OP_DEFAULT: {
                const uint8_t p = c.insn[A];
                const lum_program_block* blk = c.b.block;
                if (p >= blk->num_params)
                    fail("default: parameter " + std::to_string(p) + " out of range (block " + quote(c.b.name) +
                         " has " + std::to_string(blk->num_params) + " parameters)");
                if (blk->first_default == LUM_NO_DEFAULT || p < blk->first_default)
                    fail("default: parameter " + std::to_string(p) + " has no default (first_default=" +
                         (blk->first_default == LUM_NO_DEFAULT ? std::string("none")
                                                               : std::to_string(blk->first_default)) +
                         ")");
                c.child(p - blk->first_default);
                break;
            }
            case LUM_OP_ENTERLINKED:
                if (c.b.block->linked.expired()) fail("enterlinked in block " + quote(c.b.name) + " without linked=BLOCK");
                break;
            case LUM_OP_JMP:
            case LUM_OP_JZ:
            case LUM_OP_JNZ: c.target(c.read<int32_t>(B)); break;
            case LUM_OP_MEM:
                c.string(c.read<uint32_t>(lum_mem::NAME));
                c.cache(c.read<uint32_t>(lum_mem::CACHE));
                c.class_address(c.read<uint64_t>(lum_mem::CLASS));
                break;
            case LUM_OP_IDX: c.class_address(c.read<uint64_t>(lum_idx::CLASS)); break;
            case LUM_OP_IDXSET:
            case LUM_OP_IDXGET2: c.class_address(c.read<uint64_t>(D)); break;
            case LUM_OP_FEXPR: {
                using namespace lum_fexpr;
                const uint8_t count = c.insn[COUNT];
                if (count > MAX_ITEMS) fail("fexpr item count " + std::to_string(count) + " out of range (at most 16)");
                for (unsigned i = 0; i < count; ++i) {
                    const uint8_t* item = c.insn + ITEMS + i * 8;
                    const uint32_t operand = lum_read_operand<uint32_t>(item, 4);
                    if (item[0] == IT_CONST) {
                        if (operand >= MAX_CONSTS)
                            fail("fexpr constant " + std::to_string(operand) + " out of range (at most 6)");
                    } else {
                        c.place(item[0], item[1], operand);
                    }
                }
                const uint8_t dest = c.insn[DEST_KIND];
                const uint32_t dslot = c.read<uint32_t>(DEST_SLOT);
                if (dest == DEST_LOCAL) c.place(IT_LOCAL, 0, dslot);
                else if (dest == DEST_UP) c.place(IT_UP, c.insn[DEST_LEVEL], dslot);
                else if (dest >= 3) c.place(static_cast<uint8_t>(dest - 1), c.insn[DEST_LEVEL], dslot);
                c.skip(c.read<uint32_t>(JUMP));
                break;
            }
            case LUM_OP_FCALL: {
                using namespace lum_fcall;
                c.string(c.read<uint32_t>(NAME));
                if (c.insn[SELF_FORM] == 0) c.cache(c.read<uint32_t>(CACHE));
                c.class_address(c.read<uint64_t>(CLASS));
                c.skip(c.read<uint32_t>(JUMP));
                break;
            }
            default: break;
        }
    }

    // -- state --------------------------------------------------------------------

    struct pending_position {
        const lum_source_unit* unit;
        uint32_t line;
        uint32_t index;
    };
    struct linked_decl {
        block_state* block;
        std::string target;
        uint32_t line;
    };

    std::string file_;
    const lum_asm_options& options_;
    lum_program_builder builder_;
    std::vector<std::string> lines_;
    std::vector<lum_asm_diagnostic> diagnostics_;
    std::set<uint32_t> tokenize_failed_;

    std::deque<block_state> blocks_;
    std::vector<uint32_t> stack_;
    std::unordered_map<std::string, uint32_t> block_names_;
    std::unordered_map<uint32_t, uint32_t> block_lines_;  // .block line -> block
    std::unordered_map<uint32_t, uint32_t> end_lines_;    // .end line -> block
    std::vector<linked_decl> linked_;

    std::map<std::string, lum_function_def*> natives_;
    std::map<std::string, lumvar*> constants_;
    std::unordered_map<std::string, lum_source_unit*> units_;
    std::vector<std::shared_ptr<lum_source_unit>> units_storage_;
    std::vector<class_decl> classes_;

    std::optional<pending_position> pending_loc_;
    bool autoloc_ = false;
    lum_source_unit* self_unit_ = nullptr;
};

}  // namespace

lum_assembly lum_assemble(std::string_view source, const std::string& file, const lum_asm_options& options) {
    assembler a(source, file, options);
    return a.run();
}

lum_assembly lum_assemble_file(const std::string& path, const lum_asm_options& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw lum_asm_error({lum_asm_diagnostic{path, 0, "cannot read the file"}});
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw lum_asm_error({lum_asm_diagnostic{path, 0, "cannot read the file"}});
    return lum_assemble(text.str(), path, options);
}

// ---------------------------------------------------------------------------
// Listing

namespace {

struct lister {
    const lum_assembly& as;
    const lum_program_block& block;

    std::string string_text(uint32_t index) const {
        const auto& strings = block.strings;
        if (strings && index < strings->size()) return escape_string((*strings)[index]);
        return "#" + std::to_string(index);
    }
    std::string child_text(uint32_t index) const {
        if (index < block.children.size() && block.children[index]) return block.children[index]->name;
        return std::to_string(index);
    }
    static std::string named(const std::unordered_map<uint64_t, std::string>& names, uint64_t address) {
        auto it = names.find(address);
        if (it != names.end()) return it->second;
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(address));
        return buf;
    }
    std::string class_text(uint64_t address) const {
        if (address == 0) return {};
        return " cls=" + named(as.class_names, address);
    }
    static std::string target_text(uint32_t offset, int64_t distance) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%04llx", static_cast<unsigned long long>(static_cast<int64_t>(offset) + distance));
        return buf;
    }
    std::string place_text(uint8_t kind, uint8_t level, uint32_t operand) const {
        switch (kind) {
            case lum_fexpr::IT_LOCAL: return "l:" + std::to_string(operand);
            case lum_fexpr::IT_UP: return "up:" + std::to_string(level) + "," + std::to_string(operand);
            case lum_fexpr::IT_GLOBAL: return "g:" + std::to_string(operand);
            case lum_fexpr::IT_SELF: return "self:" + std::to_string(operand);
            case lum_fexpr::IT_PATH: return "path:" + std::to_string(operand);
            default: return "kind" + std::to_string(kind) + ":" + std::to_string(operand);
        }
    }

    std::string fexpr_text(const uint8_t* insn, uint32_t offset) const {
        using namespace lum_fexpr;
        std::string out = "fexpr dst=";
        const uint8_t dest = insn[DEST_KIND];
        const uint32_t dslot = lum_read_operand<uint32_t>(insn, DEST_SLOT);
        if (dest == DEST_TOP) out += "none";
        else if (dest == DEST_LOCAL) out += place_text(IT_LOCAL, 0, dslot);
        else if (dest == DEST_UP) out += place_text(IT_UP, insn[DEST_LEVEL], dslot);
        else out += place_text(static_cast<uint8_t>(dest - 1), insn[DEST_LEVEL], dslot);
        const uint8_t count = std::min<uint8_t>(insn[COUNT], MAX_ITEMS);
        const uint8_t mask = insn[FLOAT_MASK];
        for (unsigned i = 0; i < count; ++i) {
            const uint8_t* item = insn + ITEMS + i * 8;
            const uint32_t operand = lum_read_operand<uint32_t>(item, 4);
            out += ' ';
            if (item[0] == IT_CONST) {
                if (operand < MAX_CONSTS) {
                    const int64_t bits = lum_read_operand<int64_t>(insn, CONSTS + operand * 8);
                    if (mask & (1u << operand)) out += "f:" + format_double(std::bit_cast<double>(bits));
                    else out += "i:" + std::to_string(bits);
                } else {
                    out += "const" + std::to_string(operand);
                }
                continue;
            }
            bool is_op = false;
            for (const fexpr_op_name& op : fexpr_ops) {
                if (op.kind == item[0]) {
                    out += op.name;
                    is_op = true;
                    break;
                }
            }
            if (!is_op) out += place_text(item[0], item[1], operand);
        }
        out += " skip=" + target_text(offset, lum_read_operand<uint32_t>(insn, JUMP));
        return out;
    }

    std::string fcall_text(const uint8_t* insn, uint32_t offset) const {
        using namespace lum_fcall;
        std::string out = "fcall " + string_text(lum_read_operand<uint32_t>(insn, NAME));
        out += " argc=" + std::to_string(insn[ARGC]);
        if (insn[SELF_FORM] != 0) out += " self=" + std::to_string(lum_read_operand<uint32_t>(insn, MEMBER));
        else out += " cache=" + std::to_string(lum_read_operand<uint32_t>(insn, CACHE));
        out += class_text(lum_read_operand<uint64_t>(insn, CLASS));
        if (insn[ENABLED] == 0) out += " disabled";
        out += " skip=" + target_text(offset, lum_read_operand<uint32_t>(insn, JUMP));
        return out;
    }

    std::string text(const uint8_t* insn, uint32_t offset, uint32_t size) const {
        using namespace lum_operand;
        const uint8_t op = insn[0];
        if (lum_opcode_size(op) == 0 || lum_opcode_size(op) != size) return "op " + std::to_string(op);
        const std::string mn(lum_asm_mnemonic(op, size > 1 ? insn[A] : 0));
        auto b32 = [&] { return lum_read_operand<uint32_t>(insn, B); };
        const mnemonic_spec* m = find_mnemonic(mn);
        if (m == nullptr) return "op " + std::to_string(op);
        switch (m->kind) {
            case operands::none: return mn;
            case operands::slot:
            case operands::static_slot:
            case operands::global:
            case operands::global_static:
            case operands::number: return mn + " " + std::to_string(b32());
            case operands::level_slot:
            case operands::level_static:
                return mn + " " + std::to_string(b32()) + ", " + std::to_string(lum_read_operand<uint32_t>(insn, C));
            case operands::int_const: return mn + " " + std::to_string(lum_read_operand<int64_t>(insn, D));
            case operands::float_const: return mn + " " + format_double(lum_read_operand<double>(insn, D));
            case operands::string: return mn + " " + string_text(b32());
            case operands::child: return mn + " " + child_text(b32());
            case operands::native: return mn + " " + named(as.native_names, lum_read_operand<uint64_t>(insn, D));
            case operands::constant: return mn + " " + named(as.constant_names, lum_read_operand<uint64_t>(insn, D));
            case operands::count_a: return mn + " " + std::to_string(insn[A]);
            case operands::jump: return mn + " " + target_text(offset, lum_read_operand<int32_t>(insn, B));
            case operands::selfmem: return mn + " " + std::to_string(b32()) + (insn[C8] != 0 ? " def" : "");
            case operands::mem:
                return mn + " " + string_text(lum_read_operand<uint32_t>(insn, lum_mem::NAME)) +
                       " cache=" + std::to_string(lum_read_operand<uint32_t>(insn, lum_mem::CACHE)) +
                       class_text(lum_read_operand<uint64_t>(insn, lum_mem::CLASS)) +
                       (insn[lum_mem::VIVIFY] != 0 ? " viv" : "");
            case operands::idx:
                return mn + " mode=" + std::to_string(insn[lum_idx::MODE]) +
                       class_text(lum_read_operand<uint64_t>(insn, lum_idx::CLASS)) +
                       (insn[lum_idx::VIVIFY] != 0 ? " viv" : "");
            case operands::class_d: return mn + class_text(lum_read_operand<uint64_t>(insn, D));
            case operands::fexpr: return fexpr_text(insn, offset);
            case operands::fcall: return fcall_text(insn, offset);
        }
        return mn;
    }
};

std::string block_header(const lum_assembly& as, const lum_assembly::block_info& info) {
    const lum_program_block& b = *info.block;
    static const char* const kinds[] = {"plain", "function", "loop", "?", "top"};
    std::string out = ".block " + b.name + " kind=" + (b.kind <= 4 ? kinds[b.kind] : "?");
    out += " slots=" + std::to_string(b.num_slots);
    out += " params=" + std::to_string(b.num_params);
    out += " first_default=" + (b.first_default == LUM_NO_DEFAULT ? std::string("none") : std::to_string(b.first_default));
    if (b.num_bound != 0) out += " bound=" + std::to_string(b.num_bound);
    if (b.flags != 0) {
        std::string flags;
        const std::pair<uint8_t, const char*> names[] = {{LUM_BLOCK_FLAG_TRY, "try"},
                                                         {LUM_BLOCK_FLAG_FUNCTION, "function"},
                                                         {LUM_BLOCK_FLAG_EPILOGUE, "epilogue"},
                                                         {LUM_BLOCK_FLAG_METHOD, "method"}};
        for (const auto& [bit, name] : names) {
            if ((b.flags & bit) == 0) continue;
            if (!flags.empty()) flags += ',';
            flags += name;
        }
        out += " flags=" + flags;
    }
    if (!b.statics.empty()) out += " statics=" + std::to_string(b.statics.size());
    if (b.kind == LUM_BLOCK_LOOP) out += " restart=" + std::to_string(b.loop_restart);
    if (lum_program_block* l = b.linked.get()) out += " linked=" + l->name;
    if (!info.parent.empty()) out += "  ; child of " + info.parent;
    out += '\n';
    if (!b.children.empty()) {
        out += "        ; children:";
        for (size_t i = 0; i < b.children.size(); ++i)
            out += " " + std::to_string(i) + "=" + (b.children[i] ? b.children[i]->name : std::string("?"));
        out += '\n';
    }
    if (!b.member_cache.empty()) out += "        ; member-cache entries: " + std::to_string(b.member_cache.size()) + '\n';
    for (size_t i = 0; i < b.member_paths.size(); ++i) {
        const lum_member_path& p = b.member_paths[i];
        lister l{as, b};
        out += "        ; member path " + std::to_string(i) + ": " +
               l.place_text(p.holder_kind, p.holder_level, p.holder_slot) + " name=" + l.string_text(p.name) + '\n';
    }
    return out;
}

}  // namespace

std::string lum_assembly::listing() const {
    constexpr size_t per_row = 16;
    std::string out;
    if (program) out += ".program " + escape_string(program->name) + '\n';
    for (const block_info& info : blocks) {
        if (info.block == nullptr) continue;
        const lum_program_block& b = *info.block;
        out += '\n';
        out += block_header(*this, info);
        lister l{*this, b};
        for (const item& it : info.items) {
            const uint8_t* insn = b.code.data() + it.offset;
            const std::string mnemonic = it.raw ? ".bytes" : l.text(insn, it.offset, it.size);
            for (size_t row = 0; row == 0 || row * per_row < it.size; ++row) {
                const size_t n = std::min<size_t>(per_row, it.size - std::min<size_t>(it.size, row * per_row));
                char offset[16];
                std::snprintf(offset, sizeof offset, "%04x", static_cast<unsigned>(it.offset + row * per_row));
                std::string bytes = hex_bytes(insn + row * per_row, n);
                out += "  ";
                out += row == 0 ? offset : "    ";
                out += "  ";
                if (row == 0) {
                    bytes.resize(per_row * 3, ' ');
                    out += bytes;
                    out += mnemonic;
                } else {
                    out += bytes;
                }
                out += '\n';
            }
        }
        out += ".end\n";
    }
    return out;
}
