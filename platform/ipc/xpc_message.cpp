#include "platform/ipc/xpc_message.h"

#include <plist/plist.h>

#include <cstring>
#include <memory>

#include "platform/plist/property_list_parse.h"
#include "platform/plist/utf8.h"

namespace {

constexpr std::size_t k_max_arguments = 16;
constexpr std::size_t k_max_selector = 256;
constexpr std::string_view k_binary_magic = "bplist00";

struct plist_bin_deleter {
    void operator()(char* p) const { plist_to_bin_free(p); }
};

result<std::vector<std::uint8_t>> frame(const plist_node_t& root) {
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &raw, &length);
    std::unique_ptr<char, plist_bin_deleter> bytes(raw);
    if (bytes == nullptr || length == 0) {
        return result<>::failure("the message can't be encoded");
    }
    if (length > k_max_message_size) {
        return result<>::failure("message too large");
    }
    std::vector<std::uint8_t> out(4 + length);
    out[0] = static_cast<std::uint8_t>(length >> 24);
    out[1] = static_cast<std::uint8_t>(length >> 16);
    out[2] = static_cast<std::uint8_t>(length >> 8);
    out[3] = static_cast<std::uint8_t>(length);
    std::memcpy(out.data() + 4, bytes.get(), length);
    return out;
}

plist_t encode_value(const wire_value& value) {
    struct visitor {
        plist_t operator()(const wire_nil&) const { return plist_new_dict(); }
        plist_t operator()(bool b) const { return plist_new_bool(b ? 1 : 0); }
        plist_t operator()(std::int64_t i) const {
            return plist_new_uint(static_cast<std::uint64_t>(i));
        }
        plist_t operator()(const std::string& s) const {
            if (s.find('\0') != std::string::npos || !is_valid_utf8(s)) {
                return nullptr;
            }
            return plist_new_string(s.c_str());
        }
        plist_t operator()(const wire_bytes& d) const {
            return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
        }
    };
    return std::visit(visitor{}, value);
}

std::optional<wire_value> decode_value(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_DICT:
            if (plist_dict_get_size(node) != 0) {
                return std::nullopt;
            }
            return wire_value{wire_nil{}};
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return wire_value{b != 0};
        }
        case PLIST_UINT: {
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return wire_value{static_cast<std::int64_t>(u)};
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (text == nullptr) {
                return std::nullopt;
            }
            std::string s(text, length);
            if (s.find('\0') != std::string::npos || !is_valid_utf8(s)) {
                return std::nullopt;
            }
            return wire_value{std::move(s)};
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* data = plist_get_data_ptr(node, &length);
            const auto* begin = reinterpret_cast<const std::uint8_t*>(data);
            return wire_value{wire_bytes(begin, begin + (data == nullptr ? 0 : length))};
        }
        default:
            return std::nullopt;
    }
}

// Parses one payload into a dictionary, refusing anything but a binary property list.
result<plist_node_t> parse_payload(std::span<const std::uint8_t> payload) {
    if (payload.size() > k_max_message_size) {
        return result<>::failure("message too large");
    }
    if (payload.size() < k_binary_magic.size() ||
        std::memcmp(payload.data(), k_binary_magic.data(), k_binary_magic.size()) != 0) {
        return result<>::failure("not a binary property list");
    }
    // Through the screened reader: libplist alone hands back a string object with a NUL inside
    // as the text before the NUL, so "corvana\0..." would arrive as the namespace "corvana".
    auto parsed = parse_property_list(payload.data(), payload.size());
    if (!parsed) {
        return result<>::failure("malformed property list");
    }
    plist_node_t root = std::move(*parsed);
    if (plist_get_node_type(root.get()) != PLIST_DICT) {
        return result<>::failure("message is not a dictionary");
    }
    return root;
}

std::optional<std::uint64_t> read_id(plist_t dict) {
    plist_t id = plist_dict_get_item(dict, "id");
    if (id == nullptr || plist_get_node_type(id) != PLIST_UINT) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    plist_get_uint_val(id, &value);
    return value;
}

}  // namespace

const char* wire_kind_name(wire_kind kind) {
    switch (kind) {
        case wire_kind::data:
            return "data";
        case wire_kind::text:
            return "string";
        case wire_kind::boolean:
            return "BOOL";
        case wire_kind::integer:
            return "int";
    }
    return "?";
}

bool wire_value_has_kind(const wire_value& value, wire_kind kind) {
    switch (kind) {
        case wire_kind::data:
            return std::holds_alternative<wire_bytes>(value);
        case wire_kind::text:
            return std::holds_alternative<std::string>(value);
        case wire_kind::boolean:
            return std::holds_alternative<bool>(value);
        case wire_kind::integer:
            return std::holds_alternative<std::int64_t>(value);
    }
    return false;
}

result<std::vector<std::uint8_t>> encode_request(const wire_request& request) {
    if (request.selector.size() > k_max_selector || !is_valid_utf8(request.selector)) {
        return result<>::failure("bad selector");
    }
    if (request.args.size() > k_max_arguments) {
        return result<>::failure("too many arguments");
    }
    plist_node_t root(plist_new_dict());
    plist_dict_set_item(root.get(), "selector", plist_new_string(request.selector.c_str()));
    plist_dict_set_item(root.get(), "id", plist_new_uint(request.id));
    plist_node_t args(plist_new_array());
    for (const auto& arg : request.args) {
        plist_t node = encode_value(arg);
        if (node == nullptr) {
            return result<>::failure("a text with NUL or invalid UTF-8 can't be sent");
        }
        plist_array_append_item(args.get(), node);
    }
    plist_dict_set_item(root.get(), "args", args.release());
    return frame(root);
}

result<std::vector<std::uint8_t>> encode_reply(const wire_reply& reply) {
    plist_t value = encode_value(reply.value);
    if (value == nullptr) {
        return result<>::failure("a text with NUL or invalid UTF-8 can't be sent");
    }
    plist_node_t root(plist_new_dict());
    plist_dict_set_item(root.get(), "id", plist_new_uint(reply.id));
    plist_dict_set_item(root.get(), "value", value);
    return frame(root);
}

result<wire_request> decode_request(std::span<const std::uint8_t> payload) {
    auto parsed = parse_payload(payload);
    if (!parsed) {
        return std::move(parsed).as_failure();
    }
    plist_t root = parsed->get();
    wire_request request;

    plist_t selector = plist_dict_get_item(root, "selector");
    if (selector == nullptr || plist_get_node_type(selector) != PLIST_STRING) {
        return result<>::failure("no selector");
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(selector, &length);
    if (text == nullptr || length > k_max_selector) {
        return result<>::failure("bad selector");
    }
    request.selector.assign(text, length);
    if (!is_valid_utf8(request.selector)) {
        return result<>::failure("bad selector");
    }

    auto id = read_id(root);
    if (!id) {
        return result<>::failure("no call id");
    }
    request.id = *id;

    plist_t args = plist_dict_get_item(root, "args");
    if (args == nullptr || plist_get_node_type(args) != PLIST_ARRAY) {
        return result<>::failure("no argument list");
    }
    std::uint32_t count = plist_array_get_size(args);
    if (count > k_max_arguments) {
        return result<>::failure("too many arguments");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        auto value = decode_value(plist_array_get_item(args, i));
        if (!value) {
            return result<>::failure("argument " + std::to_string(i + 1) + " has no valid type");
        }
        request.args.push_back(std::move(*value));
    }
    return request;
}

result<wire_reply> decode_reply(std::span<const std::uint8_t> payload) {
    auto parsed = parse_payload(payload);
    if (!parsed) {
        return std::move(parsed).as_failure();
    }
    plist_t root = parsed->get();
    auto id = read_id(root);
    if (!id) {
        return result<>::failure("no call id");
    }
    plist_t value = plist_dict_get_item(root, "value");
    if (value == nullptr) {
        return result<>::failure("no value");
    }
    auto decoded = decode_value(value);
    if (!decoded) {
        return result<>::failure("value has no valid type");
    }
    return wire_reply{*id, std::move(*decoded)};
}

std::string service_socket_path(std::string_view service_name) {
    return "/run/" + std::string(service_name) + ".socket";
}
