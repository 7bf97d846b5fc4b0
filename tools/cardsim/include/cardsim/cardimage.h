// Reading and writing the card image file (format described in
// src/engine/cardimage.cpp, next to its parser).
#pragma once

#include <string>

#include "cardsim/cardstate.h"

namespace cardsim {

// Throws std::runtime_error naming the line when the file is missing or malformed.
CardState loadCardImage(const std::string& path);
CardState parseCardImage(const std::string& text);
std::string formatCardImage(const CardState& state);
// Writes a temporary file next to `path`, flushes it and renames it over
// `path`, so a reader sees either the old or the new image. Throws
// std::runtime_error on failure.
void saveCardImage(const std::string& path, const CardState& state);

}  // namespace cardsim
