#include "platform/codesign/code_requirement.h"

#include <gtest/gtest.h>

#include "platform/codesign/code_requirement_match.h"
#include "platform/plist/property_list.h"
#include "tests/support/helper_requirement.h"
#include "tests/support/signing.h"

namespace {

using code_requirement::compare_numerically;
using tests::chain_options;
using tests::helper_requirement_text;

// The facts of a validly signed bundle, without any bundle: a chain, an identifier, an Info.plist.
class facts {
  public:
    explicit facts(const chain_options& options = {}) {
        const tests::test_chain& chain = tests::signing_chain(options);
        chain_.push_back(certificates::share(chain.leaf.get()));
        chain_.push_back(certificates::share(chain.intermediate.get()));
        chain_.push_back(certificates::share(chain.root.get()));
        info_.reset(plist_new_dict());
        set_info("CFBundleShortVersionString", "6.0.0");
        set_info("CFBundleIdentifier", tests::k_client_identifier);
        context_.identifier = tests::k_client_identifier;
        context_.chain = chain_;
        context_.anchored = true;
        context_.info = info_.get();
    }

    facts& set_info(const char* key, const char* value) {
        plist_dict_set_item(info_.get(), key, plist_new_string(value));
        return *this;
    }
    facts& remove_info(const char* key) {
        plist_dict_remove_item(info_.get(), key);
        return *this;
    }
    requirement_context_t& context() { return context_; }
    X509* certificate(std::size_t index) const { return chain_[index].get(); }

  private:
    certificate_chain_t chain_;
    plist_node_t info_;
    requirement_context_t context_;
};

// Compiles and evaluates; a text that does not compile fails the test.
bool holds(const std::string& text, facts& code) {
    auto requirement = SecRequirementCreateWithString(text);
    EXPECT_TRUE(requirement) << "does not compile: " << text;
    return requirement && requirement->is_satisfied_by(code.context());
}

bool holds(const std::string& text) {
    facts code;
    return holds(text, code);
}

std::string hex_sha1(X509* certificate) {
    std::string text;
    char digits[3];
    for (auto byte : certificates::sha1_fingerprint(certificate)) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

TEST(CodeRequirement, HelperRequirementJudgesEveryClause) {
    facts good;
    EXPECT_TRUE(holds(helper_requirement_text(), good));

    facts wrong_team({.team = "AAAAAAAAAA"});
    EXPECT_FALSE(holds(helper_requirement_text(), wrong_team));
    facts no_intermediate_marker({.intermediate_marker = false});
    EXPECT_FALSE(holds(helper_requirement_text(), no_intermediate_marker));
    facts no_leaf_marker({.leaf_marker = false});
    EXPECT_FALSE(holds(helper_requirement_text(), no_leaf_marker));

    facts old_version;
    old_version.set_info("CFBundleShortVersionString", "5.9.9");
    EXPECT_FALSE(holds(helper_requirement_text(), old_version));
    facts newer_version;
    newer_version.set_info("CFBundleShortVersionString", "6.10.0");
    EXPECT_TRUE(holds(helper_requirement_text(), newer_version));
    facts no_version;
    no_version.remove_info("CFBundleShortVersionString");
    EXPECT_FALSE(holds(helper_requirement_text(), no_version));

    facts other_identifier;
    other_identifier.context().identifier = "com.quillmark.corvana";
    EXPECT_FALSE(holds(helper_requirement_text(), other_identifier));
    facts unanchored;
    unanchored.context().anchored = false;
    EXPECT_FALSE(holds(helper_requirement_text(), unanchored));
    facts outside_bundle;
    outside_bundle.context().info = nullptr;
    EXPECT_FALSE(holds(helper_requirement_text(), outside_bundle));
}

TEST(CodeRequirement, AndBindsTighterThanOr) {
    EXPECT_TRUE(holds("always or never and never"));
    EXPECT_TRUE(holds("never and never or always"));
    EXPECT_FALSE(holds("(always or never) and never"));
    EXPECT_FALSE(holds("never and (never or always)"));
    EXPECT_TRUE(holds("never or never or never or always"));
    EXPECT_FALSE(holds("always and always and always and never"));
}

TEST(CodeRequirement, NegationAndParentheses) {
    EXPECT_TRUE(holds("!never"));
    EXPECT_FALSE(holds("! always"));
    EXPECT_TRUE(holds("!!always"));
    // "!" takes the clause next to it, not the rest of the expression.
    EXPECT_TRUE(holds("!never and always"));
    EXPECT_FALSE(holds("!(never or always)"));
    EXPECT_TRUE(holds("!never or never"));
    EXPECT_TRUE(holds("((((always))))"));
    EXPECT_TRUE(holds("! info[NoSuchKey] exists"));
}

TEST(CodeRequirement, CommentsAndBlanksAreWhitespace) {
    EXPECT_TRUE(holds("/* leading */ always /* trailing */"));
    EXPECT_TRUE(holds("always /* never or */ and /**/ always"));
    EXPECT_TRUE(holds("// a line of its own\nalways"));
    EXPECT_TRUE(holds("\talways\n\n  and\r\n always  "));
    EXPECT_TRUE(holds("certificate leaf[field.1.2.840.113635.100.6.1.13]/*exists*/and always"));
    EXPECT_TRUE(holds("info[CFBundleShortVersionString]=6.0.0/* bare word ends here */"));
}

TEST(CodeRequirement, NumericAwareOrdering) {
    EXPECT_GT(compare_numerically("6.10.0", "6.9.0"), 0);
    EXPECT_LT(compare_numerically("6.9.9", "6.10"), 0);
    EXPECT_EQ(compare_numerically("6.0.0", "6.0.0"), 0);
    EXPECT_EQ(compare_numerically("06.0", "6.0"), 0);
    EXPECT_LT(compare_numerically("6.0", "6.0.0"), 0);
    EXPECT_GT(compare_numerically("6.0.0b2", "6.0.0b1"), 0);
    EXPECT_GT(compare_numerically("6.0.0b10", "6.0.0b9"), 0);
    EXPECT_LT(compare_numerically("", "0"), 0);
    EXPECT_LT(compare_numerically("A", "a"), 0);
    // Digit runs longer than any integer still order by value.
    EXPECT_GT(compare_numerically("1.100000000000000000000001", "1.99999999999999999999999"), 0);

    facts code;
    code.set_info("Version", "6.10.0");
    EXPECT_TRUE(holds("info[Version] > \"6.9.0\"", code));
    EXPECT_TRUE(holds("info[Version] >= 6.10.0", code));
    EXPECT_TRUE(holds("info[Version] <= 6.10.0", code));
    EXPECT_FALSE(holds("info[Version] < 6.10.0", code));
    EXPECT_TRUE(holds("info[Version] < 6.10.1", code));
    EXPECT_FALSE(holds("info[Version] > 7", code));
}

TEST(CodeRequirement, MissingKeySatisfiesNoComparison) {
    for (const char* op : {"=", "<", "<=", ">", ">=", "exists"}) {
        std::string clause = std::string("info[Missing] ") + op + (op[0] == 'e' ? "" : " x");
        EXPECT_FALSE(holds(clause)) << clause;
        EXPECT_TRUE(holds("!" + clause)) << clause;
    }
    // A value that isn't text can exist, but compares to nothing.
    facts code;
    plist_dict_set_item(code.context().info, "Flag", plist_new_bool(1));
    EXPECT_TRUE(holds("info[Flag] exists", code));
    EXPECT_FALSE(holds("info[Flag] = true", code));
}

TEST(CodeRequirement, EqualityIsExactUnlessWildcarded) {
    facts code;
    code.set_info("Version", "6.0");
    code.set_info("Name", "Corvana Remote Desktop");
    EXPECT_FALSE(holds("info[Version] = 6.0.0", code));
    EXPECT_FALSE(holds("info[Version] = 06.0", code));
    EXPECT_TRUE(holds("info[Version] = \"6.0\"", code));
    EXPECT_TRUE(holds("info[Name] = \"Corvana Remote Desktop\"", code));
    EXPECT_FALSE(holds("info[Name] = \"corvana remote desktop\"", code));
    EXPECT_TRUE(holds("info[Name] = Corvana*", code));
    EXPECT_TRUE(holds("info[Name] = *Desktop", code));
    EXPECT_TRUE(holds("info[Name] = *Remote*", code));
    EXPECT_FALSE(holds("info[Name] = *Remote", code));
    EXPECT_TRUE(holds("info[\"Name\"] exists", code));
}

TEST(CodeRequirement, QuotedAndBareStrings) {
    facts code;
    code.context().identifier = "odd \"quoted\" id\\";
    EXPECT_TRUE(holds(R"(identifier "odd \"quoted\" id\\")", code));
    facts plain;
    EXPECT_TRUE(holds("identifier com.quillmark.corvana-cv-5e09b1d4", plain));
    EXPECT_TRUE(holds("identifier = \"com.quillmark.corvana-cv-5e09b1d4\"", plain));
    EXPECT_FALSE(holds("identifier com.quillmark.corvana", plain));
    // Reserved words are values only when quoted.
    EXPECT_FALSE(SecRequirementCreateWithString("info[K] = and"));
    EXPECT_TRUE(SecRequirementCreateWithString("info[K] = \"and\""));
}

TEST(CodeRequirement, CertificatePositions) {
    facts code;
    std::string leaf = hex_sha1(code.certificate(0));
    std::string intermediate = hex_sha1(code.certificate(1));
    std::string root = hex_sha1(code.certificate(2));
    EXPECT_TRUE(holds("certificate leaf = H\"" + leaf + "\"", code));
    EXPECT_TRUE(holds("certificate 0 H\"" + leaf + "\"", code));
    EXPECT_TRUE(holds("certificate 1 = H\"" + intermediate + "\"", code));
    EXPECT_TRUE(holds("certificate -2 = H\"" + intermediate + "\"", code));
    EXPECT_TRUE(holds("certificate root = H\"" + root + "\"", code));
    EXPECT_TRUE(holds("certificate -1 = H\"" + root + "\"", code));
    EXPECT_TRUE(holds("anchor = H\"" + root + "\"", code));
    EXPECT_FALSE(holds("anchor = H\"" + leaf + "\"", code));
    // Positions beyond the chain hold no certificate, and so nothing about one is true.
    EXPECT_FALSE(holds("certificate 3[subject.CN] exists", code));
    EXPECT_FALSE(holds("certificate -4[subject.CN] exists", code));
    EXPECT_TRUE(holds("!certificate 3[subject.CN] exists", code));
}

TEST(CodeRequirement, CertificateFields) {
    facts code;
    EXPECT_TRUE(holds("certificate leaf[subject.OU] = Q7XM2RT9PL", code));
    EXPECT_TRUE(holds("certificate leaf[subject.OU]", code));
    EXPECT_FALSE(holds("certificate 1[subject.OU] exists", code));
    EXPECT_TRUE(
        holds("certificate leaf[subject.CN] = \"Developer ID Application: Corvana Test\"", code));
    EXPECT_TRUE(holds("certificate leaf[subject.2.5.4.11] = Q7XM2RT9PL", code));
    EXPECT_TRUE(holds("certificate leaf[issuer.CN] = *Certification*", code));
    EXPECT_TRUE(holds("cert root[subject.CN] = \"Corvana Test Root CA\"", code));
    EXPECT_TRUE(holds("certificate 1[field.1.2.840.113635.100.6.2.6] exists", code));
    EXPECT_FALSE(holds("certificate leaf[field.1.2.840.113635.100.6.2.6] exists", code));
    // The markers hold no text, so no value equals them.
    EXPECT_FALSE(holds("certificate 1[field.1.2.840.113635.100.6.2.6] = x", code));
}

TEST(CodeRequirement, AnchorClauses) {
    facts code;
    EXPECT_TRUE(holds("anchor apple generic", code));
    EXPECT_FALSE(holds("anchor apple", code));
    code.context().anchored = false;
    EXPECT_FALSE(holds("anchor apple generic", code));
    facts unsigned_code;
    unsigned_code.context().chain = {};
    EXPECT_FALSE(holds("anchor apple generic", unsigned_code));
    EXPECT_FALSE(holds("certificate leaf[subject.OU] exists", unsigned_code));
}

TEST(CodeRequirement, BadSyntaxCompilesToNothing) {
    for (const char* text : {
             "",
             "   ",
             "/* only a comment */",
             "and",
             "always and",
             "always or or always",
             "always always",
             "identifier",
             "identifier and",
             "identifier \"unterminated",
             "(always",
             "always)",
             "!",
             "anchor",
             "anchor apple special",
             "anchor H\"1234\"",
             "anchor H\"zz00000000000000000000000000000000000000\"",
             "certificate",
             "certificate leaf",
             "certificate middle[subject.CN] exists",
             "certificate -0[subject.CN] exists",
             "certificate 1[field.abc] exists",
             "certificate 1[field.1] exists",
             "certificate leaf[subject.NOPE] = x",
             "certificate leaf[subject] = x",
             "certificate leaf[policy.1.2.3] exists",
             "certificate leaf[subject.OU = x",
             "info",
             "info[]",
             "info[Key",
             "info[Key] =",
             "info[Key] = *",
             "info[Key] < *x",
             "info[Key] ==x",
             "always /* never ends",
             "always; never",
             "entitlement[x] exists",
         }) {
        EXPECT_FALSE(SecRequirementCreateWithString(text)) << "compiled: " << text;
    }
}

TEST(CodeRequirement, NestingAndLengthAreBounded) {
    auto nested = [](int depth) {
        return std::string(static_cast<std::size_t>(depth), '(') + "always" +
               std::string(static_cast<std::size_t>(depth), ')');
    };
    EXPECT_TRUE(SecRequirementCreateWithString(nested(code_requirement::k_max_nesting)));
    EXPECT_FALSE(SecRequirementCreateWithString(nested(code_requirement::k_max_nesting + 1)));
    std::string negations(static_cast<std::size_t>(code_requirement::k_max_nesting), '!');
    EXPECT_TRUE(SecRequirementCreateWithString(negations + "always"));
    EXPECT_FALSE(SecRequirementCreateWithString(negations + "!always"));

    // Long flat chains are fine (they do not nest) until the text itself is too long.
    std::string chain = "always";
    while (chain.size() + 11 <= code_requirement::k_max_text_length) {
        chain += " and always";
    }
    EXPECT_TRUE(holds(chain));
    EXPECT_FALSE(SecRequirementCreateWithString(chain + std::string(11, ' ')));
}

}  // namespace
