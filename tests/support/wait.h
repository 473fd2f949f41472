#pragma once

#include <chrono>
#include <thread>

namespace tests {

// Polls done until it holds or limit has passed; answers whether it held. For what another
// process or thread brings about in its own time.
template <class Predicate>
bool wait_until(Predicate done, std::chrono::milliseconds limit,
                std::chrono::milliseconds poll = std::chrono::milliseconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

// wait_until with the few seconds that another process needs to start and write its report.
template <class Predicate>
bool eventually(Predicate done) {
    return wait_until(done, std::chrono::seconds(5), std::chrono::milliseconds(50));
}

}  // namespace tests
