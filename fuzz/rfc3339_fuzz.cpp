// libFuzzer target for the RFC 3339 parser and formatter: any input that
// breaks one of the invariants the core tests check on generated texts traps.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "invariants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bool took = false;
    if (const char* broken = tavik::testing::broken_invariant({reinterpret_cast<const char*>(data), size}, took)) {
        std::fprintf(stderr, "broken: %s\n", broken);
        __builtin_trap();
    }
    return 0;
}
