#pragma once

#include <optional>

namespace norvel::test {

// Runs `body` and returns what it threw when that is an E; absent when it returned normally.
// Any other exception passes through, so the test reports it.
template <typename E, typename Body>
std::optional<E> thrownAs(Body&& body) {
    try {
        body();
    } catch (const E& error) {
        return error;
    }
    return std::nullopt;
}

}  // namespace norvel::test
