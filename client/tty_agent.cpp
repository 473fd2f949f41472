#include "client/tty_agent.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace {

constexpr const char* k_agent = "/usr/bin/pkttyagent";

}  // namespace

tty_agent_t::tty_agent_t() {
    if (::isatty(STDIN_FILENO) == 0 || ::access(k_agent, X_OK) != 0) {
        return;
    }
    int notify[2];
    if (::pipe2(notify, O_CLOEXEC) != 0) {
        return;
    }
    // The agent's end keeps its number; only there is close-on-exec cleared for it.
    const std::string notify_fd = std::to_string(notify[1]);
    const std::string process = std::to_string(::getpid());
    // Not "--fallback", as systemctl passes: polkit 122 never uses a process's fallback agent
    // when the process is in no login session (su, setpriv, a service's shell), so the person at
    // this terminal would not be asked. Without it, this terminal's agent wins over a desktop's
    // for this one process, and that is where the person who ran the command is.
    const char* argv[] = {k_agent,     "--notify-fd",   notify_fd.c_str(),
                          "--process", process.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, notify[1], notify[1]);
    posix_spawn_file_actions_addclose(&actions, notify[0]);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, k_agent, &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(notify[1]);
    if (spawned != 0) {
        ::close(notify[0]);
        return;
    }
    pid_ = pid;
    // The agent closes its end once it is registered, or dies; either way the read ends.
    char byte = 0;
    while (::read(notify[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(notify[0]);
}

tty_agent_t::~tty_agent_t() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}
