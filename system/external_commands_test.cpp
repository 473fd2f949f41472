#include "system/external_commands.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <utility>

#include "platform/launch/app_launcher.h"
#include "platform/plist/property_list.h"
#include "system/process_runner.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using tests::fake_tools;
using call = fake_tools::call;
using tests::eventually;
using tests::read_file;
using tests::write_bundle;
using tests::write_file;

namespace {

const fs::path k_corpus = fs::path(CORVANA_SOURCE_DIR) / "tests/corpus/property_list";
const fs::path k_fake_tool = fs::path(CORVANA_SOURCE_DIR) / "tests/sandbox/fake-tool";

double seconds_since(std::chrono::steady_clock::time_point started) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

class ExternalCommandsTest : public testing::Test {
  protected:
    void SetUp() override { fake_tools::reset(); }
};

// The job file every job-file test starts from, stored in the binary form with "Disabled" true.
class JobFilesTest : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir_);
        tests::use_trace_file(trace_path_);
        const std::string xml = read_file(k_corpus / "agent_job_file.xml");
        auto job =
            parse_property_list(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
        ASSERT_TRUE(job);
        plist_dict_set_item(job->get(), "Disabled", plist_new_bool(1));
        char* binary = nullptr;
        uint32_t length = 0;
        plist_to_bin(job->get(), &binary, &length);
        binary_job_ = std::string(binary, length);
        plist_to_bin_free(binary);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<std::string> errors() const { return tests::trace_messages(trace_path_, "error"); }

    const fs::path dir_ = "/Library/LaunchAgents";
    const std::string trace_path_ = "/var/log/external_commands_test.trace";
    std::string binary_job_;
};

}  // namespace

TEST_F(ExternalCommandsTest, ToolWrappersPassTheirArgumentsOneByOne) {
    const std::string path = "/Applications/Two words.app";
    EXPECT_TRUE(ExternalCommands::ejectCorvanaDMG("/Volumes/Corvana"));
    EXPECT_TRUE(ExternalCommands::chown(path, "root", "staff", true));
    EXPECT_TRUE(ExternalCommands::chown(path, "root", "wheel", false));
    EXPECT_TRUE(ExternalCommands::removeOpenWarningFromCorvana(path));
    EXPECT_TRUE(ExternalCommands::unload_service("/Library/LaunchDaemons/a.plist"));
    EXPECT_TRUE(ExternalCommands::load_service("/Library/LaunchDaemons/b.plist"));
    EXPECT_TRUE(ExternalCommands::stop_service("com.quillmark.x.service"));
    EXPECT_TRUE(ExternalCommands::start_service("com.quillmark.y.service"));
    EXPECT_TRUE(ExternalCommands::unload_agent("/Library/LaunchAgents/c.plist"));
    EXPECT_TRUE(ExternalCommands::load_agent("/Library/LaunchAgents/d.plist"));
    EXPECT_TRUE(ExternalCommands::stop_agent("com.quillmark.x.Frontend"));
    EXPECT_TRUE(ExternalCommands::remove_authorization("com.quillmark.corvana.install"));
    EXPECT_TRUE(ExternalCommands::force_reboot());

    const std::vector<call> expected = {
        {"/usr/bin/hdiutil", "detach", "/Volumes/Corvana"},
        {"/usr/sbin/chown", "-R", "root:staff", path},
        {"/usr/sbin/chown", "root:wheel", path},
        {"/usr/bin/xattr", "-d", "-r", "com.apple.quarantine", path},
        {"/bin/launchctl", "unload", "/Library/LaunchDaemons/a.plist"},
        {"/bin/launchctl", "load", "/Library/LaunchDaemons/b.plist"},
        {"/bin/launchctl", "stop", "com.quillmark.x.service"},
        {"/bin/launchctl", "start", "com.quillmark.y.service"},
        {"/bin/launchctl", "unload", "/Library/LaunchAgents/c.plist"},
        {"/bin/launchctl", "load", "/Library/LaunchAgents/d.plist"},
        {"/bin/launchctl", "stop", "com.quillmark.x.Frontend"},
        {"/usr/bin/security", "authorizationdb", "remove", "com.quillmark.corvana.install"},
        {"/sbin/reboot"},
    };
    EXPECT_EQ(fake_tools::calls(), expected);
}

TEST_F(ExternalCommandsTest, ANonZeroToolStatusIsFalse) {
    for (const char* tool : {"launchctl", "chown", "xattr", "security", "reboot", "hdiutil"}) {
        fake_tools::set_status(tool, 1);
    }
    EXPECT_FALSE(ExternalCommands::ejectCorvanaDMG("/Volumes/Corvana"));
    EXPECT_FALSE(ExternalCommands::chown("/tmp", "root", "wheel", false));
    EXPECT_FALSE(ExternalCommands::removeOpenWarningFromCorvana("/tmp"));
    EXPECT_FALSE(ExternalCommands::unload_agent("/tmp/a.plist"));
    EXPECT_FALSE(ExternalCommands::load_agent("/tmp/a.plist"));
    EXPECT_FALSE(ExternalCommands::stop_agent("label"));
    EXPECT_FALSE(ExternalCommands::start_service("label"));
    EXPECT_FALSE(ExternalCommands::remove_authorization("right"));
    EXPECT_FALSE(ExternalCommands::force_reboot());
}

TEST_F(ExternalCommandsTest, ChmodPassesTheModeBeforeThePathWithAndWithoutRecursion) {
    // The real chmod: the modes it leaves show which arguments it got.
    const fs::path top = "/tmp/chmod_test";
    write_file(top / "inner", "x", fs::perms(0600));
    fs::permissions(top, fs::perms(0700));
    EXPECT_TRUE(ExternalCommands::chmod(top, "750", false));
    EXPECT_EQ(fs::status(top).permissions(), fs::perms(0750));
    EXPECT_EQ(fs::status(top / "inner").permissions(), fs::perms(0600));
    EXPECT_TRUE(ExternalCommands::chmod(top, "755", true));
    EXPECT_EQ(fs::status(top / "inner").permissions(), fs::perms(0755));
    EXPECT_FALSE(ExternalCommands::chmod(top / "missing", "755", false));

    // And the exact argument lists, through the fake tool put in chmod's place.
    fs::copy_file(k_fake_tool, "/bin/chmod", fs::copy_options::overwrite_existing);
    EXPECT_TRUE(ExternalCommands::chmod("/a b", "666", false));
    EXPECT_TRUE(ExternalCommands::chmod("/a b", "666", true));
    EXPECT_EQ(
        fake_tools::calls_of("/bin/chmod"),
        (std::vector<call>{{"/bin/chmod", "666", "/a b"}, {"/bin/chmod", "-R", "666", "/a b"}}));
}

TEST_F(ExternalCommandsTest, ProcessListingCountsOnlyTheMatchingProcesses) {
    const fs::path bundle = "/Applications/Listed Corvana.app";
    // Waits without starting a process per round: a child between its fork and its exec still
    // shows its parent's command line, and would be listed beside it now and then.
    write_bundle(bundle, "Corvana",
                 "fifo=/tmp/listed-$$; mkfifo \"$fifo\"; exec 3<>\"$fifo\"\n"
                 "read -r line <&3\n");
    task_t process;
    process.setLaunchPath(bundle / "Contents/MacOS/Corvana");
    ASSERT_TRUE(process.launch());

    // The grep process and the shell running the pipeline name the path as well.
    std::optional<std::vector<std::string>> listed;
    ASSERT_TRUE(eventually([&] {
        listed = ExternalCommands::processes_by_path(bundle);
        return listed && listed->size() == 1;
    }));
    EXPECT_EQ(listed, std::vector<std::string>{std::to_string(process.processIdentifier())});
    // The path is a basic regular expression: a dot matches any character.
    EXPECT_EQ(ExternalCommands::processes_by_path("/Applications/Listed.Corvana"), listed);

    process.terminate();
    process.waitUntilExit();
    // grep always finds its own line, so the listing succeeds, empty.
    EXPECT_EQ(ExternalCommands::processes_by_path(bundle), std::vector<std::string>{});
}

TEST_F(ExternalCommandsTest, ProcessListingReadsALeadingDashAsAPattern) {
    const fs::path bundle = "/tmp/-zq-marker/Dash.app";
    write_bundle(bundle, "Dash", "while :; do sleep 0.1; done\n");
    task_t process;
    process.setLaunchPath(bundle / "Contents/MacOS/Dash");
    ASSERT_TRUE(process.launch());
    std::optional<std::vector<std::string>> listed;
    EXPECT_TRUE(eventually([&] {
        listed = ExternalCommands::processes_by_path("-zq-marker");
        return listed && listed->size() == 1;
    }));
}

TEST_F(ExternalCommandsTest, PathsReachTheListingShellAsTextAndRunNothing) {
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"/Applications/$(touch /tmp/injected_dollar)\".app", "/tmp/injected_dollar"},
        {"/Applications/`touch /tmp/injected_backquote`.app", "/tmp/injected_backquote"},
        {"/Applications/\"; touch /tmp/injected_quote; \".app", "/tmp/injected_quote"},
        {"/Applications/$(touch /tmp/injected_kill).app", "/tmp/injected_kill"},
    };
    for (const auto& [path, witness] : hostile) {
        SCOPED_TRACE(path);
        const auto listed = ExternalCommands::processes_by_path(path);
        EXPECT_TRUE(!listed || listed->empty());
        EXPECT_FALSE(fs::exists(witness));
    }
}

TEST_F(ExternalCommandsTest, KillBundleReturnsFalseAtOnceWhenNoCorvanaRuns) {
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(ExternalCommands::kill_bundle_by_path("/Applications/Corvana.app"));
    EXPECT_LT(seconds_since(started), 1.0);
}

TEST_F(ExternalCommandsTest, KillBundleWaitsUntilTheBundleProcessesAreGone) {
    const fs::path bundle = "/Applications/Corvana.app";
    write_bundle(bundle, "Corvana", "while :; do sleep 0.1; done\n");
    ASSERT_TRUE(ExternalCommands::start_app_at_path(bundle));
    ASSERT_TRUE(eventually([&] {
        const auto listed = ExternalCommands::processes_by_path(bundle);
        return listed && listed->size() == 1;
    }));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(ExternalCommands::kill_bundle_by_path(bundle));
    EXPECT_LT(seconds_since(started), 4.0);
    EXPECT_EQ(ExternalCommands::processes_by_path(bundle), std::vector<std::string>{});
}

TEST_F(ExternalCommandsTest, KillBundleGivesUpAfterAboutFiveSeconds) {
    const fs::path bundle = "/Applications/Corvana.app";
    write_bundle(bundle, "Corvana", "trap '' TERM\nwhile :; do sleep 0.1; done\n");
    ASSERT_TRUE(ExternalCommands::start_app_at_path(bundle));
    ASSERT_TRUE(eventually([&] {
        const auto listed = ExternalCommands::processes_by_path(bundle);
        return listed && listed->size() == 1;
    }));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(ExternalCommands::kill_bundle_by_path(bundle));
    const double taken = seconds_since(started);
    EXPECT_GE(taken, 4.9);
    EXPECT_LT(taken, 15.0);
    EXPECT_EQ(task_t::syncExec("/usr/bin/killall", {"-KILL", "Corvana"}), 0);
}

TEST_F(ExternalCommandsTest, RelaunchHandsTheBundlePathToOpenAsOneArgument) {
    write_file("/usr/bin/open", "#!/bin/sh\nprintf '[%s]' \"$@\" > /tmp/open.args\n",
               fs::perms(0755));
    ExternalCommands::relaunchCorvana();
    std::string arguments;
    ASSERT_TRUE(eventually([&] {
        arguments = read_file("/tmp/open.args");
        return !arguments.empty();
    }));
    EXPECT_EQ(arguments, "[-n][" + main_bundle_path().value_or("") + "]");
    EXPECT_EQ(main_bundle_path().value_or(""),
              fs::read_symlink("/proc/self/exe").parent_path().string());
}

TEST_F(ExternalCommandsTest, SleepProxyIsFoundOnlyAfterTheFirstLine) {
    const std::string header = "Browsing for _sleep-proxy._udp.local\n";
    fake_tools::set_delay("dns-sd", 30);

    fake_tools::set_output("dns-sd",
                           header + "Timestamp A/R Flags if Domain Service Type\n" +
                               "12:00:00 Add 2 4 local. _sleep-proxy._udp. 70-35-60.1 Box\n");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(ExternalCommands::detect_sleep_proxy(1));
    const double taken = seconds_since(started);
    EXPECT_GE(taken, 0.9);
    EXPECT_LT(taken, 4.0);
    EXPECT_EQ(fake_tools::calls_of("/usr/bin/dns-sd"),
              (std::vector<call>{{"/usr/bin/dns-sd", "-B", "_sleep-proxy._udp", "local"}}));

    fake_tools::set_output("dns-sd", header + "Timestamp A/R Flags if Domain Service Type\n");
    EXPECT_FALSE(ExternalCommands::detect_sleep_proxy(1));
    fake_tools::set_output("dns-sd", header);  // two pieces: the line and the empty rest
    EXPECT_FALSE(ExternalCommands::detect_sleep_proxy(1));
}

TEST_F(JobFilesTest, EnablingRewritesABinaryJobFileAsXmlKeepingEveryOtherKey) {
    const fs::path path = dir_ / "com.quillmark.corvana.Frontend.plist";
    write_file(path, binary_job_);
    EXPECT_TRUE(ExternalCommands::is_service_disabled(path));
    EXPECT_TRUE(ExternalCommands::set_enable_service(path, true));
    EXPECT_EQ(read_file(path), read_file(k_corpus / "agent_job_file.xml"));
    EXPECT_FALSE(ExternalCommands::is_service_disabled(path));

    EXPECT_TRUE(ExternalCommands::set_enable_service(path, false));
    EXPECT_TRUE(ExternalCommands::is_service_disabled(path));
    EXPECT_TRUE(ExternalCommands::is_service_run_at_load(path));
    EXPECT_TRUE(ExternalCommands::set_runatload_service(path, false));
    EXPECT_FALSE(ExternalCommands::is_service_run_at_load(path));
    EXPECT_TRUE(ExternalCommands::is_service_disabled(path));
    EXPECT_TRUE(errors().empty());
}

TEST_F(JobFilesTest, MissingAndUnreadableFilesAnswerAsDocumented) {
    const fs::path missing = dir_ / "missing.plist";
    EXPECT_FALSE(ExternalCommands::is_service_disabled(missing));
    EXPECT_FALSE(ExternalCommands::is_service_run_at_load(missing));
    EXPECT_FALSE(ExternalCommands::set_runatload_service(missing, true));
    EXPECT_FALSE(ExternalCommands::set_enable_service(missing, true));
    EXPECT_FALSE(fs::exists(missing));

    const fs::path garbage = dir_ / "garbage.plist";
    write_file(garbage, "no property list here");
    const fs::path array = dir_ / "array.plist";
    write_file(array, "<plist version=\"1.0\"><array><true/></array></plist>");
    for (const fs::path& unreadable : {garbage, array}) {
        SCOPED_TRACE(unreadable);
        const std::string before = read_file(unreadable);
        EXPECT_TRUE(ExternalCommands::is_service_disabled(unreadable));
        EXPECT_FALSE(ExternalCommands::is_service_run_at_load(unreadable));
        EXPECT_FALSE(ExternalCommands::set_runatload_service(unreadable, true));
        EXPECT_FALSE(ExternalCommands::set_enable_service(unreadable, true));
        EXPECT_EQ(read_file(unreadable), before);
    }

    const std::vector<std::string> logged = errors();
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_NE(logged[0].find(missing.string()), std::string::npos) << logged[0];
    EXPECT_NE(logged[1].find(garbage.string()), std::string::npos) << logged[1];
    EXPECT_NE(logged[2].find(array.string()), std::string::npos) << logged[2];
    EXPECT_NE(logged[0], logged[1]);  // missing and unreadable read differently
    const auto line = tests::parse_trace_line(tests::trace_lines(trace_path_).back());
    EXPECT_EQ(line.scope, "helper_tool");
    EXPECT_EQ(line.level, "error");
}

TEST_F(JobFilesTest, AbsentKeysReadAsFalseAndOtherKindsByTheirBooleanValue) {
    const fs::path bare = dir_ / "bare.plist";
    write_file(bare,
               "<plist version=\"1.0\"><dict><key>Label</key><string>x</string></dict></plist>");
    EXPECT_FALSE(ExternalCommands::is_service_disabled(bare));
    EXPECT_FALSE(ExternalCommands::is_service_run_at_load(bare));

    const fs::path texts = dir_ / "texts.plist";
    write_file(texts,
               "<plist version=\"1.0\"><dict><key>Disabled</key><string> YES</string>"
               "<key>RunAtLoad</key><integer>0</integer></dict></plist>");
    EXPECT_TRUE(ExternalCommands::is_service_disabled(texts));
    EXPECT_FALSE(ExternalCommands::is_service_run_at_load(texts));
}

TEST_F(JobFilesTest, AJobFileThatIsALinkOrADirectoryIsLeftUndamaged) {
    const fs::path target = "/tmp/elsewhere.plist";
    write_file(target, binary_job_);
    const fs::path link = dir_ / "link.plist";
    fs::create_symlink(target, link);
    EXPECT_TRUE(ExternalCommands::is_service_disabled(link));  // read through, as the platform does
    EXPECT_FALSE(ExternalCommands::set_enable_service(link, true));
    EXPECT_FALSE(ExternalCommands::set_runatload_service(link, false));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(target), binary_job_);

    const fs::path directory = dir_ / "directory.plist";
    write_file(directory / "inside", "kept");
    EXPECT_TRUE(ExternalCommands::is_service_disabled(directory));
    EXPECT_FALSE(ExternalCommands::is_service_run_at_load(directory));
    EXPECT_FALSE(ExternalCommands::set_enable_service(directory, true));
    EXPECT_FALSE(ExternalCommands::set_runatload_service(directory, true));
    EXPECT_EQ(read_file(directory / "inside"), "kept");
    EXPECT_TRUE(fs::is_directory(directory));
}

TEST_F(JobFilesTest, AWriteBackThatFailsIsReported) {
    // Root writes through any mode bits; a read-only mount stops it.
    const fs::path mount_point = "/tmp/read_only_jobs";
    fs::create_directories(mount_point);
    ASSERT_EQ(::mount("jobs", mount_point.c_str(), "tmpfs", 0, nullptr), 0);
    const fs::path path = mount_point / "job.plist";
    write_file(path, binary_job_);
    ASSERT_EQ(::mount(nullptr, mount_point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);

    EXPECT_FALSE(ExternalCommands::set_enable_service(path, true));
    EXPECT_FALSE(ExternalCommands::set_runatload_service(path, false));
    EXPECT_EQ(read_file(path), binary_job_);
    ::umount(mount_point.c_str());
}
