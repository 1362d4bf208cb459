// platform-reg: the registry's command-line tool (see registry/regtool.h).
#include <iostream>
#include <string>
#include <vector>

#include "registry/regtool.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return platform::registry::RunRegTool(args, std::cin, std::cout, std::cerr);
}
