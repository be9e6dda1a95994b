// The objects of a drawing traced into pieces: every flash, stroke, arc and
// region as the contours it covers, and every step and repeat copy of them,
// in file order. The booleans (tiles.hpp) apply them to the copper.
#pragma once

#include <cstddef>
#include <vector>

#include "exact/clipper_units.hpp"
#include "exact/exact.hpp"

namespace foilcad::exact {

// One object, or one step and repeat copy of it: contours counterclockwise
// with clockwise holes, to be united by the nonzero rule.
// Marks a piece that no object of the drawing made (a plated hole's ring).
inline constexpr std::size_t kNoObject = SIZE_MAX;

struct Piece {
  bool clear;         // removes copper (adds it in a negative image)
  std::size_t first;  // its first contour in Pieces::contours
  std::size_t count;  // how many contours
  std::size_t vertices;
  UnitBox box;  // never empty
  // The drawing object it is, or is a copy of (Drawing::objects), or kNoObject.
  std::size_t object = kNoObject;
};

struct Pieces {
  std::vector<ClipperLib::Path> contours;  // piece after piece
  std::vector<Piece> pieces;               // copies behind their block
  std::size_t vertices = 0;                // of all contours

  PathSpan contours_of(const Piece& p) const { return {contours.data() + p.first, p.count}; }
};

// The drawing's objects from the first after its frame on, in units,
// placed on the device. Every piece lies within the range Clipper computes in
// exactly (±loRange). Chords stand off their circles by at most
// max(options.tolerance, one unit).
//
// Throws foilcad::Error naming the line of the object (or the aperture's
// definition, or the step and repeat block) that cannot be traced or that
// takes the drawing past options.limits: step and repeat copies are counted
// before they are made.
Pieces trace_pieces(const Drawing& drawing, const ExactOptions& options);

}  // namespace foilcad::exact
