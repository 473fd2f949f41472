#include "platform/codesign/code_requirement.h"

#include <algorithm>

#include "platform/codesign/code_requirement_match.h"

namespace {

using code_requirement::match_op;
using code_requirement::node_kind;
using code_requirement::node_t;

X509* certificate_at(const requirement_context_t& context, int slot) {
    auto size = static_cast<long>(context.chain.size());
    long index = slot >= 0 ? slot : size + slot;
    if (index < 0 || index >= size) {
        return nullptr;
    }
    return context.chain[static_cast<std::size_t>(index)].get();
}

// Texts and numbers of the information dictionary can be compared; other values only exist.
std::optional<std::string> info_text(plist_t value) {
    switch (plist_get_node_type(value)) {
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(value, &length);
            return text == nullptr ? std::nullopt : std::optional<std::string>({text, length});
        }
        case PLIST_UINT: {
            std::uint64_t number = 0;
            plist_get_uint_val(value, &number);
            return std::to_string(number);
        }
        default:
            return std::nullopt;
    }
}

bool info_matches(const requirement_context_t& context, const node_t& node) {
    if (context.info == nullptr || plist_get_node_type(context.info) != PLIST_DICT) {
        return false;
    }
    plist_t value = plist_dict_get_item(context.info, node.text.c_str());
    if (value == nullptr) {
        return false;
    }
    if (node.match.op == match_op::exists) {
        return true;
    }
    auto text = info_text(value);
    return text && code_requirement::matches(node.match, *text);
}

bool any_value_matches(const std::vector<std::string>& values, const code_requirement::match_t& m) {
    return std::any_of(values.begin(), values.end(), [&](const std::string& value) {
        return code_requirement::matches(m, value);
    });
}

bool evaluate(const node_t& node, const requirement_context_t& context) {
    switch (node.kind) {
        case node_kind::always:
            return true;
        case node_kind::never:
            return false;
        case node_kind::all_of:
            return std::all_of(node.children.begin(), node.children.end(),
                               [&](const node_t& child) { return evaluate(child, context); });
        case node_kind::any_of:
            return std::any_of(node.children.begin(), node.children.end(),
                               [&](const node_t& child) { return evaluate(child, context); });
        case node_kind::negation:
            return !evaluate(node.children.front(), context);
        case node_kind::identifier:
            return !context.identifier.empty() && context.identifier == node.text;
        case node_kind::anchor_apple:
            // Nothing here is signed by the platform vendor itself.
            return false;
        case node_kind::anchor_apple_generic:
            return context.anchored && !context.chain.empty();
        case node_kind::certificate_hash: {
            X509* certificate = certificate_at(context, node.slot);
            return certificate != nullptr &&
                   certificates::sha1_fingerprint(certificate) == node.hash;
        }
        case node_kind::certificate_subject:
        case node_kind::certificate_issuer: {
            X509* certificate = certificate_at(context, node.slot);
            if (certificate == nullptr) {
                return false;
            }
            auto values = node.kind == node_kind::certificate_subject
                              ? certificates::subject_values(certificate, node.text)
                              : certificates::issuer_values(certificate, node.text);
            return node.match.op == match_op::exists ? !values.empty()
                                                     : any_value_matches(values, node.match);
        }
        case node_kind::certificate_extension: {
            X509* certificate = certificate_at(context, node.slot);
            if (certificate == nullptr) {
                return false;
            }
            if (node.match.op == match_op::exists) {
                return certificates::has_extension(certificate, node.text);
            }
            auto text = certificates::extension_text(certificate, node.text);
            return text && code_requirement::matches(node.match, *text);
        }
        case node_kind::info:
            return info_matches(context, node);
    }
    return false;
}

}  // namespace

bool sec_requirement_t::is_satisfied_by(const requirement_context_t& context) const {
    return evaluate(root_, context);
}

std::optional<sec_requirement_t> SecRequirementCreateWithString(std::string_view text) {
    auto root = code_requirement::parse(text);
    if (!root) {
        return std::nullopt;
    }
    return sec_requirement_t(std::move(*root));
}
