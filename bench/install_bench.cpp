// The time of a full application install and of a service install, inside the sandbox
// (tests/sandbox/run-in-sandbox.sh build/.../bench_install_bench). The application install sleeps
// one second by design, measured on its own in the same run; the bundle quit polls only while
// instances linger, and every round starts with none, so it does not. The remainder is reported
// as "rest_ms" (target: under 100 ms).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "helper/helper_tool.h"
#include "platform/authorization/authorization.h"
#include "protocol/protocol_methods.h"
#include "system/external_commands.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/process_stats.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace fs = std::filesystem;
using seconds_d = std::chrono::duration<double>;

namespace {

using tests::write_file;

// A bundle of a few dozen files, its executable a script that ends at once, signed.
void prepare_sources() {
    tests::require_sandbox();
    fs::remove_all("/srv/bench");
    const std::string bundle = "/srv/bench/Corvana.app";
    write_file(bundle + "/Contents/Info.plist", tests::application_info_plist(), fs::perms(0644));
    write_file(bundle + "/Contents/MacOS/Corvana", "#!/bin/sh\nexit 0\n", fs::perms(0755));
    for (int i = 0; i < 40; ++i) {
        write_file(bundle + "/Contents/Resources/res" + std::to_string(i), std::string(4096, 'x'),
                   fs::perms(0644));
    }
    // Only the application is installed: the bundle is signed as the client requirement asks.
    tests::sign_bundle(bundle);
    write_file("/srv/bench/config/system.conf", "system", fs::perms(0644));
    write_file("/srv/bench/config/service.conf", "service", fs::perms(0644));
    for (const char* dir :
         {"/Applications", "/Library/LaunchDaemons", "/Library/LaunchAgents", "/usr/local/bin"}) {
        fs::create_directories(dir);
    }
    tests::use_trace_file("/tmp/install_bench.trace");
    tests::fake_tools::reset();
}

ns_data authorization_for(const char* right) {
    AuthorizationExternalForm form;
    if (AuthorizationIssueExternalForm(0, {right}, form) != errAuthorizationSuccess) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(form.bytes.begin(), form.bytes.end());
}

template <class F>
double timed(F&& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return seconds_d(std::chrono::steady_clock::now() - start).count();
}

// Waits (untimed) until no process named Corvana is left, so the install's own quit finds none
// and does not poll: the instance the previous round started must not be charged to this one.
void quit_leftover_instances() {
    (void)tests::wait_until(
        [] {
            if (!tests::process_running_with("/Contents/MacOS/Corvana")) {
                return true;
            }
            (void)ExternalCommands::kill_bundle_by_path("/Applications/Corvana.app");
            return false;
        },
        std::chrono::seconds(2));
}

// The tool runs of one application install, replayed on their own: the rest of an install is
// mostly these child processes (the sandbox's fake tools are shell scripts), not the install's
// own work.
double application_install_tools() {
    const std::string bundle = "/Applications/Corvana.app";
    const std::string agent = "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist";
    const std::string service = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
    return timed([&] {
        for (int i = 0; i < 4; ++i) {
            (void)ExternalCommands::remove_authorization("com.quillmark.Corvana.Helper.bench");
        }
        (void)ExternalCommands::kill_bundle_by_path(bundle);
        (void)ExternalCommands::chmod(bundle, "755", true);
        (void)ExternalCommands::chown(bundle, "root", "wheel", true);
        (void)ExternalCommands::chmod("/var/log/corvana.trace", "666", false);
        (void)ExternalCommands::chmod("/etc/corvana", "775", true);
        (void)ExternalCommands::chown("/etc/corvana", "root", "staff", true);
        (void)ExternalCommands::set_runatload_service(agent, false);
        (void)ExternalCommands::stop_agent("com.quillmark.corvana.Frontend");
        (void)ExternalCommands::unload_agent(agent);
        (void)ExternalCommands::stop_service("com.quillmark.corvana.service");
        (void)ExternalCommands::unload_service(service);
        (void)ExternalCommands::removeOpenWarningFromCorvana(bundle);
        (void)ExternalCommands::start_app_at_path(bundle);
    });
}

double service_install_tools() {
    const std::string bundle = "/Applications/Corvana.app";
    return timed([&] {
        (void)ExternalCommands::chmod("/var/log/corvana.trace", "666", false);
        (void)ExternalCommands::chmod("/etc/corvana", "775", true);
        (void)ExternalCommands::chown("/etc/corvana", "root", "staff", true);
        (void)ExternalCommands::chmod(bundle, "755", true);
        (void)ExternalCommands::chown(bundle, "root", "wheel", true);
        (void)ExternalCommands::kill_bundle_by_path(bundle);
        (void)ExternalCommands::start_app_at_path(bundle);
    });
}

void report(benchmark::State& state, double total, double waits, double tools) {
    const double n = static_cast<double>(state.iterations());
    state.counters["total_ms"] = 1000.0 * total / n;
    state.counters["fixed_waits_ms"] = 1000.0 * waits / n;
    state.counters["rest_ms"] = 1000.0 * (total - waits) / n;
    state.counters["rest_tools_ms"] = 1000.0 * tools / n;
    state.counters["rest_own_ms"] = 1000.0 * (total - waits - tools) / n;
}

void BM_ApplicationInstall(benchmark::State& state) {
    prepare_sources();
    auto tool = helper_tool_t::init_without_listener();
    double total = 0;
    double waits = 0;
    double tools = 0;
    for (auto _ : state) {
        const ns_data auth =
            authorization_for(protocol::right_name(protocol::method::install).data());
        quit_leftover_instances();
        const double tool_time = application_install_tools();
        quit_leftover_instances();
        // The install's fixed one-second sleep takes what this one takes.
        const double sleep_time =
            timed([] { std::this_thread::sleep_for(std::chrono::seconds(1)); });
        bool answer = false;
        const double elapsed = timed([&] {
            tool->install_corvana_with_auth_data(auth, "/srv/bench/Corvana.app",
                                                 "/srv/bench/config", "corvana", "bench",
                                                 [&](bool ok) { answer = ok; });
        });
        if (!answer) {
            state.SkipWithError("install answered false");
            break;
        }
        state.SetIterationTime(elapsed);
        total += elapsed;
        waits += sleep_time;
        tools += tool_time;
    }
    report(state, total, waits, tools);
}
BENCHMARK(BM_ApplicationInstall)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ServiceInstall(benchmark::State& state) {
    prepare_sources();
    fs::remove_all("/Applications/Corvana.app");
    fs::copy("/srv/bench/Corvana.app", "/Applications/Corvana.app", fs::copy_options::recursive);
    auto tool = helper_tool_t::init_without_listener();
    double total = 0;
    double waits = 0;
    double tools = 0;
    for (auto _ : state) {
        const ns_data auth =
            authorization_for(protocol::right_name(protocol::method::install_service).data());
        quit_leftover_instances();
        const double tool_time = service_install_tools();
        quit_leftover_instances();
        bool answer = false;
        const double elapsed = timed([&] {
            tool->install_corvana_service_with(auth, "corvana", "/srv/bench/config",
                                               [&](bool ok) { answer = ok; });
        });
        if (!answer) {
            state.SkipWithError("service install answered false");
            break;
        }
        state.SetIterationTime(elapsed);
        total += elapsed;
        tools += tool_time;
    }
    report(state, total, waits, tools);
}
BENCHMARK(BM_ServiceInstall)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
