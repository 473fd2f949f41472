#pragma once

#include <array>
#include <cstdint>
#include <optional>

// The external form of an authorization a client makes in its own process, as the platform lets
// any process make an authorization: 32 bytes that hold no right until the system grants one to
// the process that presents them. The helper records such a form on first presentation, bound to
// the presenting user; it never takes bytes without the marker for one, so an unknown or altered
// token issued by root can't pass for a fresh client-made authorization.
//
// Layout: the 8-byte marker, the making time (seconds since the epoch, 8 bytes big-endian), 16
// random bytes. The time lets the helper refuse an old form even after its record was purged.

inline constexpr std::size_t k_client_form_length = 32;
inline constexpr std::array<std::uint8_t, 8> k_client_form_marker = {'c', 'v', 'a',  'u',
                                                                     't', 'h', 0x01, 0x00};

using client_form_bytes_t = std::array<std::uint8_t, k_client_form_length>;

// A fresh form; false when the kernel gave no random bytes.
[[nodiscard]] bool make_client_form(client_form_bytes_t& form);

// Whether the bytes carry the marker.
bool is_client_form(const client_form_bytes_t& form);

// The making time the form records; nothing without the marker.
std::optional<std::int64_t> client_form_made_at(const client_form_bytes_t& form);
