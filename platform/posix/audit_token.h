#pragma once

#include <sys/types.h>

#include <cstdint>

// Stand-in for the platform's audit token: who is at the other end of a connection, pinned so the
// peer can't be swapped through PID reuse between connect and check. The pidfd refers to the peer
// process itself; while it is open the answers about "pid" are about that process or nothing.
struct audit_token_t {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    // Borrowed from the connection; -1 when none could be had.
    int pidfd = -1;
    // The process's start time (clock ticks since boot, /proc stat field 22).
    std::uint64_t start_time = 0;
};
