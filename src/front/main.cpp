#include <csignal>

#include "front/Batch.h"
#include "front/Main.h"

int main(int argc, char** argv) {
    // A file-size limit must surface as a write error, not kill the process mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
    if (IsBatchCall(argc, argv)) return RunBatch(argc, argv);
    return RunApplication(argc, argv);
}
