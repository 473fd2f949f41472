// The namespace rule, wildcard resolution and the directory check the installation shares.
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>

#include "core/helper_tool.h"
#include "install/paths.h"
#include "install/wildcard.h"
#include "platform/file_manager.h"

namespace {

// Compiled once: a pattern is immutable and may serve matchers on many threads at once.
const icu::RegexPattern* namespace_rule() {
    static const std::unique_ptr<icu::RegexPattern> pattern = [] {
        UErrorCode status = U_ZERO_ERROR;
        UParseError where{};
        std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8("^[a-zA-Z0-9_]*$"), 0, where, status));
        return U_SUCCESS(status) ? std::move(compiled) : nullptr;
    }();
    return pattern.get();
}

}  // namespace

bool helper_tool_t::_validateCVNamespace(const ns_string& cv_namespace) {
    const icu::RegexPattern* rule = namespace_rule();
    if (!cv_namespace || rule == nullptr) {
        return false;
    }
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(cv_namespace->data(), static_cast<int32_t>(cv_namespace->size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(rule->matcher(text, status));
    if (U_FAILURE(status) || !matcher) {
        return false;
    }
    // The whole text must match, as a "SELF MATCHES" predicate asks.
    const bool whole = matcher->matches(status);
    return U_SUCCESS(status) && whole;
}

std::vector<std::string> helper_tool_t::resolveFilesInDirectory(const std::string& directory,
                                                                const std::string& byWildcard) {
    std::vector<std::string> found;
    const auto matcher = wildcard_matcher_t::compile(byWildcard);
    if (!matcher) {
        return found;
    }
    for (const auto& relative : file_manager::subpaths(directory)) {
        if (matcher->matches(relative)) {
            found.push_back(install_paths::append_path_component(directory, relative));
        }
    }
    return found;
}

bool helper_tool_t::_verifyDir(const std::string& directory,
                               const std::vector<std::string>& forExisting) {
    for (const auto& name : forExisting) {
        if (!file_manager::exists(install_paths::append_path_component(directory, name))) {
            return false;
        }
    }
    return true;
}
