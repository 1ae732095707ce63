// Expressions: the tokens, the parser (one function per precedence level,
// building a tree), the compiler (the tree into op-codes over registers,
// temporaries reused as soon as they are read) and the machine that runs a
// program over a block of cells.
#include "expression.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "error.hpp"
#include "world.hpp"

namespace tessaly {

ExpressionError::ExpressionError(std::size_t line_no, std::size_t col, std::string w, const std::string& what)
    : std::runtime_error("line " + std::to_string(line_no) + ", column " + std::to_string(col) + ": " + what),
      line(line_no),
      column(col),
      word(std::move(w)) {}

std::size_t column_of(std::string_view line, std::size_t at) {
    std::size_t column = 1;
    for (std::size_t k = 0; k < at && k < line.size(); ++k)
        column += (static_cast<unsigned char>(line[k]) & 0xC0) != 0x80;  // continuation bytes add nothing
    return column;
}

namespace {

// ---- words of the language ----

struct Function {
    std::string_view name;
    Op op;
    unsigned arity;
};

constexpr Function functions[] = {
    {"exp", Op::exp, 1},  {"log", Op::log, 1},  {"sqrt", Op::sqrt, 1}, {"abs", Op::abs, 1},
    {"min", Op::min, 2},  {"max", Op::max, 2},  {"pow", Op::pow, 2},   {"hill", Op::hill, 3},
    {"if", Op::select, 3},
};

struct Builtin {
    std::string_view name;
    InputKind kind;
};

constexpr Builtin builtins[] = {
    {"volume", InputKind::volume},       {"surface", InputKind::surface}, {"target_volume", InputKind::target_volume},
    {"cell_type", InputKind::cell_type}, {"mcs", InputKind::mcs},
};

// Functions of a name rather than of values.
constexpr Builtin readers[] = {
    {"nbr_mean", InputKind::nbr_mean},
    {"nbr_sum", InputKind::nbr_sum},
    {"field", InputKind::field},
};

// Deeper nesting is refused before the parser's or the compiler's recursion
// could exhaust the stack.
constexpr unsigned max_nesting = 200;
constexpr unsigned max_depth = 1000;

// Constant integer exponents up to this size are powers by squaring.
constexpr double max_integer_exponent = 64.0;

// a ^ n by squaring, from the lowest bit of |n|.
inline double power_by_squaring(double a, int n) {
    unsigned m = static_cast<unsigned>(n < 0 ? -n : n);
    double r = 1.0, b = a;
    while (m != 0) {
        if (m & 1U) r = r * b;
        m >>= 1;
        if (m != 0) b = b * b;
    }
    return n < 0 ? 1.0 / r : r;
}

// ---- tokens ----

enum class Tok : std::uint8_t {
    number, name, open, close, comma, plus, minus, times, over, caret, lt, le, gt, ge, eq, ne, end, bad
};

struct Token {
    Tok kind;
    std::size_t at;   // first byte in the line
    std::size_t len;  // bytes
    double value;     // number
};

bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool digit(char c) { return c >= '0' && c <= '9'; }
bool name_char(char c) { return name_start(c) || digit(c); }

Token lex(std::string_view s, std::size_t pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r')) ++pos;
    if (pos >= s.size()) return {Tok::end, s.size(), 0, 0.0};
    const char c = s[pos];
    const char d = pos + 1 < s.size() ? s[pos + 1] : '\0';
    if (digit(c) || (c == '.' && digit(d))) {
        std::size_t e = pos;
        while (e < s.size() && digit(s[e])) ++e;
        if (e < s.size() && s[e] == '.') {
            ++e;
            while (e < s.size() && digit(s[e])) ++e;
        }
        if (e < s.size() && (s[e] == 'e' || s[e] == 'E')) {
            std::size_t f = e + 1;
            if (f < s.size() && (s[f] == '+' || s[f] == '-')) ++f;
            if (f < s.size() && digit(s[f])) {
                while (f < s.size() && digit(s[f])) ++f;
                e = f;
            }
        }
        return {Tok::number, pos, e - pos, 0.0};
    }
    if (name_start(c)) {
        std::size_t e = pos;
        while (e < s.size() && name_char(s[e])) ++e;
        return {Tok::name, pos, e - pos, 0.0};
    }
    switch (c) {
        case '(': return {Tok::open, pos, 1, 0.0};
        case ')': return {Tok::close, pos, 1, 0.0};
        case ',': return {Tok::comma, pos, 1, 0.0};
        case '+': return {Tok::plus, pos, 1, 0.0};
        case '-': return {Tok::minus, pos, 1, 0.0};
        case '*': return {Tok::times, pos, 1, 0.0};
        case '/': return {Tok::over, pos, 1, 0.0};
        case '^': return {Tok::caret, pos, 1, 0.0};
        case '<': return d == '=' ? Token{Tok::le, pos, 2, 0.0} : Token{Tok::lt, pos, 1, 0.0};
        case '>': return d == '=' ? Token{Tok::ge, pos, 2, 0.0} : Token{Tok::gt, pos, 1, 0.0};
        case '=':
            if (d == '=') return {Tok::eq, pos, 2, 0.0};
            break;
        case '!':
            if (d == '=') return {Tok::ne, pos, 2, 0.0};
            break;
        default: break;
    }
    // one character, whole: a UTF-8 lead byte and its continuation bytes
    std::size_t e = pos + 1;
    while (e < s.size() && (static_cast<unsigned char>(s[e]) & 0xC0) == 0x80) ++e;
    return {Tok::bad, pos, e - pos, 0.0};
}

// ---- parser ----

unsigned arity_of(Op o) {
    switch (o) {
        case Op::neg: case Op::exp: case Op::log: case Op::sqrt: case Op::abs: return 1;
        case Op::select: case Op::hill: return 3;
        default: return 2;
    }
}

struct Parser {
    Compiler& c;
    std::string_view line;
    std::size_t line_no;
    Token tok;
    unsigned nesting;
    std::vector<std::uint32_t>& depths;  // of every node, leaves 0

    std::string_view text(const Token& t) const { return line.substr(t.at, t.len); }
    void next() { tok = lex(line, tok.at + tok.len); }

    [[noreturn]] void error(const Token& t, const std::string& what) const {
        throw ExpressionError(line_no, column_of(line, t.at), std::string(text(t)), what);
    }
    [[noreturn]] void unexpected(const Token& t) const {
        if (t.kind == Tok::end) error(t, "unexpected end of line");
        error(t, cat({"unexpected '", text(t), "'"}));
    }
    void expect(Tok kind) {
        if (tok.kind != kind) unexpected(tok);
        next();
    }

    std::uint32_t node(Compiler::Node n, const Token& at) {
        n.leaf = false;
        std::uint32_t depth = 0;
        for (unsigned k = 0; k < arity_of(n.op); ++k) depth = std::max(depth, depths[n.child[k]]);
        if (depth + 1 > max_depth) error(at, cat({"expression nested too deeply at '", text(at), "'"}));
        c.nodes.push_back(n);
        depths.push_back(depth + 1);
        return static_cast<std::uint32_t>(c.nodes.size() - 1);
    }

    std::uint32_t op(Op o, std::uint32_t a, std::uint32_t b, const Token& at) {
        Compiler::Node n{};
        n.op = o;
        n.child[0] = a;
        n.child[1] = b;
        return node(n, at);
    }

    std::uint32_t leaf(bool constant, std::size_t index) {
        Compiler::Node n{};
        n.leaf = true;
        n.constant = constant;
        n.reg = static_cast<std::uint16_t>(index);
        c.nodes.push_back(n);
        depths.push_back(0);
        return static_cast<std::uint32_t>(c.nodes.size() - 1);
    }

    std::uint32_t constant(double v, const Token& at) {
        for (std::size_t k = 0; k < c.constants.size(); ++k)
            if (std::memcmp(&c.constants[k], &v, sizeof v) == 0) return leaf(true, k);
        if (c.inputs.size() + c.constants.size() >= 30000) error(at, "too many names and numbers");
        c.constants.push_back(v);
        return leaf(true, c.constants.size() - 1);
    }

    std::uint32_t input(Input in, const Token& at) {
        for (std::size_t k = 0; k < c.inputs.size(); ++k)
            if (c.inputs[k] == in) return leaf(false, k);
        if (c.inputs.size() + c.constants.size() >= 30000) error(at, "too many names and numbers");
        c.inputs.push_back(in);
        return leaf(false, c.inputs.size() - 1);
    }

    // comparison := sum (('<' | '<=' | '>' | '>=' | '==' | '!=') sum)*
    std::uint32_t comparison() {
        std::uint32_t left = sum();
        for (;;) {
            Op o;
            switch (tok.kind) {
                case Tok::lt: o = Op::lt; break;
                case Tok::le: o = Op::le; break;
                case Tok::gt: o = Op::gt; break;
                case Tok::ge: o = Op::ge; break;
                case Tok::eq: o = Op::eq; break;
                case Tok::ne: o = Op::ne; break;
                default: return left;
            }
            const Token at = tok;
            next();
            left = op(o, left, sum(), at);
        }
    }

    // sum := product (('+' | '-') product)*
    std::uint32_t sum() {
        std::uint32_t left = product();
        while (tok.kind == Tok::plus || tok.kind == Tok::minus) {
            const Token at = tok;
            next();
            left = op(at.kind == Tok::plus ? Op::add : Op::sub, left, product(), at);
        }
        return left;
    }

    // product := unary (('*' | '/') unary)*
    std::uint32_t product() {
        std::uint32_t left = unary();
        while (tok.kind == Tok::times || tok.kind == Tok::over) {
            const Token at = tok;
            next();
            left = op(at.kind == Tok::times ? Op::mul : Op::div, left, unary(), at);
        }
        return left;
    }

    // unary := '-' unary | power
    std::uint32_t unary() {
        if (++nesting > max_nesting) error(tok, cat({"expression nested too deeply at '", text(tok), "'"}));
        std::uint32_t result;
        if (tok.kind == Tok::minus) {
            const Token at = tok;
            next();
            result = op(Op::neg, unary(), 0, at);
        } else {
            result = power();
        }
        --nesting;
        return result;
    }

    // power := primary ('^' unary)?
    std::uint32_t power() {
        const std::uint32_t base = primary();
        if (tok.kind != Tok::caret) return base;
        const Token at = tok;
        next();
        return op(Op::pow, base, unary(), at);
    }

    // primary := number | name | name '(' arguments ')' | '(' comparison ')'
    std::uint32_t primary() {
        const Token at = tok;
        if (at.kind == Tok::number) {
            double v = 0.0;
            const char* first = line.data() + at.at;
            const auto [end, ec] = std::from_chars(first, first + at.len, v);
            if (ec != std::errc{} || end != first + at.len)
                error(at, cat({"number out of range '", text(at), "'"}));
            next();
            return constant(v, at);
        }
        if (at.kind == Tok::open) {
            next();
            const std::uint32_t inner = comparison();
            expect(Tok::close);
            return inner;
        }
        if (at.kind != Tok::name) unexpected(at);
        const std::string_view name = text(at);
        next();
        if (tok.kind == Tok::open) return call(at);
        for (const auto& [p, v] : c.params)
            if (p == name) return constant(v, at);
        for (const Builtin& b : builtins)
            if (b.name == name) return input({b.kind, 0}, at);
        const std::size_t a = find_attribute(c.world.state, name);
        if (a != NO_ATTRIBUTE) return input({InputKind::attribute, a}, at);
        for (const Function& f : functions)
            if (f.name == name) error(at, cat({"'", name, "' is a function: its arguments go in parentheses"}));
        error(at, cat({"unknown name '", name, "'"}));
    }

    // name '(' arguments ')', the current token being the parenthesis
    std::uint32_t call(const Token& at) {
        const std::string_view name = text(at);
        for (const Builtin& r : readers) {
            if (r.name != name) continue;
            next();
            const Token arg = tok;
            if (arg.kind != Tok::name) unexpected(arg);
            const std::string_view what = text(arg);
            std::size_t index = NO_ATTRIBUTE;
            if (r.kind == InputKind::field) {
                for (std::size_t f = 0; f < c.world.fields.size() && index == NO_ATTRIBUTE; ++f)
                    if (c.world.fields[f].name == what) index = f;
                if (index == NO_ATTRIBUTE) error(arg, cat({"unknown field '", what, "'"}));
            } else {
                index = find_attribute(c.world.state, what);
                if (index == NO_ATTRIBUTE) error(arg, cat({"unknown attribute '", what, "'"}));
            }
            next();
            expect(Tok::close);
            return input({r.kind, index}, arg);
        }
        const Function* f = nullptr;
        for (const Function& g : functions)
            if (g.name == name) f = &g;
        if (f == nullptr) error(at, cat({"unknown function '", name, "'"}));
        next();
        std::uint32_t args[3] = {0, 0, 0};
        unsigned n = 0;
        if (tok.kind != Tok::close) {
            for (;;) {
                const std::uint32_t a = comparison();
                if (n < 3) args[n] = a;
                ++n;
                if (tok.kind != Tok::comma) break;
                next();
            }
        }
        if (tok.kind != Tok::close) unexpected(tok);
        if (n != f->arity)
            error(at, cat({"'", name, "' takes ", std::to_string(f->arity),
                           f->arity == 1 ? " argument, got " : " arguments, got ", std::to_string(n)}));
        next();
        Compiler::Node node_of{};
        node_of.op = f->op;
        if (f->op == Op::select) {
            // select reads its condition from c
            node_of.child[0] = args[1];
            node_of.child[1] = args[2];
            node_of.child[2] = args[0];
        } else {
            for (unsigned k = 0; k < 3; ++k) node_of.child[k] = args[k];
        }
        return node(node_of, at);
    }
};

}  // namespace

bool reserved_name(std::string_view name) {
    for (const Function& f : functions)
        if (f.name == name) return true;
    for (const Builtin& b : builtins)
        if (b.name == name) return true;
    for (const Builtin& r : readers)
        if (r.name == name) return true;
    return false;
}

void Compiler::add(std::string_view line, std::size_t line_no, std::size_t start) {
    // the tree of a failed expression is dropped, and so are its new names
    const std::size_t n_nodes = nodes.size(), n_inputs = inputs.size(), n_constants = constants.size();
    std::vector<std::uint32_t> depths(nodes.size(), 0);
    try {
        Parser p{*this, line, line_no, lex(line, start), 0, depths};
        const std::uint32_t root = p.comparison();
        if (p.tok.kind != Tok::end) p.unexpected(p.tok);
        roots.push_back(root);
    } catch (...) {
        nodes.resize(n_nodes);
        inputs.resize(n_inputs);
        constants.resize(n_constants);
        throw;
    }
}

Program Compiler::compile() const {
    Program p;
    p.inputs = inputs;
    p.constants = constants;
    const std::size_t base = inputs.size() + constants.size();
    std::vector<std::uint16_t> free_list;
    std::size_t next = base;
    const auto small_integer = [&](std::uint32_t k) {
        const Node& n = nodes[k];
        if (!n.leaf || !n.constant) return false;
        const double v = constants[n.reg];
        return v == std::trunc(v) && std::fabs(v) <= max_integer_exponent;
    };
    const auto register_of = [&](const auto& self, std::uint32_t k) -> std::uint16_t {
        const Node& n = nodes[k];
        if (n.leaf) return static_cast<std::uint16_t>(n.constant ? inputs.size() + n.reg : n.reg);
        const unsigned arity = arity_of(n.op);
        std::uint16_t r[3] = {0, 0, 0};
        for (unsigned a = 0; a < arity; ++a) r[a] = self(self, n.child[a]);
        // a constant integer exponent: powers by squaring
        Op op = n.op;
        if (op == Op::pow && small_integer(n.child[1])) op = Op::powi;
        if (op == Op::hill && small_integer(n.child[2])) op = Op::hilli;
        // operands are read element by element before the result is written,
        // so the result may take an operand's register
        for (unsigned a = 0; a < arity; ++a)
            if (r[a] >= base) free_list.push_back(r[a]);
        std::uint16_t out;
        if (!free_list.empty()) {
            out = free_list.back();
            free_list.pop_back();
        } else {
            if (next >= 0xFFFF) fail("expression needs too many registers");
            out = static_cast<std::uint16_t>(next++);
        }
        p.code.push_back({op, out, r[0], r[1], r[2]});
        return out;
    };
    for (const std::uint32_t root : roots) p.results.push_back(register_of(register_of, root));
    p.n_registers = static_cast<std::uint16_t>(next);
    return p;
}

void load_constants(const Program& p, double* registers) {
    for (std::size_t k = 0; k < p.constants.size(); ++k) {
        double* row = registers + (p.inputs.size() + k) * block_size;
        for (std::size_t j = 0; j < block_size; ++j) row[j] = p.constants[k];
    }
}

void run(const Program& p, double* registers, std::size_t n) {
    for (const Instruction& in : p.code) {
        double* o = registers + in.out * block_size;
        const double* a = registers + in.a * block_size;
        const double* b = registers + in.b * block_size;
        const double* c = registers + in.c * block_size;
        switch (in.op) {
            case Op::add: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] + b[j]; break;
            case Op::sub: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] - b[j]; break;
            case Op::mul: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] * b[j]; break;
            case Op::div: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] / b[j]; break;
            case Op::pow: for (std::size_t j = 0; j < n; ++j) o[j] = std::pow(a[j], b[j]); break;
            case Op::neg: for (std::size_t j = 0; j < n; ++j) o[j] = -a[j]; break;
            case Op::lt: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] < b[j] ? 1.0 : 0.0; break;
            case Op::le: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] <= b[j] ? 1.0 : 0.0; break;
            case Op::gt: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] > b[j] ? 1.0 : 0.0; break;
            case Op::ge: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] >= b[j] ? 1.0 : 0.0; break;
            case Op::eq: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] == b[j] ? 1.0 : 0.0; break;
            case Op::ne: for (std::size_t j = 0; j < n; ++j) o[j] = a[j] != b[j] ? 1.0 : 0.0; break;
            case Op::select: for (std::size_t j = 0; j < n; ++j) o[j] = c[j] != 0.0 ? a[j] : b[j]; break;
            case Op::exp: for (std::size_t j = 0; j < n; ++j) o[j] = std::exp(a[j]); break;
            case Op::log: for (std::size_t j = 0; j < n; ++j) o[j] = std::log(a[j]); break;
            case Op::sqrt: for (std::size_t j = 0; j < n; ++j) o[j] = std::sqrt(a[j]); break;
            case Op::abs: for (std::size_t j = 0; j < n; ++j) o[j] = std::fabs(a[j]); break;
            case Op::min: for (std::size_t j = 0; j < n; ++j) o[j] = b[j] < a[j] ? b[j] : a[j]; break;
            case Op::max: for (std::size_t j = 0; j < n; ++j) o[j] = b[j] > a[j] ? b[j] : a[j]; break;
            case Op::hill:
                for (std::size_t j = 0; j < n; ++j) {
                    const double xn = std::pow(a[j], c[j]);
                    o[j] = xn / (std::pow(b[j], c[j]) + xn);
                }
                break;
            case Op::powi: {
                const int e = static_cast<int>(b[0]);
                if (e == 2) {
                    for (std::size_t j = 0; j < n; ++j) o[j] = a[j] * a[j];
                } else {
                    for (std::size_t j = 0; j < n; ++j) o[j] = power_by_squaring(a[j], e);
                }
                break;
            }
            case Op::hilli: {
                const int e = static_cast<int>(c[0]);
                for (std::size_t j = 0; j < n; ++j) {
                    const double xn = power_by_squaring(a[j], e);
                    o[j] = xn / (power_by_squaring(b[j], e) + xn);
                }
                break;
            }
        }
    }
}

}  // namespace tessaly
