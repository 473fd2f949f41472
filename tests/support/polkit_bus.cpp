#include "tests/support/polkit_bus.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/sandbox.h"
#include "tests/support/wait.h"

namespace tests {
namespace {

namespace fs = std::filesystem;

constexpr const char* k_folder = "/run/corvana-test-bus";
constexpr const char* k_socket = "/run/corvana-test-bus/system_bus_socket";
constexpr const char* k_log = "/run/corvana-test-bus/polkitd.log";
constexpr const char* k_config = CORVANA_SOURCE_DIR "/tests/support/system-bus.conf";
constexpr const char* k_polkit = "org.freedesktop.PolicyKit1";
constexpr const char* k_authority = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* k_mock_interface = "org.freedesktop.DBus.Mock";

std::vector<std::string> busctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"/usr/bin/busctl",
                                  std::string("--address=") + polkit_bus::k_address};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
}

bool polkit_answers() {
    return run_command(busctl({"get-property", k_polkit, k_authority,
                               "org.freedesktop.PolicyKit1.Authority", "BackendVersion"}))
               .exit_code == 0;
}

}  // namespace

polkit_bus::polkit_bus(bool with_polkit) {
    require_sandbox();
    fs::remove_all(k_folder);
    fs::create_directories(k_folder);
    bus_ = std::make_unique<child_process>(std::vector<std::string>{
        "/usr/bin/dbus-daemon", std::string("--config-file=") + k_config, "--nofork"});
    if (!wait_until([] { return fs::exists(k_socket); }, std::chrono::seconds(20))) {
        throw std::runtime_error("the private system bus did not start");
    }
    if (!with_polkit) {
        return;
    }
    polkitd_ = std::make_unique<child_process>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--system", "--template",
                                 "polkitd", "-l", k_log},
        std::vector<std::string>{environment()});
    if (!wait_until(polkit_answers, std::chrono::seconds(30), std::chrono::milliseconds(100))) {
        throw std::runtime_error("python-dbusmock's polkitd did not come up");
    }
    // The template answers CheckAuthorization but lacks its cancellation; a logged no-op is what
    // the tests need of it.
    mock({"AddMethod", "sssss", "org.freedesktop.PolicyKit1.Authority", "CancelCheckAuthorization",
          "s", "", ""});
    // A prompt the person dismissed: polkit answers not authorized, marked "polkit.dismissed".
    mock({"AddMethod", "sssss", k_mock_interface, "DismissHangingCalls", "", "",
          "for (cb, _) in self.hanging_calls:\n"
          "    cb((False, False, {'polkit.dismissed': 'true'}))\n"
          "self.hanging_calls = []\n"});
}

polkit_bus::~polkit_bus() = default;

std::string polkit_bus::environment() {
    return std::string("DBUS_SYSTEM_BUS_ADDRESS=") + k_address;
}

command_result polkit_bus::mock(const std::vector<std::string>& arguments) const {
    std::vector<std::string> call{"call", k_polkit, k_authority, k_mock_interface};
    call.insert(call.end(), arguments.begin(), arguments.end());
    auto result = run_command(busctl(call));
    if (result.exit_code != 0) {
        throw std::runtime_error("the polkitd mock refused " + arguments.front() + ": " +
                                 result.err);
    }
    return result;
}

namespace {

std::vector<std::string> string_array(const std::vector<std::string>& items) {
    std::vector<std::string> words{"as", std::to_string(items.size())};
    words.insert(words.end(), items.begin(), items.end());
    return words;
}

}  // namespace

void polkit_bus::report_version(const std::string& version) {
    mock({"UpdateProperties", "sa{sv}", "org.freedesktop.PolicyKit1.Authority", "1",
          "BackendVersion", "s", version});
}

void polkit_bus::allow(const std::vector<std::string>& actions) {
    std::vector<std::string> call{"SetAllowed"};
    for (auto& word : string_array(actions)) {
        call.push_back(word);
    }
    mock(call);
}

void polkit_bus::hang(const std::vector<std::string>& actions) {
    std::vector<std::string> call{"SimulateHangActions"};
    for (auto& word : string_array(actions)) {
        call.push_back(word);
    }
    mock(call);
}

bool polkit_bus::has_hanging_calls() {
    return mock({"HaveHangingCalls"}).out == "b true\n";
}

void polkit_bus::release_hanging_calls() {
    mock({"ReleaseHangingCalls"});
}

void polkit_bus::dismiss_hanging_calls() {
    mock({"DismissHangingCalls"});
}

std::vector<polkit_bus::call_t> polkit_bus::calls(const std::string& method) const {
    std::vector<call_t> found;
    std::ifstream log(k_log);
    std::string line;
    // "TIMESTAMP METHOD ARGUMENTS"
    while (std::getline(log, line)) {
        const auto first = line.find(' ');
        if (first == std::string::npos) {
            continue;
        }
        const auto second = line.find(' ', first + 1);
        const std::string name = line.substr(first + 1, second - first - 1);
        if (name == method) {
            found.push_back({name, second == std::string::npos ? "" : line.substr(second + 1)});
        }
    }
    return found;
}

unsigned long long process_start_time(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto end_of_name = stat.rfind(')');
    if (end_of_name == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(end_of_name + 2));
    std::string field;
    // The text after the name starts with field 3 (state); the start time is field 22.
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 22) {
            return std::stoull(field);
        }
    }
    return 0;
}

}  // namespace tests
