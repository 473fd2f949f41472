#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "helper/helper_tool.h"
#include "install/wildcard.h"

namespace fs = std::filesystem;

namespace {

class PathHelpersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        tool_ = helper_tool_t::init_without_listener();
        ASSERT_TRUE(tool_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void touch(const std::string& relative) {
        const fs::path path = fs::path(dir_) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path.string()) << "";
    }
    std::vector<std::string> resolve(const std::string& wildcard) {
        return tool_->resolveFilesInDirectory(dir_, wildcard);
    }
    std::string at(const std::string& relative) const { return dir_ + "/" + relative; }

    const std::string dir_ = "/tmp/path_helpers_test";
    std::unique_ptr<helper_tool_t> tool_;
};

TEST_F(PathHelpersTest, NamespaceRule) {
    for (const char* good : {"corvana", "Corvana_2", "___", "0123456789"}) {
        EXPECT_TRUE(tool_->_validateCVNamespace(std::string(good))) << good;
    }
    // The empty namespace too: its global configuration directory would be "/etc" itself.
    for (const char* bad : {"", "corvana-2", "corvana.beta", "a b", "../x", "a/b", "corv\u00e4na",
                            "abc\n", "\nabc", "x*"}) {
        EXPECT_FALSE(tool_->_validateCVNamespace(std::string(bad))) << bad;
    }
    EXPECT_FALSE(tool_->_validateCVNamespace(std::string("ab\0c", 4)));
    EXPECT_FALSE(tool_->_validateCVNamespace(std::string("\xff\xfe")));
    EXPECT_FALSE(tool_->_validateCVNamespace(std::nullopt));
}

TEST(WildcardTest, ConversionEscapesDotsBeforeAddingWildcards) {
    EXPECT_EQ(wildcard_to_regex("com.quillmark.corvana*.service.plist"),
              "^com\\.quillmark\\.corvana.*\\.service\\.plist$");
    EXPECT_EQ(wildcard_to_regex("a?c"), "^a.c$");
    EXPECT_EQ(wildcard_to_regex(""), "^$");
    // Other expression characters keep their meaning.
    EXPECT_EQ(wildcard_to_regex("[ab]+"), "^[ab]+$");
}

TEST(WildcardTest, MatchesWholePathIgnoringCase) {
    auto matcher = wildcard_matcher_t::compile("com.quillmark.corvana*.service.plist");
    ASSERT_TRUE(matcher);
    EXPECT_TRUE(matcher->matches("com.quillmark.corvana.service.plist"));
    EXPECT_TRUE(matcher->matches("com.quillmark.corvana_beta.service.plist"));
    EXPECT_TRUE(matcher->matches("COM.QUILLMARK.Corvana.Service.plist"));
    EXPECT_TRUE(matcher->matches("com.quillmark.corvana/sub/x.service.plist"));
    EXPECT_FALSE(matcher->matches("com.quillmark.other.service.plist"));
    EXPECT_FALSE(matcher->matches("xcom.quillmark.corvana.service.plist"));
    EXPECT_FALSE(matcher->matches("com.quillmark.corvana.service.plist.bak"));
    EXPECT_FALSE(matcher->matches("comXquillmark.corvana.service.plist"));

    EXPECT_FALSE(wildcard_matcher_t::compile("a(b"));
    EXPECT_FALSE(wildcard_matcher_t::compile("[z-a]"));
}

TEST(WildcardTest, RunawayExpressionCountsAsNoMatch) {
    auto matcher = wildcard_matcher_t::compile("(a|aa)(a|aa)(a|aa)(a|aa)(a|aa)(a|aa)+b");
    ASSERT_TRUE(matcher);
    EXPECT_FALSE(matcher->matches(std::string(4000, 'a')));
}

TEST_F(PathHelpersTest, ResolveWalksRecursivelyAndJoinsFullPaths) {
    touch("abc");
    touch("aXc");
    touch("ac");
    touch("xyplist");
    touch("x.plist");
    touch("sub/abc");
    EXPECT_EQ(resolve("a?c"), (std::vector<std::string>{at("aXc"), at("abc")}));
    EXPECT_EQ(resolve("x.plist"), (std::vector<std::string>{at("x.plist")}));
    EXPECT_EQ(resolve("*abc"), (std::vector<std::string>{at("abc"), at("sub/abc")}));
    EXPECT_TRUE(resolve("a(b").empty());
    EXPECT_TRUE(tool_->resolveFilesInDirectory("/tmp/no/such/dir", "*").empty());
    EXPECT_EQ(tool_->resolveFilesInDirectory(dir_ + "/", "ac"),
              (std::vector<std::string>{at("ac")}));
}

TEST_F(PathHelpersTest, ResolveUninstallPatternKeepsNamespacesApart) {
    touch("com.quillmark.corvana.service.plist");
    touch("com.quillmark.CORVANA.Frontend.plist");
    touch("com.quillmark.corvana_beta.service.plist");
    touch("com.quillmark.corvanax");
    EXPECT_EQ(resolve("com.quillmark.corvana.*"),
              (std::vector<std::string>{at("com.quillmark.CORVANA.Frontend.plist"),
                                        at("com.quillmark.corvana.service.plist")}));
}

TEST_F(PathHelpersTest, ResolveListsLinkedDirectoriesWithoutEnteringThem) {
    fs::create_directories("/tmp/path_helpers_elsewhere");
    std::ofstream("/tmp/path_helpers_elsewhere/target") << "";
    fs::create_symlink("/tmp/path_helpers_elsewhere", at("link"));
    EXPECT_EQ(resolve("link*"), (std::vector<std::string>{at("link")}));
    fs::remove_all("/tmp/path_helpers_elsewhere");
}

TEST_F(PathHelpersTest, VerifyDirNeedsEveryName) {
    touch("system.conf");
    touch("service.conf");
    EXPECT_TRUE(tool_->_verifyDir(dir_, {"system.conf", "service.conf"}));
    EXPECT_FALSE(tool_->_verifyDir(dir_, {"system.conf", "connection_trace.txt"}));
    EXPECT_TRUE(tool_->_verifyDir("/tmp/no/such/dir", {}));
}

}  // namespace
