#pragma once

// Clients that make admission work hard, played by a copy of the benchmark program itself: with
// CORVANA_BENCH_ROLE set, a static initialiser plays the role before main and ends the process.
//   huge-mapping  maps a root-owned file executable over about 126 TiB of address space (no
//                 page touched), makes itself non-dumpable, prints "ready" and waits for its
//                 standard input to close
//   flood N       the same mapping, then N rounds of 16 connections to the daemon at once, each
//                 waited for until the daemon closes it; prints "done" and ends
//   flood-plain N the same rounds without the mapping: what any unsigned process costs
//   many-mappings  holds 60,000 mappings of one page each (about the most the kernel allows),
//                 makes itself non-dumpable, prints "ready" and waits for its standard input
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <corvana/helper_client.h>

#include "platform/ipc/frame_io.h"

namespace bench_roles {

inline constexpr std::size_t k_connections_per_process = 16;

// Returns how many TiB it mapped.
inline std::size_t map_huge_executable(const char* path) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    constexpr std::size_t tib = std::size_t{1} << 40;
    std::size_t mapped = 0;
    for (std::size_t chunk = 64 * tib; chunk >= tib && mapped < 126 * tib;) {
        void* at =
            ::mmap(nullptr, chunk, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_NORESERVE, fd, 0);
        if (at == MAP_FAILED) {
            chunk /= 2;
            continue;
        }
        mapped += chunk;
    }
    ::close(fd);
    return mapped / tib;
}

// Separate mappings: neighbours alternate their protection, so the kernel can't merge them.
inline std::size_t map_many_pages(std::size_t count) {
    std::size_t mapped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        int protection = (i % 2 == 0) ? PROT_READ : PROT_READ | PROT_WRITE;
        if (::mmap(nullptr, 4096, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) == MAP_FAILED) {
            break;
        }
        ++mapped;
    }
    return mapped;
}

inline void say(const std::string& line) {
    std::string text = line + "\n";
    [[maybe_unused]] auto n = ::write(STDOUT_FILENO, text.data(), text.size());
}

inline void flood(int rounds) {
    const std::string path = corvana::helper_client_t::default_socket_path();
    for (int round = 0; round < rounds; ++round) {
        std::vector<unique_fd> held;
        for (std::size_t i = 0; i < k_connections_per_process; ++i) {
            held.push_back(connect_unix_socket(path).value_or(unique_fd()));
        }
        for (auto& fd : held) {
            char byte;
            while (fd && ::read(fd.get(), &byte, 1) > 0) {
            }
        }
    }
}

inline bool play() {
    const char* role = std::getenv("CORVANA_BENCH_ROLE");
    if (role == nullptr) {
        return false;
    }
    if (std::strcmp(role, "many-mappings") == 0) {
        std::size_t mapped = map_many_pages(60000);
        ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
        say("ready " + std::to_string(mapped) + " mappings");
        char byte;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
        ::_exit(0);
    }
    const bool plain = std::strncmp(role, "flood-plain ", 12) == 0;
    std::size_t tib = plain ? 0 : map_huge_executable("/bin/true");
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    if (std::strcmp(role, "huge-mapping") == 0) {
        say("ready " + std::to_string(tib) + " TiB");
        char byte;
        while (::read(STDIN_FILENO, &byte, 1) > 0) {
        }
    } else if (std::strncmp(role, "flood ", 6) == 0 || plain) {
        flood(std::atoi(std::strchr(role, ' ') + 1));
        say("done");
    }
    ::_exit(0);
}

[[maybe_unused]] inline const bool k_played = play();

}  // namespace bench_roles
