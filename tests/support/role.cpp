#include "tests/support/role.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

namespace tests {
namespace {

constexpr std::string_view k_role_option = "--corvana-role=";

// Filled by the roles' static registrations, before main.
std::map<std::string, void (*)(), std::less<>>& roles() {
    static std::map<std::string, void (*)(), std::less<>> table;
    return table;
}

class role_test_t : public testing::Test {
  public:
    explicit role_test_t(void (*body)()) : body_(body) {}
    void TestBody() override { body_(); }

  private:
    void (*body_)();
};

}  // namespace

role_t::role_t(const char* name, void (*body)()) {
    if (!roles().emplace(name, body).second) {
        std::fprintf(stderr, "two roles are named %s\n", name);
        std::abort();
    }
}

std::string role_argument(const std::string& role) {
    return std::string(k_role_option) + role;
}

std::vector<std::string> role_command(const std::string& executable, const std::string& role) {
    return {executable, role_argument(role)};
}

void select_role(int& argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (!option.starts_with(k_role_option)) {
            continue;
        }
        const std::string name(option.substr(k_role_option.size()));
        for (int j = i; j < argc; ++j) {
            argv[j] = argv[j + 1];  // argv[argc] is the null pointer
        }
        --argc;
        auto found = roles().find(name);
        if (found == roles().end()) {
            std::fprintf(stderr, "%s: no role named %s\n", argv[0], name.c_str());
            std::exit(2);
        }
        void (*body)() = found->second;
        testing::RegisterTest("Role", name.c_str(), nullptr, nullptr, __FILE__, __LINE__,
                              [body]() -> role_test_t* { return new role_test_t(body); });
        GTEST_FLAG_SET(filter, "Role." + name);
        return;
    }
}

}  // namespace tests
