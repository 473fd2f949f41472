#pragma once

#include <systemd/sd-bus.h>

#include <memory>

// Owning handles of sd-bus objects, so every path out of a bus conversation lets go of them.
namespace bus {

struct bus_closer_t {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct message_unref_t {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct slot_unref_t {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using bus_t = std::unique_ptr<sd_bus, bus_closer_t>;
using message_t = std::unique_ptr<sd_bus_message, message_unref_t>;
using slot_t = std::unique_ptr<sd_bus_slot, slot_unref_t>;

class bus_error_t {
  public:
    bus_error_t() = default;
    bus_error_t(const bus_error_t&) = delete;
    bus_error_t& operator=(const bus_error_t&) = delete;
    ~bus_error_t() { sd_bus_error_free(&error_); }
    sd_bus_error* get() { return &error_; }

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace bus
