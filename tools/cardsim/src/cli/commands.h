// The subcommands of the `cardsim` program; each returns the exit code.
#pragma once

namespace cardsim::cli {

int initCommand(int argc, char** argv);
int inspectCommand(int argc, char** argv);

}  // namespace cardsim::cli
