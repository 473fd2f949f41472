#include "platform/authorization/polkit_authority.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/bus/bus_handles.h"
#include "platform/posix/random_name.h"

namespace {

using bus::bus_error_t;
using bus::bus_t;
using bus::message_t;
using bus::slot_t;

constexpr const char* k_destination = "org.freedesktop.PolicyKit1";
constexpr const char* k_authority_path = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* k_authority_interface = "org.freedesktop.PolicyKit1.Authority";
constexpr const char* k_cancelled_error = "org.freedesktop.PolicyKit1.Error.Cancelled";
constexpr std::uint32_t k_allow_user_interaction = 1;
// polkit takes a pidfd for a process subject from this version on.
constexpr long k_first_version_with_pidfd = 124;
// Asking polkit for its version, or to cancel, takes it milliseconds; it may have to be started
// by the bus first.
constexpr std::uint64_t k_short_call_usec = 10'000'000;

std::uint64_t now_usec() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// The major version polkit reports ("122", "0.105"); 0 when it reports none we can read.
long backend_version(sd_bus* bus, bool& reachable) {
    bus_error_t error;
    char* raw = nullptr;
    reachable =
        sd_bus_get_property_string(bus, k_destination, k_authority_path, k_authority_interface,
                                   "BackendVersion", error.get(), &raw) >= 0;
    std::unique_ptr<char, decltype(&std::free)> text(raw, &std::free);
    if (!reachable || text == nullptr) {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const long version = std::strtol(text.get(), &end, 10);
    return errno == 0 && end != text.get() ? version : 0;
}

// CheckAuthorization(subject, action_id, details, flags, cancellation_id).
int build_question(sd_bus* bus, const polkit_request_t& request, bool with_pidfd,
                   const std::string& cancel_id, message_t& question) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, k_destination, k_authority_path,
                                           k_authority_interface, "CheckAuthorization");
    if (r < 0) {
        return r;
    }
    question.reset(raw);
    sd_bus_message* m = raw;
    const auto& subject = request.subject;
    if ((r = sd_bus_message_open_container(m, 'r', "sa{sv}")) < 0 ||
        (r = sd_bus_message_append(m, "s", "unix-process")) < 0 ||
        (r = sd_bus_message_open_container(m, 'a', "{sv}")) < 0 ||
        (r = sd_bus_message_append(m, "{sv}", "pid", "u",
                                   static_cast<std::uint32_t>(subject.pid))) < 0 ||
        (r = sd_bus_message_append(m, "{sv}", "start-time", "t", subject.start_time)) < 0 ||
        (r = sd_bus_message_append(m, "{sv}", "uid", "i", static_cast<std::int32_t>(subject.uid))) <
            0) {
        return r;
    }
    if (with_pidfd && (r = sd_bus_message_append(m, "{sv}", "pidfd", "h", subject.pidfd)) < 0) {
        return r;
    }
    if ((r = sd_bus_message_close_container(m)) < 0 ||
        (r = sd_bus_message_close_container(m)) < 0 ||
        (r = sd_bus_message_append(m, "s", request.action_id.c_str())) < 0 ||
        (r = sd_bus_message_append(m, "a{ss}", 1, "polkit.message", request.message.c_str())) < 0 ||
        (r = sd_bus_message_append(m, "u", k_allow_user_interaction)) < 0 ||
        (r = sd_bus_message_append(m, "s", cancel_id.c_str())) < 0) {
        return r;
    }
    return 0;
}

struct answer_wait_t {
    bool ended = false;
    polkit_answer_t answer = polkit_answer_t::unavailable;
};

// The result (is_authorized, is_challenge, details): a prompt the person dismissed carries
// "polkit.dismissed" in its details.
polkit_answer_t read_result(sd_bus_message* reply) {
    int authorized = 0;
    int challenge = 0;
    bool dismissed = false;
    if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
        sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "{ss}") < 0) {
        return polkit_answer_t::unavailable;
    }
    const char* key = nullptr;
    const char* value = nullptr;
    int r = 0;
    while ((r = sd_bus_message_read(reply, "{ss}", &key, &value)) > 0) {
        if (std::strcmp(key, "polkit.dismissed") == 0 && std::strcmp(value, "true") == 0) {
            dismissed = true;
        }
    }
    if (r < 0) {
        return polkit_answer_t::unavailable;
    }
    if (authorized != 0) {
        return polkit_answer_t::granted;
    }
    if (dismissed) {
        return polkit_answer_t::dismissed;
    }
    return challenge != 0 ? polkit_answer_t::no_agent : polkit_answer_t::denied;
}

int on_answer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* wait = static_cast<answer_wait_t*>(userdata);
    wait->ended = true;
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
        wait->answer = sd_bus_error_has_name(error, k_cancelled_error)
                           ? polkit_answer_t::dismissed
                           : polkit_answer_t::unavailable;
        return 0;
    }
    wait->answer = read_result(reply);
    return 0;
}

void cancel(sd_bus* bus, const std::string& cancel_id) {
    bus_error_t error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, k_destination, k_authority_path, k_authority_interface,
                           "CancelCheckAuthorization", error.get(), &reply, "s",
                           cancel_id.c_str()) >= 0) {
        sd_bus_message_unref(reply);
    }
}

bool asker_gone(std::vector<pollfd>& watched) {
    for (auto& fd : watched) {
        if (fd.revents != 0) {
            return true;
        }
    }
    return false;
}

// Serves the bus until the answer arrives, the wait runs out or the asker goes away.
polkit_answer_t wait_for_answer(sd_bus* bus, const polkit_request_t& request,
                                const answer_wait_t& wait, const std::string& cancel_id) {
    const std::uint64_t deadline =
        now_usec() +
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(k_polkit_interaction_wait)
                .count());
    std::vector<pollfd> fds = request.cancel_when;
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            return polkit_answer_t::unavailable;
        }
        if (wait.ended) {
            return wait.answer;
        }
        if (r > 0) {
            continue;
        }
        const std::uint64_t now = now_usec();
        if (now >= deadline) {
            cancel(bus, cancel_id);
            return polkit_answer_t::dismissed;
        }
        const int bus_fd = sd_bus_get_fd(bus);
        const int events = sd_bus_get_events(bus);
        if (bus_fd < 0 || events < 0) {
            return polkit_answer_t::unavailable;
        }
        std::uint64_t until = deadline;
        std::uint64_t bus_timeout = 0;
        if (sd_bus_get_timeout(bus, &bus_timeout) >= 0 && bus_timeout != 0 && bus_timeout < until) {
            until = bus_timeout;
        }
        fds.resize(request.cancel_when.size());
        for (auto& fd : fds) {
            fd.revents = 0;
        }
        fds.push_back({bus_fd, static_cast<short>(events), 0});
        const int timeout_ms = until > now ? static_cast<int>((until - now + 999) / 1000) : 0;
        const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
        if (ready < 0 && errno != EINTR) {
            return polkit_answer_t::unavailable;
        }
        fds.pop_back();
        if (ready > 0 && asker_gone(fds)) {
            cancel(bus, cancel_id);
            return polkit_answer_t::dismissed;
        }
    }
}

}  // namespace

polkit_answer_t polkit_check_authorization(const polkit_request_t& request) {
    sd_bus* raw_bus = nullptr;
    if (sd_bus_open_system(&raw_bus) < 0) {
        return polkit_answer_t::unavailable;
    }
    bus_t bus(raw_bus);
    (void)sd_bus_set_method_call_timeout(bus.get(), k_short_call_usec);

    bool reachable = false;
    const long version = backend_version(bus.get(), reachable);
    if (!reachable) {
        return polkit_answer_t::unavailable;
    }
    // A name polkit can tell apart from every other question being asked.
    auto cancel_name = random_name("corvana-", 16);
    if (!cancel_name) {
        return polkit_answer_t::unavailable;
    }
    const std::string& cancel_id = *cancel_name;
    const bool with_pidfd = request.subject.pidfd >= 0 && version >= k_first_version_with_pidfd;
    message_t question;
    if (build_question(bus.get(), request, with_pidfd, cancel_id, question) < 0) {
        return polkit_answer_t::unavailable;
    }
    answer_wait_t wait;
    sd_bus_slot* raw_slot = nullptr;
    // The bus's own time-out is only a backstop: the wait below cancels the question first.
    const std::uint64_t call_timeout =
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(k_polkit_interaction_wait)
                .count()) +
        k_short_call_usec;
    if (sd_bus_call_async(bus.get(), &raw_slot, question.get(), on_answer, &wait, call_timeout) <
        0) {
        return polkit_answer_t::unavailable;
    }
    slot_t slot(raw_slot);
    return wait_for_answer(bus.get(), request, wait, cancel_id);
}

std::string polkit_action_id(const std::string& right_name) {
    std::string id = right_name;
    for (char& c : id) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                             (c >= '0' && c <= '9') || c == '.' || c == '-';
        if (!allowed) {
            c = '-';
        }
    }
    return id;
}
