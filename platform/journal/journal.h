#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/journal/journal_event.h"
#include "platform/posix/audit_token.h"

// The record of who made the helper do what, in the system journal (see journal_event.h).
//
// Recording never fails or holds up the operation it records: the entry is queued and a thread
// of its own hands it to the journal with sd_journal_sendv. That call can wait: the journal's
// socket is a datagram socket, and once journald has stopped reading it (stopped, or too busy to
// keep up) the kernel's queue fills and a send waits until there is room. Meanwhile entries wait
// in a queue of k_journal_queue_bytes; past it, the newest are dropped and counted, and the next
// entry that gets in says how many were lost (CORVANA_LOST). Without journald (no socket), a send
// fails at once and the entry is gone. Admission refusals are limited as journal_limit.h says.
inline constexpr std::size_t k_journal_queue_bytes = 1024 * 1024;
void journal_record(journal_event_t event) noexcept;
// The entry of a connection refused at admission, for the reason given.
void journal_refusal(journal_caller_t caller, std::string reason) noexcept;

// What settled the right a recorded call asked for, so that the operation's own entry says it too
// (beside the authorization entry made at the decision). The dispatch makes one per recorded call
// and holds it as the calling thread's while the handler runs; the authorization check, which a
// handler runs on that thread before its work, notes its decision in it.
struct journal_call_decision_t {
    std::optional<std::string> decided_by;
};
class journal_call_scope_t {
  public:
    explicit journal_call_scope_t(std::shared_ptr<journal_call_decision_t> decision) noexcept;
    ~journal_call_scope_t();
    journal_call_scope_t(const journal_call_scope_t&) = delete;
    journal_call_scope_t& operator=(const journal_call_scope_t&) = delete;

  private:
    std::shared_ptr<journal_call_decision_t> previous_;
};
// Notes the decision in the calling thread's recorded call; nothing outside one.
void journal_note_decision(const std::string& decided_by) noexcept;

// The client of the connection whose call the calling thread handles, as admitted: its pid and
// uid from the kernel, and the program the admission checked. Nothing outside a call.
[[nodiscard]] std::optional<journal_caller_t> journal_current_caller();

// A process that connected and was refused: its pid and uid, and the program it runs when that
// can still be told apart from whatever reused its pid since.
[[nodiscard]] journal_caller_t journal_caller_of(const audit_token_t& token);
