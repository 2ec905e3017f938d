// The module functions, as rows for the registration list.
#pragma once

#include <atomic>
#include <span>

#include "call.hpp"

namespace tavik {

// A module function: its method definition, and the heap copy of it that
// every function object made from it refers to.  The copy is made on first
// use and kept for the process (a function object refers to its definition
// for its whole life, and it stays reachable when the functions go with a
// finalised interpreter); its cell is filled by compare-and-swap, so it is
// safe without the interpreter lock.
struct ModuleFunction {
    PyMethodDef definition;
    mutable std::atomic<PyMethodDef*> copy{nullptr};
};

// Every module function, in registration order.
std::span<const ModuleFunction> module_functions() noexcept;

}  // namespace tavik
