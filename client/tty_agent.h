#pragma once

#include <sys/types.h>

// polkit's text authentication agent, run for this process while it waits in a guarded call, much
// as systemctl does: when the helper asks polkit whether this process may install, polkit has this
// agent ask the person at the terminal for an administrator's password. Ended when the object
// goes away.
class tty_agent_t {
  public:
    // Starts "/usr/bin/pkttyagent --notify-fd N --process PID" when standard input is a terminal
    // and waits until it has registered with polkit (it closes N then). Starts nothing when there
    // is no terminal or no pkttyagent: the call then goes on without anyone to ask.
    tty_agent_t();
    ~tty_agent_t();
    tty_agent_t(const tty_agent_t&) = delete;
    tty_agent_t& operator=(const tty_agent_t&) = delete;

  private:
    pid_t pid_ = -1;
};
