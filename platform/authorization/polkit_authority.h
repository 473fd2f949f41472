#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The system's authorization service on Linux, polkit, asked over the system bus whether a
// process may perform an action. polkit may have the process's authentication agent ask a person
// to authenticate first; the question waits for that answer.
//
// Library code: no logging, every outcome is an answer.

// The process the question is about (polkit's "unix-process" subject). polkit tells a process
// apart from a later one with the same pid by its start time; where it takes a pidfd (version 124
// and later) it is given that as well.
struct polkit_subject_t {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    std::uint64_t start_time = 0;  // clock ticks since boot, /proc stat field 22
    int pidfd = -1;                // borrowed; -1 when there is none
};

enum class polkit_answer_t {
    granted,
    denied,       // polkit says no, or the person failed to authenticate
    dismissed,    // the person dismissed the prompt, the wait ran out or the asker went away
    no_agent,     // an administrator must authenticate, but no agent could ask anyone
    unavailable,  // no polkit on the bus, or it answered with an error
};

struct polkit_request_t {
    polkit_subject_t subject;
    std::string action_id;
    // Shown in the prompt (details key "polkit.message"); the action file's own message is the
    // one polkit shows where it ignores this.
    std::string message;
    // The wait ends, and the question is cancelled, as soon as any of these reports one of its
    // events: the asker's connection hanging up, the asker's process ending.
    std::vector<pollfd> cancel_when;
};

// How long a person has to authenticate before the question is cancelled.
inline constexpr std::chrono::minutes k_polkit_interaction_wait{4};

// Asks CheckAuthorization with user interaction allowed, on a bus connection of its own (one
// per question, so that questions of several clients wait side by side).
[[nodiscard]] polkit_answer_t polkit_check_authorization(const polkit_request_t& request);

// The polkit action of an authorization right: the right's name with every character that polkit
// does not allow in an action id (anything but ASCII letters, digits, "." and "-") replaced by
// "-", so "com.quillmark.Corvana.Helper.install_corvana" is asked as
// "com.quillmark.Corvana.Helper.install-corvana".
std::string polkit_action_id(const std::string& right_name);
