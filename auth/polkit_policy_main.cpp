// Writes the polkit action file of the rights table to the path given (at build time).
#include <cstdio>
#include <fstream>

#include "auth/polkit_policy.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: corvana-polkit-policy OUTPUT\n");
        return 2;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << polkit_policy_text();
    out.close();
    return out ? 0 : 1;
}
