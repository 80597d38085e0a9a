#include <cstdio>

int main(int argc, char** argv) {
    std::fprintf(stderr, "usage: pixmorph <input> <code> <output>\n");
    return 2;
}
