// cardsim: personalise, inspect and serve simulated Ferrix cards.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "serve/serve.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: cardsim init IMAGE [options]   personalise a new card (see --help)\n"
                 "       cardsim inspect IMAGE          print the card's content\n"
                 "       cardsim serve ...              connect a card to a reader\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "init") == 0) return cardsim::cli::initCommand(argc - 1, argv + 1);
    if (std::strcmp(command, "inspect") == 0) return cardsim::cli::inspectCommand(argc - 1, argv + 1);
    if (std::strcmp(command, "serve") == 0) return cardsim::serveCommand(argc - 1, argv + 1);
    usage();
    return 2;
}
