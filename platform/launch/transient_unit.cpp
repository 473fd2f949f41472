#include "platform/launch/transient_unit.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/bus/bus_handles.h"
#include "platform/posix/random_name.h"

namespace {

using bus::bus_error_t;
using bus::bus_t;
using bus::message_t;
using bus::slot_t;

constexpr const char* k_destination = "org.freedesktop.systemd1";
constexpr const char* k_manager_path = "/org/freedesktop/systemd1";
constexpr const char* k_manager_interface = "org.freedesktop.systemd1.Manager";
// Starting a unit takes the manager milliseconds; a manager that has not answered by then is
// stuck, and the install must not hold its client for ever.
constexpr uint64_t k_job_wait_usec = 10'000'000;

// The path travels as a D-Bus string, never as unit-file text; control characters are refused
// anyway, since the manager writes the transient unit out as a file and shows the path in logs.
bool acceptable_path(const std::string& path) {
    if (path.empty() || path.front() != '/') {
        return false;
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

struct job_wait_t {
    std::string unit;
    std::string job;  // the start job's object path, from the manager's answer
    bool ended = false;
    std::string result;
};

// The manager announces the end of every job of every unit on the bus: only the start job of our
// own unit counts. Signals that came while the call waited for its answer are handled only after
// it, so the job's path is known by then.
int on_job_removed(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* wait = static_cast<job_wait_t*>(userdata);
    uint32_t id = 0;
    const char* job = nullptr;
    const char* unit = nullptr;
    const char* result = nullptr;
    if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) >= 0 &&
        wait->unit == unit && wait->job == job) {
        wait->ended = true;
        wait->result = result;
    }
    return 0;
}

// StartTransientUnit(name, mode, properties, auxiliary units). The program runs without
// arguments and without "$" expansion; the manager reports the start job done once it has
// executed the image; the unit is collected once the program has ended, however it ended.
int build_request(sd_bus* bus, const std::string& name, const std::string& executable,
                  message_t& request) {
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, k_destination, k_manager_path,
                                           k_manager_interface, "StartTransientUnit");
    if (r < 0) {
        return r;
    }
    request.reset(raw);
    sd_bus_message* m = raw;
    const char* path = executable.c_str();
    if ((r = sd_bus_message_append(m, "ss", name.c_str(), "fail")) < 0 ||
        (r = sd_bus_message_open_container(m, 'a', "(sv)")) < 0 ||
        (r = sd_bus_message_append(m, "(sv)", "Description", "s", "Corvana application")) < 0 ||
        (r = sd_bus_message_append(m, "(sv)", "Type", "s", "exec")) < 0 ||
        (r = sd_bus_message_append(m, "(sv)", "CollectMode", "s", "inactive-or-failed")) < 0 ||
        (r = sd_bus_message_append(m, "(sv)", "ExecStartEx", "a(sasas)", 1, path, 1, path, 1,
                                   "no-env-expand")) < 0 ||
        (r = sd_bus_message_close_container(m)) < 0 ||
        (r = sd_bus_message_append(m, "a(sa(sv))", 0)) < 0) {
        return r;
    }
    return 0;
}

uint64_t now_usec() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000 +
           static_cast<uint64_t>(now.tv_nsec) / 1000;
}

result<> wait_for_job(sd_bus* bus, const job_wait_t& wait) {
    const uint64_t deadline = now_usec() + k_job_wait_usec;
    while (!wait.ended) {
        int r = sd_bus_process(bus, nullptr);
        if (r > 0) {
            continue;
        }
        const uint64_t now = now_usec();
        if (r == 0 && now >= deadline) {
            return result<>::system_failure(ETIMEDOUT,
                                            "the start of " + wait.unit + " did not end in time");
        }
        if (r == 0) {
            r = sd_bus_wait(bus, deadline - now);
        }
        if (r < 0) {
            return result<>::system_failure(
                -r, "the bus failed while the start of " + wait.unit + " was awaited");
        }
    }
    return result<>::success();
}

}  // namespace

result<bool> start_transient_service(const std::string& executable) {
    if (sd_booted() <= 0) {
        return false;
    }
    // sd-bus takes the system bus's address from DBUS_SYSTEM_BUS_ADDRESS when it is set, which
    // only whoever starts the daemon controls (the service manager); the tests point it at a bus
    // of their own.
    sd_bus* raw_bus = nullptr;
    if (sd_bus_open_system(&raw_bus) < 0) {
        return false;
    }
    bus_t bus(raw_bus);

    job_wait_t wait;
    // The unit's name carries nothing a client chose: several installs, of several namespaces, may
    // start applications at once, and a name taken from their text could collide or be malformed.
    if (!acceptable_path(executable)) {
        return result<>::failure("the path " + executable + " can't name a unit's program");
    }
    auto unit = random_name("corvana-app-", 8);
    if (!unit) {
        return std::move(unit).as_failure();
    }
    wait.unit = *unit + ".service";
    // Subscribed before the request, so that a job ending at once is not missed.
    sd_bus_slot* raw_slot = nullptr;
    if (int r = sd_bus_match_signal(bus.get(), &raw_slot, k_destination, k_manager_path,
                                    k_manager_interface, "JobRemoved", on_job_removed, &wait);
        r < 0) {
        return result<>::system_failure(-r, "the manager's job ends can't be followed");
    }
    slot_t slot(raw_slot);

    message_t request;
    if (int r = build_request(bus.get(), wait.unit, executable, request); r < 0) {
        return result<>::system_failure(-r, "the request for " + wait.unit + " can't be made");
    }
    bus_error_t error;
    sd_bus_message* raw_reply = nullptr;
    if (int r = sd_bus_call(bus.get(), request.get(), k_job_wait_usec, error.get(), &raw_reply);
        r < 0) {
        return result<>::system_failure(-r, "the manager refused " + wait.unit);
    }
    message_t reply(raw_reply);
    const char* job = nullptr;
    if (int r = sd_bus_message_read(reply.get(), "o", &job); r < 0) {
        return result<>::system_failure(-r, "the manager's answer names no job");
    }
    wait.job = job;
    if (auto waited = wait_for_job(bus.get(), wait); !waited) {
        return waited.as_failure();
    }
    if (wait.result != "done") {
        return result<>::failure("the start of " + wait.unit + " ended " + wait.result);
    }
    return true;
}
