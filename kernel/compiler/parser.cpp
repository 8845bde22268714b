#include "kernel/compiler/parser.h"

#include <array>
#include <string_view>
#include <utility>

lumk_parser::lumk_parser(const std::vector<lumk_token>& tokens_, const lumk_source_tables& sources_,
                         size_t own_first_token_)
    : tokens(tokens_), sources(sources_), own_first_token(own_first_token_) {
    end_token.kind = lumk_token_kind::end;
    end_token.text = "end of source";
    if (!tokens.empty()) {
        const lumk_token& last = tokens.back();
        end_token.line = last.line;
        end_token.column = last.column;
        end_token.file = last.file;
        end_token.source_line = last.source_line;
    } else {
        end_token.line = 1;
        end_token.column = 1;
    }
}

#if defined(_MSC_VER)
#define LUMK_NOINLINE __declspec(noinline)
#else
#define LUMK_NOINLINE __attribute__((noinline))
#endif

namespace {

constexpr std::array<std::string_view, 11> k_assign_ops = {"=",  "+=", "-=", "*=",  "/=", "%=",
                                                            "&=", "|=", "^=", "<<=", ">>="};

bool is_assign_op(const lumk_token& t) {
    if (t.kind != lumk_token_kind::punct || t.text.back() != '=') return false;
    for (std::string_view op : k_assign_ops)
        if (lumk_text_is(t.text, op)) return true;
    return false;
}

// Binding strength of a binary operator, 0 when the token is not one:
// "||" 1, "&&" 2, "|" 3, "^" 4, "&" 5, "==" "!=" 6, "<" "<=" ">" ">=" 7,
// "<<" ">>" 8, "+" "-" 9, "*" "/" "%" 10. Decided on the punctuator's bytes,
// as it is asked once per operand of every expression.
int binary_precedence(const lumk_token& t) {
    if (t.kind != lumk_token_kind::punct) return 0;
    const std::string& s = t.text;
    const char c = s[0];
    if (s.size() == 1) {
        switch (c) {
            case '|': return 3;
            case '^': return 4;
            case '&': return 5;
            case '<':
            case '>': return 7;
            case '+':
            case '-': return 9;
            case '*':
            case '/':
            case '%': return 10;
            default: return 0;
        }
    }
    if (s.size() != 2) return 0;
    const char n = s[1];
    switch (c) {
        case '|': return n == '|' ? 1 : 0;
        case '&': return n == '&' ? 2 : 0;
        case '=':
        case '!': return n == '=' ? 6 : 0;
        case '<':
        case '>': return n == '=' ? 7 : n == c ? 8 : 0;
        default: return 0;
    }
}

bool is_unary_op(const lumk_token& t) {
    if (t.kind != lumk_token_kind::punct || t.text.size() != 1) return false;
    const char c = t.text[0];
    return c == '-' || c == '+' || c == '!' || c == '~' || c == '*' || c == '&';
}

bool is_work_item_word(const std::string& s) {
    if (s.size() < 3 || s[0] != 'g') return false;
    return lumk_text_is(s, "gid") || lumk_text_is(s, "gsize") || lumk_text_is(s, "gid_x") ||
           lumk_text_is(s, "gid_y") || lumk_text_is(s, "gsize_x") || lumk_text_is(s, "gsize_y");
}

// Counts nesting levels entered by one parse routine and gives them back when
// the routine returns or unwinds.
class nesting_guard {
public:
    nesting_guard(uint32_t& depth, const lumk_parser& p, const char* message)
        : depth_(depth), parser_(p), message_(message) {}
    ~nesting_guard() { depth_ -= entered_; }
    nesting_guard(const nesting_guard&) = delete;
    nesting_guard& operator=(const nesting_guard&) = delete;

    void enter(const lumk_token& at) {
        if (depth_ >= lumk_max_nesting) lumk_throw_at(parser_.sources, at, message_);
        ++depth_;
        ++entered_;
    }

private:
    uint32_t& depth_;
    const lumk_parser& parser_;
    const char* message_;
    uint32_t entered_ = 0;
};

constexpr const char* k_expr_too_deep = "the expression is nested too deeply";
constexpr const char* k_stmt_too_deep = "the statements are nested too deeply";

class parser_run {
public:
    explicit parser_run(lumk_parser& p) : p_(p) {}

    std::vector<lumk_decl> unit() {
        std::vector<lumk_decl> decls;
        for (;;) {
            const lumk_token& t = cur();
            if (t.is_end()) {
                // An end token inside the vector separates sources; the last one ends the unit.
                if (p_.pos + 1 < p_.tokens.size()) {
                    ++p_.pos;
                    continue;
                }
                break;
            }
            if (t.is_punct(";")) {
                ++p_.pos;
                continue;
            }
            lumk_decl d;
            d.arena = p_.arena;
            if (t.is_word("struct") || t.is_word("cstruct")) {
                d.kind = lumk_decl_kind::struct_decl;
                d.struct_decl = struct_decl();
            } else if (t.is_word("const") || (t.is_word("kernel") && peek(1).is_word("const"))) {
                d.kind = lumk_decl_kind::const_decl;
                d.const_decl = const_decl();
            } else if (t.is_word("kernel")) {
                d.kind = lumk_decl_kind::kernel_decl;
                d.kernel_decl = kernel_decl();
            } else {
                fail_got("expected a declaration (struct, cstruct, const or kernel)");
            }
            decls.push_back(std::move(d));
        }
        return decls;
    }

private:
    lumk_parser& p_;

    // ---- token access -------------------------------------------------------

    const lumk_token& peek(size_t k) const {
        size_t i = p_.pos + k;
        return i < p_.tokens.size() ? p_.tokens[i] : p_.end_token;
    }
    const lumk_token& cur() const { return peek(0); }

    // Returns a copy of the current token and moves past it (never past the end).
    lumk_token take() {
        lumk_token t = cur();
        advance();
        return t;
    }

    [[noreturn]] void fail(const lumk_token& at, std::string message) const {
        lumk_throw_at(p_.sources, at, std::move(message));
    }

    // Message helpers and node constructors are kept out of line: the parse
    // routines recurse once per nesting level, so their frames stay small when
    // no string or token temporaries live in them.
    [[noreturn]] LUMK_NOINLINE void fail_got(const char* expected) const {
        fail(cur(), std::string(expected) + " but got '" + cur().text + "'");
    }

    // Makes a node positioned at the current token and moves past the token.
    LUMK_NOINLINE lumk_expr_ptr new_expr(lumk_expr_kind kind) {
        lumk_expr_ptr node(new (*p_.arena) lumk_expr(kind, cur()));
        advance();
        return node;
    }
    LUMK_NOINLINE lumk_expr_ptr new_named_expr(lumk_expr_kind kind) {
        auto node = new_expr(kind);
        node->name = node->token.text;
        return node;
    }
    LUMK_NOINLINE lumk_expr_ptr new_op_expr(lumk_expr_kind kind) {
        auto node = new_expr(kind);
        node->op = node->token.text;
        return node;
    }
    LUMK_NOINLINE lumk_stmt_ptr new_stmt(lumk_stmt_kind kind) {
        lumk_stmt_ptr node(new (*p_.arena) lumk_stmt(kind, cur()));
        advance();
        return node;
    }
    void advance() {
        if (!cur().is_end() && p_.pos < p_.tokens.size()) ++p_.pos;
    }

    [[noreturn]] LUMK_NOINLINE void fail_expected_punct(std::string_view punct) const {
        fail(cur(), "expected '" + std::string(punct) + "' but got '" + cur().text + "'");
    }

    lumk_token expect(std::string_view punct) {
        if (!cur().is_punct(punct)) fail_expected_punct(punct);
        return take();
    }

    // Moves past the punctuator, or fails like expect.
    void skip(std::string_view punct) {
        if (!cur().is_punct(punct)) fail_expected_punct(punct);
        advance();
    }

    // Like skip, after an expression: an increment or an assignment operator
    // found here was written inside an expression, and gets its own message.
    void skip_after_expr(std::string_view punct) {
        if (!cur().is_punct(punct)) fail_after_expr(punct);
        advance();
    }

    [[noreturn]] LUMK_NOINLINE void fail_after_expr(std::string_view punct) const {
        const lumk_token& t = cur();
        if (t.is_punct("++") || t.is_punct("--")) incdec_in_expression(t);
        if (is_assign_op(t)) fail(t, "assignments are statements, not expressions");
        fail_expected_punct(punct);
    }

    [[noreturn]] LUMK_NOINLINE void incdec_in_expression(const lumk_token& t) const {
        char c = t.text[0];
        fail(t, "'" + t.text + "' is only allowed as a statement ('i" + std::string(2, c) + ";')");
    }

    // A name where a declaration expects one; reserved words are accepted so
    // that the checker can refuse them with a precise message.
    lumk_token expect_name() {
        if (!cur().is_name()) fail_got("expected a name");
        return take();
    }

    lumk_token expect_type_name() {
        const lumk_token& t = cur();
        if (!t.is_name() || lumk_is_reserved_word(t.text)) fail_got("expected a type");
        return take();
    }

    // type = [ "const" ] type_name [ "*" ]
    lumk_type_syntax type() {
        lumk_type_syntax ts;
        if (cur().is_word("const")) {
            advance();
            ts.is_const = 1;
        }
        ts.token = expect_type_name();
        ts.name = ts.token.text;
        if (cur().is_punct("*")) {
            advance();
            ts.is_pointer = 1;
        }
        return ts;
    }

    // ---- declarations -------------------------------------------------------

    std::unique_ptr<lumk_struct_decl> struct_decl() {
        auto d = std::make_unique<lumk_struct_decl>();
        d->token = take();
        d->c_layout = d->token.text == "cstruct";
        d->name = expect_name();
        skip("{");
        while (!cur().is_punct("}")) {
            if (cur().is_end()) skip("}");
            // field_decl = type_name ["*"] field_dtor { "," field_dtor } ";"
            lumk_type_syntax ts;
            ts.token = expect_type_name();
            ts.name = ts.token.text;
            if (cur().is_punct("*")) {
                advance();
                ts.is_pointer = 1;
            }
            for (;;) {
                lumk_field_decl f;
                f.type = ts;
                f.name = expect_name();
                if (cur().is_punct("[")) {
                    advance();
                    f.array_size = expr();
                    skip_after_expr("]");
                }
                d->fields.push_back(std::move(f));
                if (!cur().is_punct(",")) break;
                advance();
            }
            skip(";");
        }
        advance();
        if (cur().is_punct(";")) advance();
        return d;
    }

    std::unique_ptr<lumk_const_decl> const_decl() {
        auto d = std::make_unique<lumk_const_decl>();
        d->token = take();
        if (d->token.is_word("kernel")) advance();  // "const"
        d->type.token = expect_type_name();
        d->type.name = d->type.token.text;
        d->name = expect_name();
        skip("=");
        d->value = expr();
        skip_after_expr(";");
        return d;
    }

    std::string reduce_op() {
        const lumk_token& t = cur();
        if (t.is_punct("+") || t.is_punct("&") || t.is_punct("|") || t.is_punct("^") || t.is_word("min") ||
            t.is_word("max"))
            return take().text;
        fail_got("expected a reduction operator (+, min, max, &, |, ^)");
    }

    void reduce_clause(lumk_reduce_clause& r) {
        r.present = 1;
        r.token = take();
        skip("(");
        if (cur().is_name() && peek(1).is_punct(":")) {
            for (;;) {
                lumk_field_reduce f;
                f.field = expect_name();
                skip(":");
                f.op_token = cur();
                f.op = reduce_op();
                r.fields.push_back(std::move(f));
                if (!cur().is_punct(",")) break;
                advance();
            }
        } else {
            r.op_token = cur();
            r.op = reduce_op();
        }
        skip(")");
    }

    std::unique_ptr<lumk_kernel_decl> kernel_decl() {
        auto d = std::make_unique<lumk_kernel_decl>();
        d->imported = p_.pos < p_.own_first_token;
        d->token = take();
        if (cur().is_word("inline")) {
            advance();
            d->is_inline = 1;
        }
        d->name_token = expect_name();
        d->name = d->name_token.text;
        skip("(");
        if (!cur().is_punct(")")) {
            for (;;) {
                lumk_param_decl prm;
                prm.type = type();
                prm.name = expect_name();
                d->params.push_back(std::move(prm));
                if (!cur().is_punct(",")) break;
                advance();
            }
        }
        skip(")");
        if (cur().is_punct("->")) {
            advance();
            d->has_result = 1;
            d->result = type();
            if (cur().is_word("reduce")) reduce_clause(d->reduce);
        }
        if (!cur().is_punct("{")) skip("{");
        d->body = block();
        return d;
    }

    // ---- statements -------------------------------------------------------

    lumk_stmt_ptr block() {
        if (!cur().is_punct("{")) fail_expected_punct("{");
        lumk_stmt_ptr s = new_stmt(lumk_stmt_kind::block);
        while (!cur().is_punct("}")) {
            if (cur().is_end()) fail_expected_punct("}");
            s->statements.push_back(statement());
        }
        advance();
        return s;
    }

    lumk_stmt_ptr statement() {
        nesting_guard g(p_.stmt_depth, p_, k_stmt_too_deep);
        g.enter(cur());
        const lumk_token& t = cur();
        if (t.is_punct("{")) return block();
        if (t.is_punct(";")) return new_stmt(lumk_stmt_kind::empty);
        if (t.is_word("if")) return if_chain();
        if (t.is_word("for")) {
            lumk_stmt_ptr s = new_stmt(lumk_stmt_kind::for_loop);
            skip("(");
            if (!cur().is_punct(";")) s->first = simple();
            skip_after_expr(";");
            if (!cur().is_punct(";")) s->expr = expr();
            skip_after_expr(";");
            if (!cur().is_punct(")")) s->second = simple();
            skip_after_expr(")");
            s->body = statement();
            return s;
        }
        if (t.is_word("while")) {
            lumk_stmt_ptr s = new_stmt(lumk_stmt_kind::while_loop);
            skip("(");
            s->expr = expr();
            skip_after_expr(")");
            s->body = statement();
            return s;
        }
        if (t.is_word("break") || t.is_word("continue")) {
            lumk_stmt_ptr s = new_stmt(t.text == "break" ? lumk_stmt_kind::break_stmt : lumk_stmt_kind::continue_stmt);
            skip(";");
            return s;
        }
        if (t.is_word("return")) {
            lumk_stmt_ptr s = new_stmt(lumk_stmt_kind::return_stmt);
            if (!cur().is_punct(";")) s->expr = expr();
            skip_after_expr(";");
            return s;
        }
        if (t.is_word("unchecked")) {
            lumk_stmt_ptr s = new_stmt(lumk_stmt_kind::unchecked_block);
            s->first = block();
            return s;
        }
        lumk_stmt_ptr s = simple();
        skip_after_expr(";");
        return s;
    }

    // if (...) S [else if (...) S]... [else S]. Each "else if" becomes the
    // else branch of the link before it, parsed in a loop: the chain stays at
    // the nesting level of its first "if", whatever its length.
    lumk_stmt_ptr if_chain() {
        lumk_stmt_ptr head = new_stmt(lumk_stmt_kind::if_else);
        lumk_stmt* link = head.get();
        for (;;) {
            skip("(");
            link->expr = expr();
            skip_after_expr(")");
            link->first = statement();
            if (!cur().is_word("else")) break;
            advance();
            if (!cur().is_word("if")) {
                link->second = statement();
                break;
            }
            link->second = new_stmt(lumk_stmt_kind::if_else);
            link = link->second.get();
        }
        return head;
    }

    // A declaration starts with "const", NAME NAME or NAME "*" NAME, where the
    // first NAME is not a reserved word (a keyword at the start of a statement
    // keeps its keyword meaning).
    bool at_declaration() const {
        const lumk_token& t = cur();
        if (t.is_word("const")) return true;
        if (!t.is_name() || lumk_is_reserved_word(t.text)) return false;
        const lumk_token& n = peek(1);
        if (n.is_name()) return true;
        return n.is_punct("*") && peek(2).is_name();
    }

    // simple = var_decl | expr assign_op expr | expr ("++"|"--") | ("++"|"--") expr | expr
    lumk_stmt_ptr simple() {
        if (at_declaration()) return var_decl();
        if (cur().is_punct("++") || cur().is_punct("--")) {
            lumk_stmt_ptr s = new_stmt(lumk_stmt_kind::incdec);
            s->op = s->token.text;
            s->expr = expr();
            return s;
        }
        // The statement starts here; the node is made before the expression
        // so that it can take the first token as its position.
        lumk_stmt_ptr s(new (*p_.arena) lumk_stmt(lumk_stmt_kind::expr, cur()));
        lumk_expr_ptr e = expr();
        if (is_assign_op(cur()) || cur().is_punct("++") || cur().is_punct("--")) {
            const bool assign = is_assign_op(cur());
            s = new_stmt(assign ? lumk_stmt_kind::assign : lumk_stmt_kind::incdec);
            s->op = s->token.text;
            s->expr = std::move(e);
            if (assign) s->value = expr();
            return s;
        }
        s->expr = std::move(e);
        return s;
    }

    // var_decl = type declarator { "," declarator }
    lumk_stmt_ptr var_decl() {
        lumk_stmt_ptr s(new (*p_.arena) lumk_stmt(lumk_stmt_kind::decl, cur()));
        s->type = type();
        for (;;) {
            lumk_declarator d;
            d.name = expect_name();
            lumk_expr_ptr size;
            if (cur().is_punct("[")) {
                advance();
                size = expr();
                skip_after_expr("]");
            }
            if (cur().is_punct("=")) {
                advance();
                d.init = expr();
            }
            s->declarators.push_back(std::move(d));
            s->array_sizes.push_back(std::move(size));
            if (!cur().is_punct(",")) break;
            advance();
        }
        return s;
    }

    // ---- expressions --------------------------------------------------------
    //
    // Every routine that can recurse counts the levels it opens with a
    // nesting_guard; more than lumk_max_nesting levels fail at the token that
    // opens the level.

    lumk_expr_ptr expr() {
        nesting_guard g(p_.expr_depth, p_, k_expr_too_deep);
        g.enter(cur());
        return conditional();
    }

    // cond = lor [ "?" expr ":" cond ]
    lumk_expr_ptr conditional() {
        lumk_expr_ptr c = binary(1);
        if (!cur().is_punct("?")) return c;
        nesting_guard g(p_.expr_depth, p_, k_expr_too_deep);
        g.enter(cur());
        lumk_expr_ptr node = new_expr(lumk_expr_kind::cond);
        node->children.reserve(3);
        node->children.push_back(std::move(c));
        node->children.push_back(expr());
        skip_after_expr(":");
        node->children.push_back(conditional());
        return node;
    }

    // Left-associative binary operators by precedence climbing; every operator
    // of a chain adds one level, like the tree it builds.
    lumk_expr_ptr binary(int min_prec) {
        nesting_guard g(p_.expr_depth, p_, k_expr_too_deep);
        lumk_expr_ptr left = unary();
        for (;;) {
            int prec = binary_precedence(cur());
            if (prec == 0 || prec < min_prec) break;
            g.enter(cur());
            lumk_expr_ptr node = new_op_expr(lumk_expr_kind::binary);
            node->children.reserve(2);
            node->children.push_back(std::move(left));
            node->children.push_back(binary(prec + 1));
            left = std::move(node);
        }
        return left;
    }

    lumk_expr_ptr unary() {
        const lumk_token& t = cur();
        if (is_unary_op(t)) {
            nesting_guard g(p_.expr_depth, p_, k_expr_too_deep);
            g.enter(t);
            lumk_expr_ptr node = new_op_expr(lumk_expr_kind::unary);
            node->children.push_back(unary());
            return node;
        }
        if (t.is_punct("++") || t.is_punct("--")) incdec_in_expression(t);
        return postfix();
    }

    // postfix = primary { "[" expr "]" | "." NAME | "->" NAME }
    lumk_expr_ptr postfix() {
        nesting_guard g(p_.expr_depth, p_, k_expr_too_deep);
        lumk_expr_ptr e = primary();
        for (;;) {
            const lumk_token& t = cur();
            if (t.is_punct("[")) {
                g.enter(t);
                lumk_expr_ptr node = new_expr(lumk_expr_kind::index);
                node->children.reserve(2);
                node->children.push_back(std::move(e));
                node->children.push_back(expr());
                skip_after_expr("]");
                e = std::move(node);
            } else if (t.is_punct(".") || t.is_punct("->")) {
                g.enter(t);
                e = member(std::move(e));
            } else if (t.is_punct("(")) {
                fail(t, "only named functions can be called");
            } else {
                return e;
            }
        }
    }

    // "." NAME or "->" NAME applied to e.
    LUMK_NOINLINE lumk_expr_ptr member(lumk_expr_ptr e) {
        lumk_expr_ptr node = new_expr(cur().is_punct(".") ? lumk_expr_kind::field : lumk_expr_kind::arrow);
        node->name = expect_name().text;
        node->children.push_back(std::move(e));
        return node;
    }

    lumk_expr_ptr primary() {
        const lumk_token& t = cur();
        switch (t.kind) {
        case lumk_token_kind::integer: return new_expr(lumk_expr_kind::int_lit);
        case lumk_token_kind::floating: return new_expr(lumk_expr_kind::float_lit);
        case lumk_token_kind::name: return name_primary();
        case lumk_token_kind::punct:
            if (t.is_punct("(")) {
                advance();
                lumk_expr_ptr e = expr();
                skip_after_expr(")");
                return e;
            }
            if (t.is_punct("{")) return brace_list();
            if (t.is_punct("++") || t.is_punct("--")) incdec_in_expression(t);
            break;
        case lumk_token_kind::end: break;
        }
        fail_got("expected an expression");
    }

    lumk_expr_ptr name_primary() {
        const lumk_token& t = cur();
        if (lumk_text_is(t.text, "true") || lumk_text_is(t.text, "false")) return new_named_expr(lumk_expr_kind::bool_lit);
        if (lumk_text_is(t.text, "sizeof")) return size_of();
        if (is_work_item_word(t.text)) return new_named_expr(lumk_expr_kind::name);
        if (lumk_is_reserved_word(t.text)) fail_got("expected an expression");
        if (!peek(1).is_punct("(")) return new_named_expr(lumk_expr_kind::name);
        lumk_expr_ptr node = new_named_expr(lumk_expr_kind::call);
        advance();  // "("
        if (!cur().is_punct(")")) {
            for (;;) {
                node->children.push_back(expr());
                if (!cur().is_punct(",")) break;
                advance();
            }
        }
        skip_after_expr(")");
        return node;
    }

    LUMK_NOINLINE lumk_expr_ptr size_of() {
        lumk_expr_ptr node = new_expr(lumk_expr_kind::size_of);
        skip("(");
        node->type = type();
        skip(")");
        return node;
    }

    // "{" [ expr { "," expr } [ "," ] ] "}"
    lumk_expr_ptr brace_list() {
        lumk_expr_ptr node = new_expr(lumk_expr_kind::brace);
        while (!cur().is_punct("}")) {
            node->children.push_back(expr());
            if (!cur().is_punct(",")) {
                skip_after_expr("}");
                return node;
            }
            advance();
        }
        advance();
        return node;
    }
};

}  // namespace

std::vector<lumk_decl> lumk_parse_unit(lumk_parser& parser) {
    parser.expr_depth = 0;
    parser.stmt_depth = 0;
    parser.arena = std::make_shared<lumk_node_arena>();
    return parser_run(parser).unit();
}
