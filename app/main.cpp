#include <cstdio>
#include <cstring>

#include "engine/core/Version.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Lanternfish engine %s\n", EngineVersion());
            return 0;
        }
    }
    std::printf("Lanternfish engine %s\n", EngineVersion());
    return 0;
}
