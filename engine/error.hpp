// The engine's one internal error type and its one throw point.
//
// Every violated precondition inside the engine (a site index, cell id or
// field index out of range, a wrong-length label list, the refusals of the
// parallel sweep) aborts the current operation by throwing EngineError with
// its message. Nothing in the engine returns error codes; the Python binding
// turns the exception into the module's InternalError.
#pragma once

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessaly {

struct EngineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) { throw EngineError(message); }

// Joins the pieces of a message (appending, which some compilers' warnings
// prefer to operator+ on a temporary).
inline std::string cat(std::initializer_list<std::string_view> pieces) {
    std::string s;
    for (const std::string_view p : pieces) s.append(p);
    return s;
}

}  // namespace tessaly
