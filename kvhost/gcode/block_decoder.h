// Turns the words of one line into a Block, rejecting anything outside the supported subset.
// Only checks that need no modal state live here; the interpreter checks the rest.
#pragma once

#include <optional>
#include <span>

#include "line_error.h"
#include "line_lexer.h"
#include "program.h"

namespace kvgcode {

// Fills `out` (which should be a fresh Block with its line set) from `words`.
std::optional<LineError> DecodeBlock(std::span<const Word> words, Block& out);

}  // namespace kvgcode
