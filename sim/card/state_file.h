#pragma once

#include <string>

#include "sim/card/card.h"

namespace qe::sim::card {

// The card's memory in a file: lifecycle, PIN and PUK with their tries, private keys, files.
// Saving replaces the file atomically, so a card pulled at any moment keeps either the state
// before the command or after it. A missing file is a fresh card.
// `text` in place of the file at `path`, by a rename: either the old or the new is there.
bool ReplaceFile(const std::string& path, const std::string& text);
bool SaveCard(const Card& card, const std::string& path);
bool LoadCard(Card& card, const std::string& path, std::string& error);

}  // namespace qe::sim::card
