#include <iostream>

#include "tools/codesign/codesign_command.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    return codesign_tool::run(arguments, std::cout, std::cerr);
}
