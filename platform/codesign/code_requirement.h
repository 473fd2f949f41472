#pragma once

#include <plist/plist.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/codesign/certificates.h"
#include "platform/codesign/code_requirement_syntax.h"

// What a requirement is judged against: the facts that a validated signature establishes.
struct requirement_context_t {
    std::string identifier;           // the signed identifier; empty when there is none
    std::span<const x509_ptr> chain;  // leaf first; empty without a valid signature
    bool anchored = false;            // the chain ends in one of the trust anchors
    plist_t info = nullptr;           // the bundle's information dictionary; null outside a bundle
};

// A compiled code requirement (the platform's SecRequirementRef).
class sec_requirement_t {
  public:
    // Whether code with these facts satisfies the requirement.
    [[nodiscard]] bool is_satisfied_by(const requirement_context_t& context) const;

  private:
    explicit sec_requirement_t(code_requirement::node_t root) : root_(std::move(root)) {}
    friend std::optional<sec_requirement_t> SecRequirementCreateWithString(std::string_view text);

    code_requirement::node_t root_;
};

// Compiles a requirement text (default flags). Nothing when the text does not compile, is longer
// than code_requirement::k_max_text_length or nests deeper than code_requirement::k_max_nesting.
[[nodiscard]] std::optional<sec_requirement_t> SecRequirementCreateWithString(
    std::string_view text);
