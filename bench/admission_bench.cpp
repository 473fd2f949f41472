// The cost of admitting one client: looking up its code from the audit token, compiling the
// helper's requirement and checking the running code against it, as the listener does per
// connection. The client is a signed bundle whose executable is a copy of bash (about 1.2 MB
// hashed per check). Run inside the sandbox: it installs a trust anchor.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "platform/code_signing.h"
#include "tests/support/helper_requirement.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"

namespace {

const std::string k_requirement = tests::helper_requirement_text();

struct signed_client {
    tests::running_client process;
    audit_token_t token;
};

signed_client start_client() {
    tests::require_sandbox();
    tests::bundle_options options;
    options.executable_source = "/bin/bash";
    auto process = tests::running_client::start_waiting_shell(tests::signed_client_bundle(options));
    audit_token_t token = process.audit_token();
    return {std::move(process), token};
}

// One client for the whole run; killed and reaped when the program ends.
signed_client& client() {
    static signed_client instance = start_client();
    return instance;
}

void BM_Admission(benchmark::State& state) {
    const audit_token_t& token = client().token;
    for (auto _ : state) {
        auto code = SecCodeCopyGuestWithAttributes(token);
        auto requirement = SecRequirementCreateWithString(k_requirement);
        if (!code || !requirement || SecCodeCheckValidity(*code, &*requirement) != errSecSuccess) {
            state.SkipWithError("the signed client was refused");
            break;
        }
    }
}
BENCHMARK(BM_Admission)->Unit(benchmark::kMicrosecond);

void BM_CopyGuest(benchmark::State& state) {
    const audit_token_t& token = client().token;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SecCodeCopyGuestWithAttributes(token));
    }
}
BENCHMARK(BM_CopyGuest)->Unit(benchmark::kMicrosecond);

void BM_CompileRequirement(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(SecRequirementCreateWithString(k_requirement));
    }
}
BENCHMARK(BM_CompileRequirement)->Unit(benchmark::kMicrosecond);

void BM_CheckValidity(benchmark::State& state) {
    auto code = SecCodeCopyGuestWithAttributes(client().token);
    auto requirement = SecRequirementCreateWithString(k_requirement);
    if (!code || !requirement) {
        state.SkipWithError("no code or requirement");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(SecCodeCheckValidity(*code, &*requirement));
    }
}
BENCHMARK(BM_CheckValidity)->Unit(benchmark::kMicrosecond);

}  // namespace
