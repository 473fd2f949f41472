#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/ipc/xpc_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    auto request = decode_request(input);
    if (request) {
        // What decodes must encode again.
        (void)encode_request(*request);
    }
    (void)decode_reply(input);
    return 0;
}
