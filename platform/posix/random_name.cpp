#include "platform/posix/random_name.h"

#include <sys/random.h>

#include <cerrno>
#include <vector>

result<std::string> random_name(const std::string& prefix, std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    const ssize_t got = ::getrandom(random.data(), random.size(), 0);
    if (got != static_cast<ssize_t>(random.size())) {
        return result<>::system_failure(got < 0 ? errno : EAGAIN,
                                        "the kernel gave no random bytes");
    }
    static constexpr char k_hex[] = "0123456789abcdef";
    std::string name = prefix;
    for (unsigned char byte : random) {
        name += k_hex[byte >> 4];
        name += k_hex[byte & 0x0f];
    }
    return name;
}
