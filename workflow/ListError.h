#pragma once
// The error of an index outside a list: "List index out of bounds (<index>)".
#include <stdexcept>
#include <string>

namespace kv::workflow {

class EListError : public std::out_of_range {
public:
    explicit EListError(int index)
        : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")") {}
};

}  // namespace kv::workflow
