#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The requirement language: its syntax tree and the parser that builds it.
//
//   requirement := or-expr
//   or-expr     := and-expr { "or" and-expr }          ("and" binds tighter than "or")
//   and-expr    := unary { "and" unary }
//   unary       := "!" unary | primary
//   primary     := "(" requirement ")" | "always" | "never"
//                | "identifier" ["="] string
//                | "anchor" "apple" ["generic"] | "anchor" ["="] hash
//                | ("certificate" | "cert") slot "[" field "]" [match]
//                | ("certificate" | "cert") slot ["="] hash
//                | "info" "[" key "]" [match]
//   slot        := "leaf" | "root" | N | -N       (0 is the leaf, -1 the anchor)
//   field       := "subject." NAME | "issuer." NAME | "field." OID
//   match       := "exists" | "=" ["*"] string ["*"] | ("<" | "<=" | ">" | ">=") string
//   string      := "quoted text" (backslash escapes the next character) | bare-word
//   hash        := H"40 hex digits" (SHA-1 of a certificate)
//
// A field or info clause with no match means "exists". Comments are /* ... */ and // to the end
// of the line. "and", "or" and "exists" are reserved and can only be values when quoted.
namespace code_requirement {

// What a client can make us parse is bounded: the text, and the nesting of parentheses and "!".
inline constexpr std::size_t k_max_text_length = 16 * 1024;
inline constexpr int k_max_nesting = 32;

enum class match_op { exists, equal, less, less_equal, greater, greater_equal };

struct match_t {
    match_op op = match_op::exists;
    std::string value;
    bool leading_wildcard = false;   // "= *text": ends with text
    bool trailing_wildcard = false;  // "= text*": begins with text

    bool operator==(const match_t&) const = default;
};

enum class node_kind {
    always,
    never,
    all_of,  // "and" of every child
    any_of,  // "or" of every child
    negation,
    identifier,
    anchor_apple,
    anchor_apple_generic,
    certificate_hash,
    certificate_subject,
    certificate_issuer,
    certificate_extension,
    info,
};

struct node_t {
    node_kind kind = node_kind::never;
    std::vector<node_t> children;  // all_of, any_of: two or more; negation: one
    std::string text;              // identifier value, info key, subject/issuer attribute, OID
    int slot = 0;                  // certificate position: >= 0 from the leaf, < 0 from the anchor
    match_t match;
    std::array<std::uint8_t, 20> hash{};
};

// The syntax tree of a requirement text; nothing when the text does not compile.
[[nodiscard]] std::optional<node_t> parse(std::string_view text);

}  // namespace code_requirement
