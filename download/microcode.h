// The microcode download's pure pieces.
#pragma once

#include <cstdint>
#include <vector>

#include "download/pieces.h"

inline constexpr uint32_t kMicrocodeHeaderSize = 48;  // sent in front of every piece
inline constexpr uint32_t kMicrocodePieceSize = 512;
// The largest image whose last piece is still copied from inside the 1 MiB buffer.
inline constexpr uint32_t kMicrocodeImageMax = 1048576 - kMicrocodePieceSize + kMicrocodeHeaderSize;

// The microcode write commands for an image of S bytes: offsets count from the end of the header.
std::vector<Piece> PlanMicrocodePieces(uint32_t S);
