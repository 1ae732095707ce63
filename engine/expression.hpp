// Expressions over cells: the one language of the cells' equations, rules
// and division conditions, parsed once into a small program of op-codes over
// registers that the engine runs over blocks of cells.
//
// grammar, one function per level, loosest first:
//   comparison := sum (('<' | '<=' | '>' | '>=' | '==' | '!=') sum)*      left to right
//   sum        := product (('+' | '-') product)*
//   product    := unary (('*' | '/') unary)*
//   unary      := '-' unary | power                                       so -x^2 = -(x^2)
//   power      := primary ('^' unary)?                                     right to left: 2^3^2 = 2^9
//   primary    := number | name | name '(' arguments ')' | '(' comparison ')'
//
// values are doubles throughout, IEEE-754 as the processor computes them:
//   a < b (and the other comparisons)  1 or 0; a NaN compares false (so != gives 1)
//   if(c, a, b)                         a where c != 0 (a NaN counts as true), else b
//   a ^ b, pow(a, b)                    std::pow(a, b); but for an exponent that is a constant (a
//                                       number or a parameter) and an integer n with |n| <= 64, by
//                                       squaring: r = 1, then for each bit of |n| from the lowest,
//                                       r = r·b where the bit is set and b = b·b before the next
//                                       (b starting at a); 1 / r for n < 0
//   exp log sqrt abs                    std::exp, std::log, std::sqrt, std::fabs
//   min(a, b), max(a, b)                b if b < a (b > a), else a
//   hill(x, k, n)                       xⁿ / (kⁿ + xⁿ), each power as ^ computes it, xⁿ computed once
// names (a parameter shadows the rest):
//   the parameters given with the text (folded in as constants)
//   volume, surface, target_volume, cell_type, mcs (the cell's, and the steps run)
//   the cell's attributes
//   nbr_mean(A)  Σ area·A / Σ area over the neighbouring cells (the medium excluded); 0 without any
//   nbr_sum(A)   Σ area·A over the same neighbours
//   field(NAME)  the mean concentration of the field called NAME over the cell's sites
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly {

struct World;

// A text that does not parse: where (line and column from 1, columns counted
// in characters) and the word found there (empty at the end of a line). The
// binding raises it as ValueError, prefixed with the argument's name.
struct ExpressionError : std::runtime_error {
    std::size_t line;
    std::size_t column;
    std::string word;
    ExpressionError(std::size_t line, std::size_t column, std::string word, const std::string& what);
};

// What an input register holds for each cell of a block.
enum class InputKind : std::uint8_t {
    attribute,      // the cell's value of attribute `index`
    volume,         // sites
    surface,        // unlike-neighbour pairs
    target_volume,  // V*
    cell_type,      // type, as a double
    mcs,            // Monte Carlo steps run, this one included (the same for every cell)
    nbr_mean,       // of attribute `index`
    nbr_sum,        // of attribute `index`
    field,          // mean concentration of field `index` over the cell's sites
};

struct Input {
    InputKind kind;
    std::size_t index = 0;  // attribute or field
    bool operator==(const Input&) const = default;
};

enum class Op : std::uint8_t {
    add, sub, mul, div, pow, neg,
    lt, le, gt, ge, eq, ne,
    select,  // out = c != 0 ? a : b, with c in `c`
    exp, log, sqrt, abs, min, max,
    hill,    // out = hill(a, b, c)
    powi,    // out = a ^ n by squaring, n the integer held by constant register b
    hilli,   // out = hill(a, b, n) by squaring, n the integer held by constant register c
};

struct Instruction {
    Op op;
    std::uint16_t out, a, b, c;  // registers
};

// Registers are rows of block_size doubles: the inputs first, then the
// constants, then temporaries.
inline constexpr std::size_t block_size = 64;

struct Program {
    std::vector<Input> inputs;           // registers [0, inputs.size())
    std::vector<double> constants;       // the next constants.size() registers
    std::vector<Instruction> code;       // in order
    std::vector<std::uint16_t> results;  // the register of each expression's value, in order of compilation
    std::uint16_t n_registers = 0;
};

// Names an expression may read besides the world's: the parameters given with it.
using Params = std::vector<std::pair<std::string, double>>;

// Parses expressions one at a time and compiles them together into one
// program; each expression is a stretch of one line of a text, so that
// errors name the text's line and column. Names are resolved against the
// world's attributes and fields as they stand at the call.
struct Compiler {
    const World& world;
    const Params& params;
    std::vector<Input> inputs;
    std::vector<double> constants;
    struct Node {
        Op op;
        bool leaf;                   // a register (input or constant), not an operation
        std::uint16_t reg;           // leaf: the input or constant's index, constants offset below
        bool constant;               // leaf: a constant
        std::uint32_t child[3];      // operation: its operands (as many as the op takes)
    };
    std::vector<Node> nodes;
    std::vector<std::uint32_t> roots;

    Compiler(const World& w, const Params& p) : world(w), params(p) {}

    // Parses `line` from byte `start` to its end (a comment already cut off)
    // as one expression; `line_no` counts from 1. Throws ExpressionError.
    void add(std::string_view line, std::size_t line_no, std::size_t start);

    // The program computing every expression added, in order.
    Program compile() const;
};

// The 1-based column of byte `at` of `line`, in characters (UTF-8).
std::size_t column_of(std::string_view line, std::size_t at);

// Whether `name` is a word of the language (a built-in name or a function).
bool reserved_name(std::string_view name);

// Fills the constants' rows of `registers` (n_registers × block_size doubles);
// they are never overwritten, so once per buffer is enough.
void load_constants(const Program& p, double* registers);

// Runs the program over the first n <= block_size entries of each row, the
// inputs' rows filled by the caller.
void run(const Program& p, double* registers, std::size_t n);

}  // namespace tessaly
