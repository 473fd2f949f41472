// The cost of admitting one client, as the listener pays it per connection (looking up the code
// from the audit token, compiling the helper's requirement, checking the running code), and of
// vouching for each message afterwards. Clients are signed bundles whose executable is a copy of
// bash (about 1.3 MB):
//   repeat      root-owned, so its digest is remembered after the first admission
//   first_seen  owned by a user, so it is hashed on every admission, as a client never seen is
//   hostile     a copy of the repeat client's signature beside the same executable grown to
//               1 GiB (sparse): refused on its size before a byte of it is read
//   huge_mapping  a signed copy of this program that maps a root-owned file executable over about
//               126 TiB of address space (bench/hostile_roles.h): admitted, since the file is
//               system code, at a cost that follows what it holds, not what it reserved
//   unsigned_huge the same process outside any bundle: refused before its mappings are read
//   many_mappings  a signed copy of this program holding 60,000 one-page mappings: refused once
//               the bounded read of its list of mappings runs out, without reading it all
// And the part of admission that looks for another process sharing the client's memory.
// Baselines in the same run: hashing the 1.3 MB executable alone, and a bare recv of a message.
// Run inside the sandbox: it installs a trust anchor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "bench/hostile_roles.h"
#include "platform/codesign/code_signing.h"
#include "platform/codesign/code_signing_files.h"
#include "tests/support/helper_requirement.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"

namespace {

namespace fs = std::filesystem;

const std::string k_requirement = tests::helper_requirement_text();

struct signed_client {
    tests::running_client process;
    audit_token_t token;
};

enum class kind { repeat, first_seen, hostile, huge_mapping, unsigned_huge, many_mappings };

// A copy of this program playing a role of bench/hostile_roles.h, signed when name is given.
signed_client start_role(const std::string& role, const std::string& name) {
    std::string executable = fs::read_symlink("/proc/self/exe");
    if (!name.empty()) {
        tests::bundle_options options;
        options.executable_source = executable;
        options.name = name;
        executable = tests::signed_client_bundle(options);
    }
    auto process = tests::running_client::start(executable, {}, {"CORVANA_BENCH_ROLE=" + role});
    if (!process.wait_for_output(std::chrono::seconds(30), "ready")) {
        std::abort();
    }
    audit_token_t token = process.audit_token();
    return {std::move(process), token};
}

signed_client start_client(kind which) {
    tests::require_sandbox();
    if (which == kind::huge_mapping || which == kind::unsigned_huge) {
        return start_role("huge-mapping", which == kind::huge_mapping ? "HugeMapping" : "");
    }
    if (which == kind::many_mappings) {
        return start_role("many-mappings", "ManyMappings");
    }
    tests::bundle_options options;
    options.executable_source = "/bin/bash";
    options.name = which == kind::repeat       ? "Repeat"
                   : which == kind::first_seen ? "FirstSeen"
                                               : "Hostile";
    std::string executable = tests::signed_client_bundle(options);
    if (which == kind::first_seen) {
        // Owned by a user: nothing about it is remembered between admissions.
        if (::chown(executable.c_str(), 65534, 65534) != 0) {
            std::abort();
        }
    } else if (which == kind::hostile) {
        fs::path bundle = tests::bundle_of_executable(executable);
        fs::path repeat = bundle.parent_path() / "Repeat.app";
        fs::remove_all(bundle / "Contents/_CodeSignature");
        fs::copy(repeat / "Contents/_CodeSignature", bundle / "Contents/_CodeSignature",
                 fs::copy_options::recursive);
        fs::copy_file(repeat / "Contents/Info.plist", bundle / "Contents/Info.plist",
                      fs::copy_options::overwrite_existing);
        fs::rename(executable, bundle / "Contents/MacOS/CorvanaClient.tmp");
        fs::copy_file(repeat / "Contents/MacOS/CorvanaClient", executable);
        fs::remove(bundle / "Contents/MacOS/CorvanaClient.tmp");
        fs::resize_file(executable, 1ull << 30);
    }
    auto process = tests::running_client::start_waiting_shell(executable);
    audit_token_t token = process.audit_token();
    return {std::move(process), token};
}

// One client of each kind for the whole run; killed and reaped when the program ends.
signed_client& client(kind which) {
    static signed_client repeat = start_client(kind::repeat);
    static signed_client first_seen = start_client(kind::first_seen);
    static signed_client hostile = start_client(kind::hostile);
    switch (which) {
        case kind::repeat:
            return repeat;
        case kind::first_seen:
            return first_seen;
        case kind::hostile:
            return hostile;
        case kind::huge_mapping: {
            static signed_client huge = start_client(kind::huge_mapping);
            return huge;
        }
        case kind::unsigned_huge: {
            static signed_client huge = start_client(kind::unsigned_huge);
            return huge;
        }
        case kind::many_mappings: {
            static signed_client many = start_client(kind::many_mappings);
            return many;
        }
    }
    std::abort();
}

void admit(benchmark::State& state, kind which, OSStatus expected) {
    const audit_token_t& token = client(which).token;
    for (auto _ : state) {
        auto code = SecCodeCopyGuestWithAttributes(token);
        auto requirement = SecRequirementCreateWithString(k_requirement);
        if (!code || !requirement || SecCodeCheckValidity(*code, &*requirement) != expected) {
            state.SkipWithError("unexpected admission result");
            break;
        }
    }
}

void BM_AdmissionRepeatClient(benchmark::State& state) {
    admit(state, kind::repeat, errSecSuccess);
}
BENCHMARK(BM_AdmissionRepeatClient)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AdmissionFirstSeenClient(benchmark::State& state) {
    admit(state, kind::first_seen, errSecSuccess);
}
BENCHMARK(BM_AdmissionFirstSeenClient)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AdmissionHostileHugeExecutable(benchmark::State& state) {
    admit(state, kind::hostile, errSecCSSignatureFailed);
}
BENCHMARK(BM_AdmissionHostileHugeExecutable)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AdmissionSignedHugeMapping(benchmark::State& state) {
    admit(state, kind::huge_mapping, errSecSuccess);
}
BENCHMARK(BM_AdmissionSignedHugeMapping)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AdmissionUnsignedHugeMapping(benchmark::State& state) {
    admit(state, kind::unsigned_huge, errSecCSUnsigned);
}
BENCHMARK(BM_AdmissionUnsignedHugeMapping)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_AdmissionSignedManyMappings(benchmark::State& state) {
    admit(state, kind::many_mappings, errSecCSGuestInvalid);
}
BENCHMARK(BM_AdmissionSignedManyMappings)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The look for another process sharing the client's memory: one kcmp per process on the system,
// with as many idle processes added as the argument says.
void BM_SharedMemoryLook(benchmark::State& state) {
    auto process = code_signing::pinned_process_t::pin(client(kind::repeat).token);
    if (!process) {
        state.SkipWithError("not pinned");
        return;
    }
    std::vector<pid_t> idle;
    for (int i = 0; i < state.range(0); ++i) {
        pid_t child = ::fork();
        if (child == 0) {
            ::pause();
            ::_exit(0);
        }
        idle.push_back(child);
    }
    for (auto _ : state) {
        if (process->shares_memory()) {
            state.SkipWithError("shares its memory");
            break;
        }
    }
    std::size_t processes = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        processes += std::isdigit(static_cast<unsigned char>(entry.path().filename().c_str()[0]));
    }
    state.counters["processes"] = static_cast<double>(processes);
    for (pid_t child : idle) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
}
BENCHMARK(BM_SharedMemoryLook)->Arg(0)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Baseline: what hashing the client's executable alone costs.
void BM_BaselineHashExecutable(benchmark::State& state) {
    std::string path = "/proc/" + std::to_string(client(kind::first_seen).process.pid()) + "/exe";
    unique_fd executable(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    for (auto _ : state) {
        benchmark::DoNotOptimize(code_signing::sha256_of_file(executable.get(), 1ull << 30));
    }
}
BENCHMARK(BM_BaselineHashExecutable)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What each message costs once a connection is admitted: is it still the admitted code?
void BM_PerMessageCheck(benchmark::State& state) {
    const audit_token_t& token = client(kind::repeat).token;
    auto code = SecCodeCopyGuestWithAttributes(token);
    auto requirement = SecRequirementCreateWithString(k_requirement);
    if (!code || !requirement || SecCodeCheckValidity(*code, &*requirement) != errSecSuccess) {
        state.SkipWithError("not admitted");
        return;
    }
    for (auto _ : state) {
        if (!code->is_sender(token.pid, token.uid)) {
            state.SkipWithError("no longer the sender");
            break;
        }
    }
}
BENCHMARK(BM_PerMessageCheck)->Unit(benchmark::kNanosecond)->UseRealTime();

// Baseline: receiving a small message on a Unix socket, with the kernel's credentials attached.
void BM_BaselineReceiveWithCredentials(benchmark::State& state) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    unique_fd sender(pair[0]);
    unique_fd receiver(pair[1]);
    int on = 1;
    ::setsockopt(receiver.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
    char message[64] = {};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    for (auto _ : state) {
        if (::send(sender.get(), message, sizeof message, 0) != sizeof message) {
            state.SkipWithError("send");
            break;
        }
        iovec vector{message, sizeof message};
        msghdr header{};
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        benchmark::DoNotOptimize(::recvmsg(receiver.get(), &header, 0));
    }
}
BENCHMARK(BM_BaselineReceiveWithCredentials)->Unit(benchmark::kNanosecond)->UseRealTime();

}  // namespace
