#include "platform/journal/journal_limit.h"

#include <algorithm>

std::optional<std::uint64_t> journal_rate_limit_t::take(clock::time_point now) {
    if (last_ && now > *last_) {
        const double seconds = std::chrono::duration<double>(now - *last_).count();
        tokens_ = std::min(k_journal_limit_burst, tokens_ + seconds * k_journal_limit_per_second);
    }
    if (!last_ || now > *last_) {
        last_ = now;
    }
    if (tokens_ < 1.0) {
        ++held_back_;
        return std::nullopt;
    }
    tokens_ -= 1.0;
    const std::uint64_t held_back = held_back_;
    held_back_ = 0;
    return held_back;
}
