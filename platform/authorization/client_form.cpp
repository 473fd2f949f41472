#include "platform/authorization/client_form.h"

#include <errno.h>
#include <sys/random.h>

#include <algorithm>
#include <ctime>

namespace {

constexpr std::size_t k_time_offset = k_client_form_marker.size();
constexpr std::size_t k_random_offset = k_time_offset + 8;

}  // namespace

bool make_client_form(client_form_bytes_t& form) {
    std::copy(k_client_form_marker.begin(), k_client_form_marker.end(), form.begin());
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    for (std::size_t i = 0; i < 8; ++i) {
        form[k_time_offset + i] = static_cast<std::uint8_t>(now >> (8 * (7 - i)));
    }
    std::size_t filled = k_random_offset;
    while (filled < form.size()) {
        const ssize_t got = ::getrandom(form.data() + filled, form.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            form.fill(0);
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

bool is_client_form(const client_form_bytes_t& form) {
    return std::equal(k_client_form_marker.begin(), k_client_form_marker.end(), form.begin());
}

std::optional<std::int64_t> client_form_made_at(const client_form_bytes_t& form) {
    if (!is_client_form(form)) {
        return std::nullopt;
    }
    std::uint64_t made = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        made = (made << 8) | form[k_time_offset + i];
    }
    return static_cast<std::int64_t>(made);
}
