#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/posix/result.h"

// The message format of the helper's socket, standing in for XPC's. Every message is a frame: a
// 4-byte big-endian length and that many bytes of a binary property list.
//
//   request: { "selector": string, "id": integer, "args": array }
//   reply:   { "id": integer, "value": value }
//
// A value is a property-list boolean (BOOL), integer (int), string (text) or data (bytes). A nil
// object argument is carried as an empty dictionary, the one container no argument uses.

constexpr std::size_t k_max_message_size = 64 * 1024;

// The daemon's first message on a connection it admits: a reply with this id (no call has it)
// and the value true. A client sends nothing before it: bytes that arrive earlier are refused.
constexpr std::uint64_t k_admission_reply_id = 0;

enum class wire_kind { data, text, boolean, integer };

struct wire_nil {
    bool operator==(const wire_nil&) const = default;
};
using wire_bytes = std::vector<std::uint8_t>;
using wire_value = std::variant<wire_nil, bool, std::int64_t, std::string, wire_bytes>;

struct wire_request {
    std::string selector;
    std::uint64_t id = 0;
    std::vector<wire_value> args;
};

struct wire_reply {
    std::uint64_t id = 0;
    wire_value value;
};

const char* wire_kind_name(wire_kind kind);
bool wire_value_has_kind(const wire_value& value, wire_kind kind);

// Encoding refuses what the peer could not decode (texts with NUL or invalid UTF-8 as
// is_valid_utf8 judges it, frames over the limit): it fails rather than send a bad message.
result<std::vector<std::uint8_t>> encode_request(const wire_request& request);
result<std::vector<std::uint8_t>> encode_reply(const wire_reply& reply);

// Decoding takes the payload of one frame (without the length prefix); a failure's description
// says what is wrong with the message.
result<wire_request> decode_request(std::span<const std::uint8_t> payload);
result<wire_reply> decode_reply(std::span<const std::uint8_t> payload);

// Where the service with this name listens: "/run/<name>.socket".
std::string service_socket_path(std::string_view service_name);
