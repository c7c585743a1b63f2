#include "app/driver.h"

#include <cstdio>

int dravex_run(int argc, char** argv) {
    if (argc < 3 || !argv[1] || !argv[1][0] || !argv[2] || !argv[2][0]) {
        std::printf("Usage: dravex.exe src.jp2 dst.bmp\n");
        return -1;
    }
    return -1;
}
