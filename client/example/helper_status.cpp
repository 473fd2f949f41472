// helper_status [SOCKET [NAMESPACE]]: the helper's version and whether the namespace's service
// is installed. Exit status: 0 answered, 1 the helper could not answer, 2 nothing serves the
// socket.
#include <corvana/helper_client.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

int failed(const corvana::error& error) {
    std::fprintf(stderr, "helper_status: %s [%s]\n", error.message.c_str(),
                 corvana::to_string(error.kind));
    return error.kind == corvana::error_kind::unreachable ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string socket = argc > 1 ? argv[1] : corvana::helper_client_t::default_socket_path();
    const std::string namespace_name = argc > 2 ? argv[2] : "corvana";

    auto client = corvana::helper_client_t::connect(socket);
    if (!client) {
        return failed(client.error());
    }
    auto version = client->version();
    if (!version) {
        return failed(version.error());
    }
    // A query answers in milliseconds; five seconds is long enough to mean trouble.
    auto installed = client->is_service_installed(namespace_name, std::chrono::seconds{5});
    if (!installed) {
        return failed(installed.error());
    }
    std::printf("helper %s: service %s is %s\n", version->c_str(), namespace_name.c_str(),
                *installed ? "installed" : "not installed");
    return 0;
}
