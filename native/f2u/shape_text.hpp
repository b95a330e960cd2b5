// Array shapes as text for error messages: "(2, 3)" as Python prints a shape
// tuple, or with sep "," as numpy prints shapes in its broadcasting errors.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace f2u {

inline std::string shape_text(const std::vector<size_t>& sh, const char* sep = ", ") {
    std::string t = "(";
    for (size_t i = 0; i < sh.size(); ++i) t += (i ? sep : "") + std::to_string(sh[i]);
    return t + (sh.size() == 1 ? ",)" : ")");
}

}  // namespace f2u
