#include <csignal>

#include "front/OpenPicture.h"

int main(int argc, char** argv) {
    // A file-size limit must surface as a write error, not kill the process mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
    return RunOpenApplication(argc, argv);
}
