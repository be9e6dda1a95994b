// Filled regions: a closed contour becomes axis-aligned rectangles.
//
// Lengths are millimetres. A region is a polygon filled by the even-odd rule,
// which is how copper pours with cut-in clearance holes are written: a
// contour that runs in to a hole, around it and back out along the same line
// keeps the hole, because the line walked twice cancels itself.
//
// The region is swept bottom to top in rows. Rows never contain a vertex, so
// within a row every edge runs straight from the row's bottom to its top.
// Where every edge crossing a row is vertical, the row's rectangles are the
// region exactly. Where some edge is slanted, the row is cut into rows no
// taller than the requested height, and each rectangle reaches as far left
// and right as the region reaches anywhere within its row: the cover never
// loses copper, and its excess stays within a row's height of the slanted
// edges.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/box.hpp"

namespace foilcad {

// Bounds that keep one call's memory and time finite whatever the contour.
struct RegionLimits {
  // Rows made by cutting slanted rows, over the contour's whole height. When
  // the requested row height would need more, the rows are made uniformly
  // taller instead: the cover stays conservative, only coarser. A contour
  // that needs this is over 10 m tall at 0.1 mm rows, far beyond any board;
  // a higher bound let a 3 kB file spend seconds making millions of rows.
  std::size_t subdivision_rows = 100'000;
  // Rectangles one call may append.
  std::size_t rectangles = 10'000'000;
  // Work: the sum over all rows of the edges crossing each row, a few seconds'
  // worth. A pour of 20,000 vertices needs well under a million; a contour
  // built to keep many edges active over many rows could otherwise keep a
  // call busy for hours. Callers that fill many regions hand each call what
  // is left of a budget for all of them.
  std::size_t edge_visits = 250'000'000;
};

// What fill_region throws when a limit is reached, and which.
struct RegionTooComplex : std::length_error {
  enum class Limit { rectangles, edge_visits };
  RegionTooComplex(Limit which, const std::string& what) : std::length_error(what), limit(which) {}
  Limit limit;
};

// Covers the region bounded by the closed contour (the last point joins the
// first; arcs arrive flattened into points) with axis-aligned rectangles,
// filled by the even-odd rule, and appends them to out. The rectangles do not
// overlap. Where vertical edges bound a rectangle on both sides, consecutive
// rows with the same sides are joined into one rectangle.
//
// Rows crossed by a slanted edge are no taller than max_slab_height; a value
// that is not a positive finite number sets no limit (each row then spans
// from one vertex height to the next).
//
// Input that makes no area gives nothing: fewer than three points, a contour
// whose points all lie on one line, edges that cancel. A contour with a
// non-finite coordinate, or whose extent overflows a double, gives nothing
// either; telling the user is the caller's business. Edges that coincide
// within a relative 1e-12 cancel each other, so slivers thinner than that
// may be dropped.
//
// Returns the work done, counted as limits.edge_visits counts it. Throws
// RegionTooComplex when the cover would exceed limits.rectangles or the work
// limits.edge_visits; out is then left as it was.
std::size_t fill_region(std::span<const Point> contour, double max_slab_height,
                        std::vector<Box>& out, const RegionLimits& limits);

// The same with the default limits.
std::size_t fill_region(std::span<const Point> contour, double max_slab_height,
                        std::vector<Box>& out);

}  // namespace foilcad
