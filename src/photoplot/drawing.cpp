#include "photoplot/drawing.hpp"

#include <algorithm>
#include <fstream>

namespace foilcad {

namespace {

// Line number line (from 1) of text split at LF, without its line ending.
std::string_view nth_record(std::string_view text, std::size_t line) {
  for (std::size_t number = 1; !text.empty(); ++number) {
    const std::size_t lf = text.find('\n');
    std::string_view record = text.substr(0, lf);
    if (number == line) {
      if (!record.empty() && record.back() == '\r') record.remove_suffix(1);
      return record;
    }
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return {};
}

}  // namespace

std::span<const std::uint32_t> Drawing::nets_of(std::size_t object) const {
  const auto after =
      std::upper_bound(net_runs.begin(), net_runs.end(), object,
                       [](std::size_t k, const NetRun& run) { return k < run.first_object; });
  if (after == net_runs.begin()) return {};
  const NetRun& run = *(after - 1);
  return {run_nets.data() + run.first_net, run.net_count};
}

std::string Drawing::record(std::size_t line) const {
  if (text) return std::string(nth_record(*text, line));
  // Only a message needs it: the file is read again up to that line.
  std::ifstream in(name, std::ios::binary);
  std::string record;
  for (std::size_t number = 1; number <= line && std::getline(in, record); ++number) {
  }
  if (!in) return {};
  if (!record.empty() && record.back() == '\r') record.pop_back();
  return record;
}

}  // namespace foilcad
