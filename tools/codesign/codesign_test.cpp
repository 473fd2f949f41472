#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/command.h"
#include "tests/support/helper_requirement.h"
#include "tests/support/signing.h"

namespace {

namespace fs = std::filesystem;
using tests::command_result;

const std::string k_requirement = tests::helper_requirement_text();

command_result codesign(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), CORVANA_CODESIGN_PATH);
    return tests::run_command(arguments);
}

// An unsigned bundle for the tool to sign.
std::string unsigned_bundle(const std::string& version = "6.0.0") {
    tests::bundle_options options;
    options.executable_source = "/bin/sh";
    options.sign = false;
    options.short_version = version;
    return tests::bundle_of_executable(tests::signed_client_bundle(options));
}

class CodesignTool : public testing::Test {
  protected:
    void SetUp() override {
        tests::install_test_anchor();
        files_ = tests::write_chain_files("/tmp/codesign-tool");
    }

    command_result sign(const std::string& bundle, const std::string& key) {
        return codesign({"sign", "--identifier", tests::k_client_identifier, "--cert",
                         files_.leaf_certificate, "--key", key, "--chain", files_.intermediate,
                         bundle});
    }
    command_result sign(const std::string& bundle) { return sign(bundle, files_.leaf_key); }

    tests::chain_files files_;
};

TEST_F(CodesignTool, SignsABundleThatThenVerifies) {
    std::string bundle = unsigned_bundle();
    command_result signing = sign(bundle);
    ASSERT_EQ(signing.exit_code, 0) << signing.err;
    EXPECT_EQ(signing.out,
              bundle + ": signed as com.quillmark.corvana-cv-5e09b1d4, team Q7XM2RT9PL\n");

    command_result plain = codesign({"verify", bundle});
    EXPECT_EQ(plain.exit_code, 0) << plain.err;
    EXPECT_EQ(plain.out, bundle + ": valid on disk\n");

    command_result required = codesign({"verify", "--requirement", k_requirement, bundle});
    EXPECT_EQ(required.exit_code, 0) << required.err;
    EXPECT_EQ(required.out,
              bundle + ": valid on disk\n" + bundle + ": satisfies its requirement\n");
}

TEST_F(CodesignTool, VerifyReportsWhyABundleFails) {
    std::string old = unsigned_bundle("5.9.9");
    ASSERT_EQ(sign(old).exit_code, 0);
    command_result unmet = codesign({"verify", "--requirement", k_requirement, old});
    EXPECT_EQ(unmet.exit_code, 1);
    EXPECT_NE(unmet.err.find("does not satisfy the requirement"), std::string::npos) << unmet.err;

    command_result not_signed = codesign({"verify", unsigned_bundle()});
    EXPECT_EQ(not_signed.exit_code, 1);
    EXPECT_NE(not_signed.err.find("not signed"), std::string::npos) << not_signed.err;

    std::string changed = unsigned_bundle();
    ASSERT_EQ(sign(changed).exit_code, 0);
    std::ofstream(changed + "/Contents/MacOS/" + tests::bundle_options().executable_name,
                  std::ios::app)
        << "#";
    command_result modified = codesign({"verify", changed});
    EXPECT_EQ(modified.exit_code, 1);
    EXPECT_NE(modified.err.find("modified"), std::string::npos) << modified.err;
    // Signing again seals the new content.
    ASSERT_EQ(sign(changed).exit_code, 0);
    EXPECT_EQ(codesign({"verify", changed}).exit_code, 0);

    EXPECT_EQ(codesign({"verify", "/tmp/no-such.app"}).exit_code, 1);
}

TEST_F(CodesignTool, ChainCanComeWithTheLeafOrSeparately) {
    // Without the intermediate the signature can't be traced to the anchor.
    std::string bare = unsigned_bundle();
    ASSERT_EQ(codesign({"sign", "--identifier", "x.y", "--cert", files_.leaf_certificate, "--key",
                        files_.leaf_key, bare})
                  .exit_code,
              0);
    command_result untrusted = codesign({"verify", bare});
    EXPECT_EQ(untrusted.exit_code, 1);
    EXPECT_NE(untrusted.err.find("not trusted"), std::string::npos) << untrusted.err;

    std::ifstream leaf(files_.leaf_certificate);
    std::ifstream intermediate(files_.intermediate);
    std::ofstream("/tmp/codesign-tool/full.pem") << leaf.rdbuf() << intermediate.rdbuf();
    std::string full = unsigned_bundle();
    ASSERT_EQ(codesign({"sign", "--identifier", "x.y", "--cert", "/tmp/codesign-tool/full.pem",
                        "--key", files_.leaf_key, full})
                  .exit_code,
              0);
    EXPECT_EQ(codesign({"verify", full}).exit_code, 0);
}

// The vendor marks its Developer ID markers critical; verify accepts exactly those, as admission
// does, and names any other critical extension it does not understand.
TEST_F(CodesignTool, CriticalMarkersVerifyAndOtherCriticalExtensionsAreNamed) {
    const auto signed_with = [&](const tests::chain_options& chain, const std::string& directory) {
        const tests::chain_files files = tests::write_chain_files(directory, chain);
        std::string bundle = unsigned_bundle();
        EXPECT_EQ(codesign({"sign", "--identifier", tests::k_client_identifier, "--cert",
                            files.leaf_certificate, "--key", files.leaf_key, "--chain",
                            files.intermediate, bundle})
                      .exit_code,
                  0);
        return bundle;
    };
    const std::string vendor = signed_with({.critical_markers = true}, "/tmp/codesign-vendor");
    command_result accepted = codesign({"verify", "--requirement", k_requirement, vendor});
    EXPECT_EQ(accepted.exit_code, 0) << accepted.err;

    const std::string unknown =
        signed_with({.critical_markers = true, .leaf_critical_extension = "1.3.6.1.4.1.99999.1"},
                    "/tmp/codesign-unknown");
    command_result refused = codesign({"verify", unknown});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find("critical extension"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find("trust anchor"), std::string::npos) << refused.err;
}

TEST_F(CodesignTool, SigningFailuresLeaveTheBundleUnsigned) {
    tests::chain_files other = tests::write_chain_files("/tmp/codesign-other", {.team = "OTHER"});
    std::string bundle = unsigned_bundle();
    command_result wrong_key = sign(bundle, other.leaf_key);
    EXPECT_EQ(wrong_key.exit_code, 1);
    EXPECT_NE(wrong_key.err.find("private key"), std::string::npos) << wrong_key.err;
    EXPECT_FALSE(fs::exists(bundle + "/Contents/_CodeSignature"));

    fs::remove(bundle + "/Contents/Info.plist");
    command_result no_info = sign(bundle);
    EXPECT_EQ(no_info.exit_code, 1);
    EXPECT_NE(no_info.err.find("Info.plist is missing"), std::string::npos) << no_info.err;

    command_result no_key = sign(unsigned_bundle(), "/tmp/codesign-tool/missing.key");
    EXPECT_EQ(no_key.exit_code, 1);
    EXPECT_NE(no_key.err.find("missing.key"), std::string::npos) << no_key.err;
}

TEST_F(CodesignTool, UsageErrorsExitWithTwo) {
    std::string bundle = unsigned_bundle();
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate", bundle},
             {"sign", bundle},
             {"sign", "--identifier", "x", "--cert", files_.leaf_certificate, bundle},
             {"verify"},
             {"verify", bundle, bundle},
             {"verify", "--chain", "x", bundle},
             {"verify", "--requirement"},
             {"verify", "--requirement", "always", "--requirement", "always", bundle},
             {"verify", "--requirement", "identifier", bundle},
         }) {
        command_result result = codesign(arguments);
        EXPECT_EQ(result.exit_code, 2) << testing::PrintToString(arguments);
        EXPECT_NE(result.err.find("usage: corvana-codesign"), std::string::npos)
            << testing::PrintToString(arguments) << result.err;
    }
    command_result help = codesign({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("usage: corvana-codesign"), std::string::npos);
}

TEST_F(CodesignTool, OptionsTakeTheirValueEitherWayAndEachCommandHasItsHelp) {
    std::string bundle = unsigned_bundle();
    command_result signing =
        codesign({"sign", "--identifier=" + std::string(tests::k_client_identifier),
                  "--cert=" + files_.leaf_certificate, "--key", files_.leaf_key,
                  "--chain=" + files_.intermediate, bundle});
    ASSERT_EQ(signing.exit_code, 0) << signing.err;
    command_result verified = codesign({"verify", bundle, "--requirement=" + k_requirement});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_EQ(codesign({"verify", "--requirement=", bundle}).exit_code, 2);

    command_result sign_help = codesign({"sign", "--help"});
    EXPECT_EQ(sign_help.exit_code, 0) << sign_help.err;
    EXPECT_TRUE(sign_help.out.starts_with("usage: corvana-codesign sign --identifier ID"))
        << sign_help.out;
    EXPECT_EQ(sign_help.out.find("verify"), std::string::npos) << sign_help.out;
    command_result verify_help = codesign({"verify", "-h"});
    EXPECT_EQ(verify_help.exit_code, 0);
    EXPECT_TRUE(verify_help.out.starts_with("usage: corvana-codesign verify")) << verify_help.out;

    command_result version = codesign({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "corvana-codesign 2.6\n");
}

}  // namespace
