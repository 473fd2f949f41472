#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// How many entries of one kind go to the journal: k_journal_limit_burst at once, then one a
// second (a token bucket). Any local user can make the helper refuse connections as fast as it
// can connect; one entry per refusal would let that user fill the journal, and push it past
// journald's own limit for the helper's unit (10,000 entries in 30 s by default), beyond which
// journald drops the unit's entries, the records of real operations among them.
inline constexpr double k_journal_limit_burst = 10.0;
inline constexpr double k_journal_limit_per_second = 1.0;

class journal_rate_limit_t {
  public:
    using clock = std::chrono::steady_clock;

    // Whether an entry may go at now; when it may, how many were held back since the last one that
    // went (nothing when it may not).
    [[nodiscard]] std::optional<std::uint64_t> take(clock::time_point now);

  private:
    double tokens_ = k_journal_limit_burst;
    std::optional<clock::time_point> last_;
    std::uint64_t held_back_ = 0;
};
