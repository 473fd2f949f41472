#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

#include "platform/ipc/xpc_connection.h"
#include "protocol/protocol_methods.h"

class helper_tool_t;

// The interface built from the protocol, exported on every accepted connection.
const xpc_interface_t& corvana_helper_interface();

// Sends one decoded call to the handler method of the exported object that the protocol names
// for it. The arguments have been checked against the method's signature already.
void invoke_helper_method(helper_tool_t& helper, std::size_t method, std::vector<wire_value> args,
                          std::function<void(wire_value)> reply);
