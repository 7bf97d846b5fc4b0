// slots_with_bench COMMAND [ARGS...]: runs a PC/SC client program against a
// private pcscd with the two vpcd readers and a pin-pad reader (no cards),
// then stops the daemon by its PID. Used for real clients that initialise the
// module (pkcs11-tool, PyKCS11), which needs a PC/SC service to do so.
// Exits with the command's status; 77 (skipped) when the bench cannot be
// built here.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "bench/bench.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    if (!bench::Bench::toolsAvailable()) {
        std::fprintf(stderr, "slots_with_bench: cardsim or libifdzentrik.so was not built\n");
        return 77;
    }
    try {
        bench::BenchConfig config;
        config.readers = {{"Zentrik PinPad", bench::ReaderSpec::Kind::PINPAD}};
        bench::Bench bench(config);  // sets PCSCLITE_CSOCK_NAME for the child
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0) {
            ::execvp(argv[1], argv + 1);
            std::perror(argv[1]);
            ::_exit(127);
        }
        int status = 0;
        while (::waitpid(child, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "slots_with_bench: %s\n", e.what());
        return 1;
    }
}
