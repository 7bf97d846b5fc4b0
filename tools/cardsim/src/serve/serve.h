#pragma once

namespace cardsim {

// `cardsim serve ...`: connects a card image to a reader as the card.
// argv[0] is "serve". Returns the process exit code.
int serveCommand(int argc, char** argv);

}  // namespace cardsim
