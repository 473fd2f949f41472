#include "platform/posix/write_all.h"

#include <unistd.h>

#include <cerrno>

result<> write_all(int fd, const void* bytes, std::size_t size) {
    const char* next = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t written = ::write(fd, next, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return result<>::system_failure(errno);
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return result<>::success();
}
