// The boxes the two solids are made of, found by walking the cell map: every
// cell as a box of its own, or the cells merged into far fewer boxes.
//
// A walk knows nothing of files: it hands each box, in grid-line indices and
// with the side faces it needs, to emit(copper, box). Writing a solid and
// measuring it are the same walk with another emit, so the sizes counted in
// advance are those of the files written.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "geometry/geometry.hpp"

namespace foilcad {

// Which side faces of a box to write.
struct SideFlags {
  bool plus_y = false;
  bool minus_y = false;
  bool plus_x = false;
  bool minus_x = false;

  friend bool operator==(const SideFlags&, const SideFlags&) = default;
};

inline constexpr SideFlags kAllSides{true, true, true, true};

// A box of cells in grid-line indices: it spans lists.x[x1] to lists.x[x2] and
// lists.y[y1] to lists.y[y2], with x1 < x2 and y1 < y2.
struct GridBox {
  std::size_t x1 = 0;
  std::size_t x2 = 0;
  std::size_t y1 = 0;
  std::size_t y2 = 0;
  SideFlags sides;

  friend bool operator==(const GridBox&, const GridBox&) = default;
};

// The sides a cell's box needs: where the neighbour is of the other kind or
// where the grid ends. So a side two cells of one solid share is written by
// neither, and each solid is closed without interior walls.
inline SideFlags cell_sides(const CellMap& map, std::size_t i, std::size_t k) {
  const std::size_t columns = map.columns;
  const std::uint8_t* cell = map.flags.data() + columns * k + i;
  const std::uint8_t flag = *cell;
  return {
      k + 1 == map.rows || cell[columns] != flag,
      k == 0 || *(cell - columns) != flag,
      i + 1 == columns || cell[1] != flag,
      i == 0 || *(cell - 1) != flag,
  };
}

// Every cell as one box, column by column and, within a column, by increasing
// y: the order of the files.
template <class Emit>
void for_each_cell_box(const CellMap& map, Emit&& emit) {
  for (std::size_t i = 0; i < map.columns; ++i) {
    for (std::size_t k = 0; k < map.rows; ++k) {
      emit(map.at(i, k) != 0, GridBox{i, i + 1, k, k + 1, cell_sides(map, i, k)});
    }
  }
}

// The same boxes row by row, along the cell map's memory: for counting them,
// where the order does not matter and this one is several times faster.
template <class Emit>
void for_each_cell_box_by_rows(const CellMap& map, Emit&& emit) {
  for (std::size_t k = 0; k < map.rows; ++k) {
    for (std::size_t i = 0; i < map.columns; ++i) {
      emit(map.at(i, k) != 0, GridBox{i, i + 1, k, k + 1, cell_sides(map, i, k)});
    }
  }
}

// The end of the run of cells equal to row[i] that starts at i: eight cells
// at a time while they all match.
inline std::size_t run_end(const std::uint8_t* row, std::size_t i, std::size_t columns) {
  const std::uint8_t flag = row[i];
  std::size_t end = i + 1;
  const std::uint64_t all = 0x0101010101010101u * flag;
  for (; end + 8 <= columns; end += 8) {
    std::uint64_t word;
    std::memcpy(&word, row + end, 8);
    const std::uint64_t differ = word ^ all;
    if (differ == 0) continue;
    const int bit = std::endian::native == std::endian::little ? std::countr_zero(differ)
                                                               : std::countl_zero(differ);
    return end + static_cast<std::size_t>(bit / 8);
  }
  while (end < columns && row[end] == flag) ++end;
  return end;
}

// Disjoint boxes whose union is exactly the cells of each kind, each box whole
// (all four sides). Every row is cut into maximal runs of one kind; a run
// whose columns and kind are those of a box open in the row below extends
// that box upwards, and a box that no run extends is finished. So the boxes
// come out as the rows are read, and the walk needs the cell map plus two
// lists of at most one box per column.
//
// Boxes meet in T-junctions (a corner of one lies on the edge of another):
// each box is closed, but the faces of a solid do not join into one surface.
template <class Emit>
void for_each_merged_box(const CellMap& map, Emit&& emit) {
  struct Open {
    std::size_t x1;
    std::size_t x2;
    std::size_t y1;
    std::uint8_t flag;
  };
  const std::size_t columns = map.columns;
  const std::size_t rows = map.rows;
  std::vector<Open> open;
  std::vector<Open> next;
  auto finish = [&](const Open& box, std::size_t y2) {
    emit(box.flag != 0, GridBox{box.x1, box.x2, box.y1, y2, kAllSides});
  };
  for (std::size_t k = 0; k < rows; ++k) {
    const std::uint8_t* row = map.flags.data() + columns * k;
    // The open boxes are the runs of the row below: a row equal to it
    // continues every one (bands of equal rows are common: a pour, a bus).
    if (k > 0 && std::memcmp(row, row - columns, columns) == 0) continue;
    next.clear();
    std::size_t j = 0;  // the first open box not yet continued or finished
    for (std::size_t i = 0; i < columns;) {
      const std::uint8_t flag = row[i];
      const std::size_t end = run_end(row, i, columns);
      // Open boxes are disjoint and ascending, so those starting before the
      // run ends are this run's match or are finished here.
      bool continued = false;
      for (; j < open.size() && open[j].x1 < end; ++j) {
        if (open[j].x1 == i && open[j].x2 == end && open[j].flag == flag) {
          next.push_back(open[j]);
          continued = true;
        } else {
          finish(open[j], k);
        }
      }
      if (!continued) next.push_back({i, end, k, flag});
      i = end;
    }
    for (; j < open.size(); ++j) finish(open[j], k);
    open.swap(next);
  }
  for (const Open& box : open) finish(box, rows);
}

}  // namespace foilcad
