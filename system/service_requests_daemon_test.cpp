// The service requests through the real daemon and the command line, as a client sees them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/plist/property_list.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;
using testing::Contains;
using testing::ElementsAre;
using tests::daemon_session;
using tests::fake_tools;
using tests::write_file;

constexpr const char* k_launchctl = "/bin/launchctl";
constexpr const char* k_service = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
constexpr const char* k_agent = "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist";

std::string job(const char* label, bool disabled, bool run_at_load) {
    auto flag = [](bool value) { return value ? "<true/>" : "<false/>"; };
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<plist version=\"1.0\">\n<dict>\n\t<key>Disabled</key>\n\t") +
           flag(disabled) + "\n\t<key>Label</key>\n\t<string>" + label +
           "</string>\n\t<key>RunAtLoad</key>\n\t" + flag(run_at_load) + "\n</dict>\n</plist>\n";
}

std::optional<bool> flag_in(const std::string& path, const char* key) {
    auto root = read_property_list(path);
    if (!root) {
        return std::nullopt;
    }
    plist_t value = plist_dict_get_item(root->get(), key);
    if (value == nullptr || plist_get_node_type(value) != PLIST_BOOLEAN) {
        return std::nullopt;
    }
    uint8_t flag = 0;
    plist_get_bool_val(value, &flag);
    return flag != 0;
}

// launchctl runs of the requests, without the start-up's open-files run.
std::vector<tests::fake_tools::call> job_calls() {
    std::vector<tests::fake_tools::call> calls;
    for (auto& call : fake_tools::calls_of(k_launchctl)) {
        if (call.size() < 2 || call[1] != "limit") {
            calls.push_back(std::move(call));
        }
    }
    return calls;
}

class ServiceRequestsDaemon : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        fake_tools::reset();
        fs::remove(tests::k_daemon_trace);
        fs::remove_all("/Library/LaunchDaemons");
        fs::remove_all("/Library/LaunchAgents");
        // After the clean-up: the daemon keeps its trace file open from the start.
        daemon_.emplace();
    }

    std::string ask(const std::vector<std::string>& args) {
        auto result = daemon_->helperctl(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.out;
    }

    std::optional<daemon_session> daemon_;
};

TEST_F(ServiceRequestsDaemon, QueriesStartAutostartAndQuit) {
    write_file(k_service, job("com.quillmark.corvana.service", true, false));
    write_file(k_agent, job("com.quillmark.corvana.Frontend", false, true));

    EXPECT_EQ(ask({"is-installed", "corvana"}), "true\n");
    EXPECT_EQ(ask({"is-disabled", "corvana"}), "true\n");
    EXPECT_EQ(ask({"is-run-at-load", "corvana"}), "false\n");
    EXPECT_EQ(ask({"is-autostart", "corvana"}), "true\n");
    EXPECT_EQ(ask({"is-installed", "other"}), "false\n");

    EXPECT_EQ(ask({"start-service", "corvana"}), "true\n");
    EXPECT_EQ(flag_in(k_service, "Disabled"), false);
    EXPECT_EQ(ask({"is-disabled", "corvana"}), "false\n");

    EXPECT_EQ(ask({"set-autostart", "off", "corvana"}), "true\n");
    EXPECT_EQ(flag_in(k_agent, "RunAtLoad"), false);
    EXPECT_EQ(flag_in(k_service, "RunAtLoad"), false);
    EXPECT_EQ(ask({"is-autostart", "corvana"}), "false\n");
    EXPECT_EQ(ask({"set-autostart", "on", "corvana"}), "true\n");
    EXPECT_EQ(ask({"is-run-at-load", "corvana"}), "true\n");

    fake_tools::set_status("launchctl", 5);
    EXPECT_EQ(ask({"quit-service", "corvana"}), "true\n");
    EXPECT_EQ(ask({"start-service", "corvana"}), "false\n");

    EXPECT_THAT(job_calls(),
                ElementsAre(ElementsAre(k_launchctl, "load", k_service),
                            ElementsAre(k_launchctl, "start", "com.quillmark.corvana.service"),
                            ElementsAre(k_launchctl, "stop", "com.quillmark.corvana.service"),
                            ElementsAre(k_launchctl, "load", k_service)));
    EXPECT_THAT(tests::trace_messages(tests::k_daemon_trace, "info"),
                Contains("Trying to launch: com.quillmark.corvana.service (" +
                         std::string(k_service) + ")."));
    EXPECT_THAT(tests::trace_messages(tests::k_daemon_trace, "warning"),
                Contains(std::string(k_service) + " is disabled."));
}

TEST_F(ServiceRequestsDaemon, HostileNamespaces) {
    write_file("/Library/LaunchDaemons/com.quillmark.a/b.service.plist", job("x", false, true));

    // Queries take the namespace as it is; the requests that act refuse it.
    EXPECT_EQ(ask({"is-installed", "a/b"}), "true\n");
    EXPECT_EQ(ask({"is-run-at-load", "a/b"}), "true\n");
    EXPECT_EQ(ask({"is-disabled", "../../../etc/passwd"}), "false\n");
    for (const char* ns : {"a/b", "../x", "a b", "a-b", "a\xc3\xa9"}) {
        EXPECT_EQ(ask({"start-service", ns}), "false\n") << ns;
        EXPECT_EQ(ask({"quit-service", ns}), "false\n") << ns;
        EXPECT_EQ(ask({"set-autostart", "off", ns}), "false\n") << ns;
    }
    EXPECT_TRUE(job_calls().empty());
    EXPECT_EQ(flag_in("/Library/LaunchDaemons/com.quillmark.a/b.service.plist", "RunAtLoad"), true);
}

}  // namespace
