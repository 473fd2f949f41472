// The transient service asked of a real message bus, where python-dbusmock's systemd template
// stands in for the service manager: the manager announces the end of every job on the bus, and
// only the start job of the unit asked for may decide the answer.
#include "platform/launch/transient_unit.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/command.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* k_bus_socket = "/run/transient-unit-test.bus";
constexpr const char* k_manager = "org.freedesktop.systemd1";
constexpr const char* k_manager_path = "/org/freedesktop/systemd1";

void replace_all(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// A private bus and the stand-in manager on it, as the system bus of this process. The sandbox
// has no service manager of its own; the directory systemd makes at boot says one runs.
class BusTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        fs::create_directories("/run/systemd/system");
        fs::remove(k_bus_socket);
        const std::string address = std::string("unix:path=") + k_bus_socket;
        bus_ = std::make_unique<tests::child_process>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=" + address});
        ASSERT_TRUE(tests::wait_until([] { return fs::exists(k_bus_socket); }, 10s));
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        manager_ = std::make_unique<tests::child_process>(
            std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--template", "systemd",
                                     "--logfile", "/tmp/systemd-mock.log"},
            std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + address});
        ASSERT_TRUE(tests::wait_until([] { return manager_present(); }, 30s));
    }
    static void TearDownTestSuite() {
        manager_.reset();
        bus_.reset();
    }

    static sd_bus* open_bus() {
        sd_bus* bus = nullptr;
        return sd_bus_open_system(&bus) >= 0 ? bus : nullptr;
    }

    static bool manager_present() {
        std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(open_bus(),
                                                                         sd_bus_flush_close_unref);
        return bus && sd_bus_get_name_creds(bus.get(), k_manager, 0, nullptr) >= 0;
    }

    // Makes the stand-in answer StartTransientUnit with job 11, after announcing first the end of
    // another job (another unit's, or an earlier one of the same name), and 300 ms later the end
    // of job 11.
    static void answer_with(const std::string& other_unit, const std::string& other_job,
                            const std::string& other_result, const std::string& own_result) {
        std::string code = R"(from gi.repository import GLib
name = args[0]
manager = 'org.freedesktop.systemd1.Manager'
other = name if 'OTHER_UNIT' == 'SAME' else 'OTHER_UNIT'
self.EmitSignal(manager, 'JobRemoved', 'uoss', [OTHER_ID, 'OTHER_JOB', other, 'OTHER_RESULT'])
GLib.timeout_add(300, lambda s=self, m=manager, n=name: s.EmitSignal(
    m, 'JobRemoved', 'uoss', [11, '/org/freedesktop/systemd1/job/11', n, 'OWN_RESULT']) and False)
ret = '/org/freedesktop/systemd1/job/11'
)";
        replace_all(code, "OTHER_UNIT", other_unit);
        replace_all(code, "OTHER_ID", other_job.substr(other_job.rfind('/') + 1));
        replace_all(code, "OTHER_JOB", other_job);
        replace_all(code, "OTHER_RESULT", other_result);
        replace_all(code, "OWN_RESULT", own_result);
        std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(open_bus(),
                                                                         sd_bus_flush_close_unref);
        ASSERT_TRUE(bus);
        sd_bus_error error = SD_BUS_ERROR_NULL;
        const int r = sd_bus_call_method(
            bus.get(), k_manager, k_manager_path, "org.freedesktop.DBus.Mock", "AddMethod", &error,
            nullptr, "sssss", "", "StartTransientUnit", "ssa(sv)a(sa(sv))", "o", code.c_str());
        EXPECT_GE(r, 0) << (error.message ? error.message : "");
        sd_bus_error_free(&error);
    }

    static std::unique_ptr<tests::child_process> bus_;
    static std::unique_ptr<tests::child_process> manager_;
};

std::unique_ptr<tests::child_process> BusTest::bus_;
std::unique_ptr<tests::child_process> BusTest::manager_;

struct seen_t {
    std::vector<std::string> jobs;  // "unit job result", in the order the bus delivered them
};

int record_job_removed(sd_bus_message* message, void* userdata, sd_bus_error*) {
    uint32_t id = 0;
    const char* job = nullptr;
    const char* unit = nullptr;
    const char* result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) >= 0) {
        static_cast<seen_t*>(userdata)->jobs.push_back(std::string(unit).substr(0, 12) + " " + job +
                                                       " " + result);
    }
    return 0;
}

// Another unit's start job failing first does not fail ours, and another one succeeding does not
// pass for ours when ours fails: the answer waits for the unit's own job.
TEST_F(BusTest, TheAnswerIsThatOfTheUnitsOwnStartJob) {
    answer_with("another.service", "/org/freedesktop/systemd1/job/10", "failed", "done");
    EXPECT_TRUE(start_transient_service("/usr/bin/true").value_or(false));

    // Control: a listener of its own on the bus sees the other job's end first, which a waiter
    // that took any job's end would have taken for its own.
    std::unique_ptr<sd_bus, decltype(&sd_bus_flush_close_unref)> bus(open_bus(),
                                                                     sd_bus_flush_close_unref);
    ASSERT_TRUE(bus);
    seen_t seen;
    sd_bus_slot* slot = nullptr;
    ASSERT_GE(sd_bus_match_signal(bus.get(), &slot, k_manager, k_manager_path,
                                  "org.freedesktop.systemd1.Manager", "JobRemoved",
                                  record_job_removed, &seen),
              0);
    answer_with("another.service", "/org/freedesktop/systemd1/job/10", "done", "failed");
    EXPECT_FALSE(start_transient_service("/usr/bin/true").ok());
    ASSERT_TRUE(tests::wait_until(
        [&] {
            while (sd_bus_process(bus.get(), nullptr) > 0) {
            }
            return seen.jobs.size() >= 2;
        },
        10s));
    EXPECT_EQ(seen.jobs.at(0), "another.serv /org/freedesktop/systemd1/job/10 done");
    EXPECT_EQ(seen.jobs.at(1), "corvana-app- /org/freedesktop/systemd1/job/11 failed");
    sd_bus_slot_unref(slot);

    // An earlier job of a unit by the same name is not this start either.
    answer_with("SAME", "/org/freedesktop/systemd1/job/9", "done", "failed");
    EXPECT_FALSE(start_transient_service("/usr/bin/true").ok());
}

}  // namespace
