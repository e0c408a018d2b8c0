// The discovery tests' callback: keeps every linkSpec it is offered, accepts it, and asks
// the search to stop once it holds `stopAfter`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "discover.h"

namespace disctest {

struct Seen {
    std::vector<linkSpec> specs;
    size_t stopAfter = SIZE_MAX;
};

inline bool collect(const linkSpec* spec, bool* accepted, void* ref) {
    auto* seen = static_cast<Seen*>(ref);
    seen->specs.push_back(*spec);
    *accepted = true;
    return seen->specs.size() < seen->stopAfter;
}

} // namespace disctest
