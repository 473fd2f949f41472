#include <benchmark/benchmark.h>

#include <sys/random.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "helper/helper_tool.h"
#include "platform/authorization/authorization.h"
#include "protocol/protocol_methods.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

// Cost of one authorization check as a guarded call pays it (the database is opened, read and
// closed per check), of a refused one, and of issuing. Run through the sandbox script.
namespace {

constexpr const char* k_settings =
    protocol::right_name(protocol::method::check_global_settings_auth).data();

ns_data issue(const std::vector<std::string>& rights) {
    AuthorizationExternalForm form;
    if (AuthorizationIssueExternalForm(0, rights, form) != errAuthorizationSuccess) {
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(form.bytes.begin(), form.bytes.end());
}

std::unique_ptr<helper_tool_t> prepared_tool() {
    tests::require_sandbox();
    std::filesystem::create_directories("/var/log");
    tests::use_trace_file("/var/log/authorization_bench.trace");
    return helper_tool_t::init_without_listener();
}

void check(benchmark::State& state, const ns_data& auth, bool expected) {
    auto tool = prepared_tool();
    for (auto _ : state) {
        bool answer = !expected;
        tool->check_global_settings_auth(auth, [&](bool value) { answer = value; });
        if (answer != expected) {
            state.SkipWithError("wrong answer");
            break;
        }
    }
}

void granted_check(benchmark::State& state) {
    tests::require_sandbox();
    check(state, issue({k_settings}), true);
}

void refused_check(benchmark::State& state) {
    tests::require_sandbox();
    std::vector<std::uint8_t> random(32);
    if (::getrandom(random.data(), random.size(), 0) != 32) {
        state.SkipWithError("no random bytes");
        return;
    }
    check(state, random, false);
}

void issuing(benchmark::State& state) {
    tests::require_sandbox();
    for (auto _ : state) {
        if (!issue({k_settings})) {
            state.SkipWithError("issue failed");
            break;
        }
    }
}

BENCHMARK(granted_check)->Unit(benchmark::kMicrosecond);
BENCHMARK(refused_check)->Unit(benchmark::kMicrosecond);
BENCHMARK(issuing)->Unit(benchmark::kMicrosecond);

}  // namespace
