#include "helper/helper_tool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/admission.h"
#include "core/protocol.h"
#include "helper/main_bundle.h"
#include "platform/ipc/xpc_listener.h"
#include "platform/journal/journal.h"
#include "platform/posix/memory.h"

namespace {

// Seconds between the Unix epoch and the platform's reference date, 1 January 2001 UTC.
constexpr double k_reference_date_offset = 978307200.0;
constexpr double k_idle_quit_seconds = 10.0;
// The threads of connections that have just gone give their caches back to the allocator as they
// end, after their invalidation: the hand-back waits a moment for them, on the main thread.
constexpr double k_memory_release_delay_seconds = 1.0;
// What a client maps and runs drives part of the cost of admitting it: the check gives up once
// this time has passed, or as soon as the client has hung up or ended. The work itself is bounded
// by what the check reads; this bounds how long a connection's thread can be held. It is time on
// the clock, not on the processor: while many clients connect at once, each admission also waits
// for the others, and a client that is only waiting its turn must not be refused (a crowd of 200
// connecting threads on two loaded cores pushed some past 5 s).
constexpr std::chrono::seconds k_admission_time_limit{30};

double now_since_reference_date() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() -
           k_reference_date_offset;
}

}  // namespace

std::unique_ptr<helper_tool_t> helper_tool_t::init() {
    std::unique_ptr<helper_tool_t> self(new helper_tool_t());
    auto service = main_bundle().string_for_key(k_info_identifier_key);
    if (!service) {
        return nullptr;
    }
    self->_listener = std::make_unique<xpc_listener_t>(*service);
    helper_tool_t* delegate = self.get();
    self->_listener->setDelegate(
        [delegate](xpc_listener_t& listener, std::shared_ptr<xpc_connection_t> connection) {
            return delegate->listener(listener, std::move(connection));
        });
    self->_listener->setErrorHandler([delegate](const std::string& message) {
        trace_error(delegate->_trace.get(), "listener: %s", message.c_str());
    });
    self->_listener->setLimitHandler([delegate](const ucred& peer, const std::string& message) {
        trace_warning(delegate->_trace.get(), "%s", message.c_str());
        journal_refusal({peer.pid, peer.uid, ""}, message);
    });
    return self;
}

bool helper_tool_t::may_quit() const {
    std::lock_guard guard(_connectionsLock);
    return canQuit() && now_since_reference_date() - lastAccess() >= k_idle_quit_seconds;
}

bool helper_tool_t::run() {
    if (!_listener || !_listener->resume()) {
        trace_error(_trace.get(), "cannot listen on %s",
                    _listener ? _listener->socket_path().c_str() : "no listener");
        return false;
    }
    // Not waited for while serving; joined before returning, since the check runs on this object.
    std::thread open_files_check([this] {
        ::pthread_setname_np(::pthread_self(), "");
        fixOSMaxFilesIfNeedAndReply(nullptr);
    });
    for (;;) {
        const double due = _memoryReleaseDue.load();
        if (due != 0.0 && now_since_reference_date() >= due) {
            // A connection that comes and goes meanwhile sets a new time: only this one is done.
            double expected = due;
            if (_memoryReleaseDue.compare_exchange_strong(expected, 0.0)) {
                release_free_memory();
            }
        }
        // A client admitted while this was decided must be served: the listener stops taking
        // connections only when none is being admitted, and the condition is asked again once
        // it has stopped. Connections that come later wait on the socket for the next instance.
        if (may_quit()) {
            if (_beforeIdlePause) {
                _beforeIdlePause();
            }
            if (_listener->pauseIfNoneAdmitting()) {
                if (may_quit()) {
                    break;
                }
                _listener->resumeAccepting();
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    open_files_check.join();
    return true;
}

bool helper_tool_t::listener(xpc_listener_t&, std::shared_ptr<xpc_connection_t> connection) {
    auto requirement = main_bundle().objectForInfoDictionaryKey(k_info_authorized_clients_key);
    code_check_limits_t limits;
    limits.deadline = std::chrono::steady_clock::now() + k_admission_time_limit;
    limits.abandoned = [&connection] { return connection->peerGone(); };
    const audit_token_t& token = connection->auditToken();
    auto admission = admit_client(token, requirement, limits);
    if (!admission.code) {
        journal_refusal(journal_caller_of(token),
                        std::string("code check: ") + code_signing_status_text(admission.status) +
                            " (OSStatus " + std::to_string(admission.status) + ")");
        // Rejected silently, unless the check ran out of time while the client still waited.
        if (admission.status == errSecCSCancelled && !connection->peerGone()) {
            trace_warning(_trace.get(), "refused pid %d: its admission took longer than %d s",
                          static_cast<int>(token.pid),
                          static_cast<int>(k_admission_time_limit.count()));
        }
        return false;
    }
    auto admitted = std::make_shared<const sec_code_t>(std::move(*admission.code));
    connection->setPeerExecutable(admitted->executable_path().value_or(""));
    connection->setSenderCheck(token.pid, token.uid, [admitted, pid = token.pid, uid = token.uid] {
        return admitted->is_sender(pid, uid);
    });
    if (!connection->confirmAdmission()) {
        journal_refusal({token.pid, token.uid, connection->peerExecutable()},
                        "it sent a message before it was admitted");
        trace_warning(_trace.get(),
                      "refused pid %d: it sent a message before it was admitted, perhaps from "
                      "the program it ran before",
                      static_cast<int>(token.pid));
        return false;
    }

    connection->setExportedInterface(&corvana_helper_interface());
    connection->setExportedObject([this](std::size_t method, std::vector<wire_value> args,
                                         std::function<void(wire_value)> reply) {
        invoke_helper_method(*this, method, std::move(args), std::move(reply));
    });
    pid_t pid = token.pid;
    connection->setProtocolErrorHandler([this, pid](const std::string& reason) {
        trace_warning(_trace.get(), "refused a message from pid %d and dropped its connection: %s",
                      static_cast<int>(pid), reason.c_str());
    });

    std::size_t count = 0;
    {
        // Under the list's lock, so a last connection going away at this moment can't leave
        // canQuit set while this one is being added.
        std::lock_guard guard(_connectionsLock);
        setLastAccess(now_since_reference_date());
        setCanQuit(false);
        _activeConnections.push_back(connection);
        count = _activeConnections.size();
    }

    xpc_connection_t* identity = connection.get();
    connection->setInvalidationHandler([this, identity] {
        bool last = false;
        {
            std::lock_guard guard(_connectionsLock);
            std::erase_if(_activeConnections,
                          [identity](const auto& c) { return c.get() == identity; });
            last = _activeConnections.empty();
            if (last) {
                setCanQuit(true);
            }
        }
        // Every departure moves the hand-back on: it comes once the connections have stopped
        // going, whether or not a client stays connected through the burst.
        _memoryReleaseDue.store(now_since_reference_date() + k_memory_release_delay_seconds);
        if (last) {
            trace_info(_trace.get(), "last conn invalidated");
        }
    });

    trace_info(_trace.get(), "%d active connections", static_cast<int>(count));
    return true;  // the listener resumes the connection
}
