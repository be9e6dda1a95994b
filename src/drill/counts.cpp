#include <algorithm>

#include "drill/drill.hpp"

namespace foilcad {

namespace {

void add_diameter(std::vector<DiameterCount>& list, const DiameterCount& d) {
  auto at = std::lower_bound(list.begin(), list.end(), d.diameter,
                             [](const DiameterCount& c, double v) { return c.diameter < v; });
  if (at == list.end() || at->diameter != d.diameter) at = list.insert(at, {d.diameter, 0, 0});
  at->holes += d.holes;
  at->slots += d.slots;
}

}  // namespace

void HoleCounts::add(const Hole& hole) {
  ++holes;
  const bool slot = hole.slot();
  if (slot) ++slots;
  ++by_plating[static_cast<int>(hole.plating)];
  ++by_use[static_cast<int>(hole.use)];
  add_diameter(diameters, {hole.diameter, 1, slot ? 1u : 0u});
}

void HoleCounts::add(const HoleCounts& other) {
  holes += other.holes;
  slots += other.slots;
  for (int i = 0; i < 3; ++i) by_plating[i] += other.by_plating[i];
  for (int i = 0; i < 4; ++i) by_use[i] += other.by_use[i];
  for (const DiameterCount& d : other.diameters) add_diameter(diameters, d);
}

HoleCounts count_holes(const std::vector<Hole>& holes) {
  HoleCounts counts;
  for (const Hole& h : holes) counts.add(h);
  return counts;
}

std::string_view plating_name(Plating plating) {
  switch (plating) {
    case Plating::plated:
      return "plated";
    case Plating::non_plated:
      return "non_plated";
    case Plating::unknown:
      break;
  }
  return "unknown";
}

std::string_view use_name(HoleUse use) {
  switch (use) {
    case HoleUse::via:
      return "via";
    case HoleUse::component:
      return "component";
    case HoleUse::mechanical:
      return "mechanical";
    case HoleUse::unknown:
      break;
  }
  return "unknown";
}

}  // namespace foilcad
