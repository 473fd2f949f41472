#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "platform/xpc_connection.h"

class helper_tool_t;

// The remote protocol CorvanaHelperXPC, in declaration order.
extern const std::array<method_signature_t, 17> k_corvana_helper_protocol;

// The interface built from the protocol, exported on every accepted connection.
const xpc_interface_t& corvana_helper_interface();

// Sends one decoded call to the handler method of the exported object. The arguments have been
// checked against the method's signature already.
void invoke_helper_method(helper_tool_t& helper, std::size_t method, std::vector<wire_value> args,
                          std::function<void(wire_value)> reply);
