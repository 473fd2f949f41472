#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/malloced.h"
#include "helper/helper_tool.h"
#include "platform/plist/property_list.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/reply.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using tests::fake_tools;
using tests::read_file;
using tests::write_file;

constexpr const char* k_launchctl = "/bin/launchctl";
constexpr const char* k_saved_launchctl = "/var/tmp/launchctl-fake";
constexpr const char* k_trace = "/var/log/service_requests_test.trace";
constexpr const char* k_daemons = "/Library/LaunchDaemons";
constexpr const char* k_agents = "/Library/LaunchAgents";

std::string service_file(const std::string& ns) {
    return std::string(k_daemons) + "/com.quillmark." + ns + ".service.plist";
}
std::string agent_file(const std::string& ns) {
    return std::string(k_agents) + "/com.quillmark." + ns + ".Frontend.plist";
}

// Texts that libplist hands over.
using c_text = malloced_ptr<char>;

enum class format_t { xml, binary };

// A job file like the installs write, with the two switches this code reads.
void write_job(const std::string& path, std::optional<bool> disabled,
               std::optional<bool> run_at_load, format_t format = format_t::xml) {
    plist_node_t dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "Label", plist_new_string(fs::path(path).stem().c_str()));
    plist_dict_set_item(dict.get(), "KeepAlive", plist_new_bool(1));
    if (disabled) {
        plist_dict_set_item(dict.get(), "Disabled", plist_new_bool(*disabled ? 1 : 0));
    }
    if (run_at_load) {
        plist_dict_set_item(dict.get(), "RunAtLoad", plist_new_bool(*run_at_load ? 1 : 0));
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    if (format == format_t::xml) {
        plist_to_xml(dict.get(), &bytes, &length);
    } else {
        plist_to_bin(dict.get(), &bytes, &length);
    }
    const c_text owned(bytes);
    (void)write_file(path, std::string(owned.get(), length));
}

// The keys this code and the installs care about, as texts; absent keys are left out.
std::map<std::string, std::string> read_job(const std::string& path) {
    const std::string raw = read_file(path);
    plist_t root = nullptr;
    plist_from_memory(raw.data(), static_cast<uint32_t>(raw.size()), &root);
    plist_node_t node(root);
    std::map<std::string, std::string> keys;
    if (!node || plist_get_node_type(node.get()) != PLIST_DICT) {
        return keys;
    }
    for (const char* key : {"Label", "KeepAlive", "Disabled", "RunAtLoad"}) {
        plist_t value = plist_dict_get_item(node.get(), key);
        if (plist_get_node_type(value) == PLIST_BOOLEAN) {
            uint8_t flag = 0;
            plist_get_bool_val(value, &flag);
            keys[key] = flag ? "true" : "false";
        } else if (plist_get_node_type(value) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            keys[key] = c_text(text).get();
        }
    }
    return keys;
}

class ServiceRequests : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        fake_tools::reset();
        fs::remove_all(k_daemons);
        fs::remove_all(k_agents);
        fs::create_directories(k_daemons);
        fs::create_directories(k_agents);
        fs::remove(k_trace);
        tests::use_trace_file(k_trace);
        tool_ = helper_tool_t::init_without_listener();
        ASSERT_TRUE(tool_);
    }

    void TearDown() override {
        if (fs::exists(k_saved_launchctl)) {
            fs::copy_file(k_saved_launchctl, k_launchctl, fs::copy_options::overwrite_existing);
            fs::remove(k_saved_launchctl);
        }
    }

    bool start(const ns_string& ns) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->start_service_with_namespace(ns, reply); });
    }
    bool installed(const ns_string& ns) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->is_service_installed_with_namespace(ns, reply); });
    }
    bool disabled(const ns_string& ns) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->is_service_disabled_with_namespace(ns, reply); });
    }
    bool run_at_load(const ns_string& ns) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->is_service_run_at_load_with_namespace(ns, reply); });
    }
    bool autostart(const ns_string& ns) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->isAutostartEnabledForNamespace(ns, reply); });
    }
    bool set_autostart(bool enabled, const ns_string& ns) {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->setAutostartEnabled(enabled, ns, reply); });
    }
    bool quit(const ns_string& ns) {
        return tests::answer_of<bool>([&](auto reply) { tool_->quit_service(ns, reply); });
    }

    std::vector<std::string> messages(const std::string& level) {
        return tests::trace_messages(k_trace, level);
    }

    // launchd loads fine but refuses the explicit start, which the single scripted status of the
    // fake can't express: a wrapper around the fake decides the status by the subcommand.
    void make_launchctl_refuse_start() {
        fs::copy_file(k_launchctl, k_saved_launchctl, fs::copy_options::overwrite_existing);
        write_file(k_launchctl,
                   "#!/bin/bash\n"
                   "if [ \"$1\" = start ]; then s=1; else s=0; fi\n"
                   "echo $s > /var/tmp/fake-tools/launchctl.status\n"
                   ". /var/tmp/launchctl-fake \"$@\"\n",
                   fs::perms(0755));
    }

    std::unique_ptr<helper_tool_t> tool_;
};

TEST_F(ServiceRequests, StartOfADisabledRunAtLoadJobEnablesAndLoadsWithoutStarting) {
    const std::string path = service_file("corvana");
    write_job(path, true, true, format_t::binary);

    EXPECT_TRUE(start("corvana"));

    EXPECT_THAT(messages("info"),
                ElementsAre("Trying to launch: com.quillmark.corvana.service (" + path + ")."));
    EXPECT_THAT(messages("warning"), ElementsAre(path + " is disabled."));
    const auto job = read_job(path);
    EXPECT_EQ(job.at("Disabled"), "false");
    EXPECT_EQ(job.at("RunAtLoad"), "true");
    EXPECT_EQ(job.at("Label"), "com.quillmark.corvana.service");
    EXPECT_EQ(job.at("KeepAlive"), "true");
    // launchd starts a run-at-load job itself.
    EXPECT_THAT(fake_tools::calls_of(k_launchctl),
                ElementsAre(ElementsAre(k_launchctl, "load", path)));
}

TEST_F(ServiceRequests, StartAnswersWithTheLoadWhenTheLoadFails) {
    write_job(service_file("corvana"), false, false);
    fake_tools::set_status("launchctl", 1);

    EXPECT_FALSE(start("corvana"));
    EXPECT_THAT(fake_tools::calls_of(k_launchctl),
                ElementsAre(ElementsAre(k_launchctl, "load", service_file("corvana"))));
    EXPECT_TRUE(messages("warning").empty());
}

TEST_F(ServiceRequests, StartOfAJobWithoutRunAtLoadStartsItByLabel) {
    write_job(service_file("cv_2"), std::nullopt, false);

    EXPECT_TRUE(start("cv_2"));
    EXPECT_THAT(fake_tools::calls_of(k_launchctl),
                ElementsAre(ElementsAre(k_launchctl, "load", service_file("cv_2")),
                            ElementsAre(k_launchctl, "start", "com.quillmark.cv_2.service")));
    // Not disabled: no warning, and the file is left as it was.
    EXPECT_TRUE(messages("warning").empty());
    EXPECT_EQ(read_job(service_file("cv_2")).count("Disabled"), 0u);
}

TEST_F(ServiceRequests, StartAnswersWithTheExplicitStartsResult) {
    write_job(service_file("corvana"), false, false);
    make_launchctl_refuse_start();

    EXPECT_FALSE(start("corvana"));
    EXPECT_THAT(fake_tools::calls_of(k_launchctl),
                ElementsAre(ElementsAre(k_launchctl, "load", service_file("corvana")),
                            ElementsAre(k_launchctl, "start", "com.quillmark.corvana.service")));
}

TEST_F(ServiceRequests, StartOfAMissingJobFileTriesTheLoadAndStart) {
    // Neither disabled nor run at load when missing; launchctl decides.
    EXPECT_TRUE(start("corvana"));
    EXPECT_EQ(fake_tools::calls_of(k_launchctl).size(), 2u);
    EXPECT_TRUE(messages("warning").empty());
}

TEST_F(ServiceRequests, StartOfAnUnreadableJobFileTreatsItAsDisabled) {
    const std::string path = service_file("corvana");
    write_file(path, "not a property list");

    EXPECT_TRUE(start("corvana"));
    EXPECT_THAT(messages("warning"), ElementsAre(path + " is disabled."));
    // The enabling writer refuses it and says so; the file stays as it was.
    EXPECT_EQ(messages("error").size(), 1u);
    EXPECT_EQ(read_file(path), "not a property list");
    // Unreadable also means not run at load, so it is loaded and started.
    EXPECT_EQ(fake_tools::calls_of(k_launchctl).size(), 2u);
}

TEST_F(ServiceRequests, RejectedNamespacesChangeNothingAndLogNothing) {
    write_job(service_file("a"), true, false);
    write_job(agent_file("a"), true, true);
    const std::string service_before = read_file(service_file("a"));
    const std::string agent_before = read_file(agent_file("a"));

    for (const ns_string& ns : {ns_string("a/b"), ns_string("../a"), ns_string("a.b"),
                                ns_string("a b"), ns_string("a-b"), ns_string(std::nullopt)}) {
        EXPECT_FALSE(start(ns));
        EXPECT_FALSE(quit(ns));
        EXPECT_FALSE(set_autostart(false, ns));
    }
    EXPECT_TRUE(fake_tools::calls().empty());
    EXPECT_TRUE(tests::trace_lines(k_trace).empty());
    EXPECT_EQ(read_file(service_file("a")), service_before);
    EXPECT_EQ(read_file(agent_file("a")), agent_before);
}

TEST_F(ServiceRequests, QueriesOnAMissingJobFileAnswerNo) {
    EXPECT_FALSE(installed("corvana"));
    EXPECT_FALSE(disabled("corvana"));
    EXPECT_FALSE(run_at_load("corvana"));
    EXPECT_FALSE(autostart("corvana"));
    EXPECT_FALSE(installed(std::nullopt));
    EXPECT_FALSE(disabled(std::nullopt));
    EXPECT_FALSE(run_at_load(std::nullopt));
    EXPECT_FALSE(autostart(std::nullopt));
}

TEST_F(ServiceRequests, QueriesReadTheServiceJobFileInEitherFormat) {
    write_job(service_file("xml"), true, true, format_t::xml);
    write_job(service_file("bin"), true, true, format_t::binary);
    write_job(service_file("off"), false, false, format_t::binary);
    write_job(service_file("bare"), std::nullopt, std::nullopt);

    for (const char* ns : {"xml", "bin"}) {
        EXPECT_TRUE(installed(ns)) << ns;
        EXPECT_TRUE(disabled(ns)) << ns;
        EXPECT_TRUE(run_at_load(ns)) << ns;
    }
    for (const char* ns : {"off", "bare"}) {
        EXPECT_TRUE(installed(ns)) << ns;
        EXPECT_FALSE(disabled(ns)) << ns;
        EXPECT_FALSE(run_at_load(ns)) << ns;
    }
    // Autostart consults the agent, which none of these namespaces has.
    EXPECT_FALSE(autostart("xml"));
    EXPECT_TRUE(fake_tools::calls().empty());
    EXPECT_TRUE(tests::trace_lines(k_trace).empty());
}

TEST_F(ServiceRequests, UnparseableJobFilesReadAsDisabledAndNotRunAtLoad) {
    write_file(service_file("empty"), "");
    write_file(service_file("junk"), "<plist><dict><key>RunAtLoad</key><true/>");
    // Not a dictionary at the top.
    write_file(service_file("array"),
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
               "<true/></array></plist>\n");
    // Something no one can read as a file, even root.
    fs::create_directories(service_file("dir"));

    for (const char* ns : {"empty", "junk", "dir"}) {
        EXPECT_TRUE(installed(ns)) << ns;
        EXPECT_TRUE(disabled(ns)) << ns;
        EXPECT_FALSE(run_at_load(ns)) << ns;
    }
    EXPECT_TRUE(installed("array"));
    EXPECT_FALSE(run_at_load("array"));
}

TEST_F(ServiceRequests, QueriesTakeTheNamespaceUnchecked) {
    // A slash and a ".." land in the label and the paths as they are.
    write_job(std::string(k_daemons) + "/com.quillmark.a/b.service.plist", true, true);
    write_job(std::string(k_agents) + "/com.quillmark.a/b.Frontend.plist", false, true);
    write_job(std::string(k_daemons) + "/com.quillmark.../x.service.plist", false, true);

    EXPECT_TRUE(installed("a/b"));
    EXPECT_TRUE(disabled("a/b"));
    EXPECT_TRUE(run_at_load("a/b"));
    EXPECT_TRUE(autostart("a/b"));
    EXPECT_TRUE(installed("../x"));
    EXPECT_FALSE(disabled("../x"));
    EXPECT_TRUE(run_at_load("../x"));
    EXPECT_FALSE(installed("a-b.c"));
}

TEST_F(ServiceRequests, AutostartReadsOnlyTheAgentJobFile) {
    write_job(service_file("corvana"), false, true);
    write_job(agent_file("corvana"), false, false);
    EXPECT_FALSE(autostart("corvana"));

    write_job(service_file("corvana"), false, false);
    write_job(agent_file("corvana"), false, true);
    EXPECT_TRUE(autostart("corvana"));
}

TEST_F(ServiceRequests, SetAutostartWithOnlyTheAgentJobFile) {
    write_job(agent_file("corvana"), true, true, format_t::binary);

    EXPECT_TRUE(set_autostart(false, "corvana"));

    const auto agent = read_job(agent_file("corvana"));
    EXPECT_EQ(agent.at("RunAtLoad"), "false");
    EXPECT_EQ(agent.at("Disabled"), "true");
    EXPECT_EQ(agent.at("Label"), "com.quillmark.corvana.Frontend");
    EXPECT_FALSE(fs::exists(service_file("corvana")));
    EXPECT_FALSE(autostart("corvana"));
    // Only the files change: launchd is not touched.
    EXPECT_TRUE(fake_tools::calls().empty());
}

TEST_F(ServiceRequests, SetAutostartSwitchesBothJobFiles) {
    write_job(agent_file("corvana"), false, false);
    write_job(service_file("corvana"), false, std::nullopt);

    EXPECT_TRUE(set_autostart(true, "corvana"));
    EXPECT_EQ(read_job(agent_file("corvana")).at("RunAtLoad"), "true");
    EXPECT_EQ(read_job(service_file("corvana")).at("RunAtLoad"), "true");
    EXPECT_TRUE(autostart("corvana"));
    EXPECT_TRUE(run_at_load("corvana"));

    EXPECT_TRUE(set_autostart(false, "corvana"));
    EXPECT_EQ(read_job(agent_file("corvana")).at("RunAtLoad"), "false");
    EXPECT_EQ(read_job(service_file("corvana")).at("RunAtLoad"), "false");
    EXPECT_TRUE(fake_tools::calls().empty());
}

TEST_F(ServiceRequests, SetAutostartWithoutJobFilesCreatesNone) {
    EXPECT_TRUE(set_autostart(true, "corvana"));
    EXPECT_FALSE(fs::exists(agent_file("corvana")));
    EXPECT_FALSE(fs::exists(service_file("corvana")));
    EXPECT_TRUE(tests::trace_lines(k_trace).empty());
}

TEST_F(ServiceRequests, QuitStopsByLabelAndAnswersYesEvenWhenTheStopFails) {
    EXPECT_TRUE(quit("corvana"));
    fake_tools::set_status("launchctl", 3);
    EXPECT_TRUE(quit("Corvana_2"));
    // The empty namespace fails the namespace rule: nothing is stopped.
    EXPECT_FALSE(quit(""));
    EXPECT_THAT(fake_tools::calls_of(k_launchctl),
                ElementsAre(ElementsAre(k_launchctl, "stop", "com.quillmark.corvana.service"),
                            ElementsAre(k_launchctl, "stop", "com.quillmark.Corvana_2.service")));
    EXPECT_TRUE(tests::trace_lines(k_trace).empty());
}

}  // namespace
