// Temporary entry point; the command-line front end replaces it.
#include <cstdio>

int main() {
    std::fprintf(stderr, "Updater: command line front end not built yet\n");
    return 1;
}
