#include "platform/journal/journal.h"

// The place in this file that sends says nothing about the operation an entry records: no
// CODE_FILE, CODE_LINE or CODE_FUNC fields.
#define SD_JOURNAL_SUPPRESS_LOCATION

#include <poll.h>
#include <pthread.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc/xpc_connection.h"
#include "platform/journal/journal_limit.h"
#include "platform/posix/proc_files.h"

namespace {

// More than an entry has (journal_fields gives 17 at most, and the identifier is added).
constexpr std::size_t k_max_fields = 32;

struct queued_entry_t {
    std::vector<std::string> fields;
    std::size_t bytes = 0;
};

struct sender_t {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<queued_entry_t> queue;
    std::size_t bytes = 0;
    std::uint64_t lost = 0;
    bool started = false;
    journal_rate_limit_t refusals;
};

// Made once and never destroyed: the sending thread may still be inside a send when the daemon
// exits, and must not find its queue torn down under it.
sender_t& sender() {
    static sender_t* const instance = new sender_t;
    return *instance;
}

void send_entries(sender_t& state) {
    ::pthread_setname_np(::pthread_self(), "journal");
    for (;;) {
        queued_entry_t entry;
        {
            std::unique_lock guard(state.lock);
            state.wake.wait(guard, [&state] { return !state.queue.empty(); });
            entry = std::move(state.queue.front());
            state.queue.pop_front();
            state.bytes -= entry.bytes;
        }
        // Nothing here may throw: an exception would end the daemon.
        std::array<iovec, k_max_fields> vector{};
        std::size_t count = 0;
        for (auto& field : entry.fields) {
            if (count < vector.size()) {
                vector[count++] = {field.data(), field.size()};
            }
        }
        // A failure loses this entry alone; there is nobody to tell but the journal itself.
        (void)sd_journal_sendv(vector.data(), static_cast<int>(count));
    }
}

// The program that runs as pid, as /proc names it.
std::string executable_of(pid_t pid) {
    std::array<char, 4096> path{};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size()) {
        return {};
    }
    return std::string(path.data(), static_cast<std::size_t>(length));
}

// Whether the process the token was taken from still runs: then a pid looked up before this
// answer named that process and no other.
bool still_running(const audit_token_t& token) {
    if (token.pidfd >= 0) {
        pollfd ended{token.pidfd, POLLIN, 0};
        return ::poll(&ended, 1, 0) == 0;
    }
    return token.start_time != 0 &&
           proc_files::start_time_of(token.pid).value_or(0) == token.start_time;
}

}  // namespace

void journal_record(journal_event_t event) noexcept {
    try {
        sender_t& state = sender();
        std::lock_guard guard(state.lock);
        if (event.kind == journal_kind::admission_refused) {
            const auto held_back = state.refusals.take(journal_rate_limit_t::clock::now());
            if (!held_back) {
                return;
            }
            event.suppressed = *held_back;
        }
        event.lost = state.lost;
        queued_entry_t entry{journal_fields(event), 0};
        entry.fields.push_back("SYSLOG_IDENTIFIER=" + std::string(program_invocation_short_name));
        for (const auto& field : entry.fields) {
            entry.bytes += field.size();
        }
        if (state.bytes + entry.bytes > k_journal_queue_bytes) {
            ++state.lost;
            return;
        }
        if (!state.started) {
            std::thread(send_entries, std::ref(state)).detach();
            state.started = true;
        }
        state.lost = 0;
        state.bytes += entry.bytes;
        state.queue.push_back(std::move(entry));
        state.wake.notify_one();
    } catch (...) {
        // No memory or no thread: the operation goes on without its entry.
    }
}

namespace {
thread_local std::shared_ptr<journal_call_decision_t> current_decision;
}  // namespace

journal_call_scope_t::journal_call_scope_t(
    std::shared_ptr<journal_call_decision_t> decision) noexcept
    : previous_(std::exchange(current_decision, std::move(decision))) {}

journal_call_scope_t::~journal_call_scope_t() {
    current_decision = std::move(previous_);
}

void journal_note_decision(const std::string& decided_by) noexcept {
    try {
        if (current_decision) {
            current_decision->decided_by = decided_by;
        }
    } catch (...) {
        // No memory: the authorization entry still says it.
    }
}

void journal_refusal(journal_caller_t caller, std::string reason) noexcept {
    try {
        journal_record({.kind = journal_kind::admission_refused,
                        .caller = std::move(caller),
                        .outcome = "false",
                        .reason = std::move(reason)});
    } catch (...) {
        // No memory: the refusal stands without its entry.
    }
}

std::optional<journal_caller_t> journal_current_caller() {
    const xpc_connection_t* connection = xpc_connection_t::currentConnection();
    if (connection == nullptr) {
        return std::nullopt;
    }
    const audit_token_t& token = connection->auditToken();
    return journal_caller_t{token.pid, token.uid, connection->peerExecutable()};
}

journal_caller_t journal_caller_of(const audit_token_t& token) {
    journal_caller_t caller{token.pid, token.uid, executable_of(token.pid)};
    if (!still_running(token)) {
        caller.executable.clear();
    }
    return caller;
}
