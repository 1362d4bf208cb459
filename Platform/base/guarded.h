// The platform's services keep exceptions inside: an operation's body runs guarded, and what
// it throws becomes the service's own result code.
#pragma once

#include <new>

namespace platform {

// Runs `body` so that no exception leaves it: an allocation failure gives `outOfMemory`, any
// other exception `unexpected`.
template <class Result, class Body>
Result RunGuarded(Result outOfMemory, Result unexpected, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return outOfMemory;
    } catch (...) {
        return unexpected;
    }
}

}  // namespace platform
