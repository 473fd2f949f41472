// The privileged helper daemon: started as root on demand by the service manager when a client
// connects to its socket; serves until it has been idle long enough, then exits with status 0
// (1 when it could not serve at all).
#include <pthread.h>

#include <csignal>

#include "base/hidden_text.h"
#include "base/trace.h"
#include "base/trace_file.h"
#include "core/startup.h"
#include "helper/helper_tool.h"
#include "helper/main_bundle.h"

int main() {
    // A client that goes away must not take the daemon down with it.
    std::signal(SIGPIPE, SIG_IGN);
    // The trace shows the main thread as "main"; the listener's thread names itself, the others
    // stay unnamed.
    ::pthread_setname_np(::pthread_self(), "corvana");

    const std::string trace_note = prepare_trace_file();
    trace_t trace{const_cast<char*>("main"), nullptr, true};
    std::string version = main_bundle().string_for_key(k_info_version_key).value_or("");

    start_line_text();
    trace_info_unchecked(&trace, hidden_text_buffer, "corvana", version.c_str());
    if (!trace_note.empty()) {
        trace_warning(&trace, "%s", trace_note.c_str());
    }

    // A daemon that can't serve says so with its status, so the service manager sees it failed.
    auto helper = helper_tool_t::init();
    const bool served = helper && helper->run();
    helper.reset();

    end_line_text();
    trace_info_unchecked(&trace, hidden_text_buffer);
    // Lines kept while someone else held the trace file's lock are not lost with the process.
    trace_file_write_kept_lines(g_trace_file);
    return served ? 0 : 1;
}
