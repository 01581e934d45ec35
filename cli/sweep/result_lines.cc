#include "cli/sweep/result_lines.h"

#include <algorithm>

namespace ps::cli {

ResultLines::ResultLines(const sweep::HostResults& results, bool all,
                         NameLookups* names, HostMacs* macs, std::ostream& err,
                         const std::string& prefix)
    : results_(results), names_(names), macs_(macs), err_(err), prefix_(prefix) {
  const auto shown = [all](const sweep::HostResult& r) {
    return all || r.outcome == sweep::Outcome::kAnswered;
  };
  const auto count = static_cast<std::size_t>(std::count_if(results.begin(), results.end(), shown));
  // Every result shown: no list of indices (a /16's was 256 KB of fresh pages).
  all_shown_ = count == results.size();
  if (all_shown_) return;
  shown_.reserve(count);
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (shown(results[i])) shown_.push_back(static_cast<std::uint32_t>(i));
  }
}

const HostLine& ResultLines::Get(std::size_t i) {
  const sweep::HostResult& r = results_[all_shown_ ? i : shown_[i]];
  line_.result = r;
  line_.mac.clear();
  line_.vendor.clear();
  const MacAddress* mac = r.outcome == sweep::Outcome::kAnswered ? macs_->Find(r.address) : nullptr;
  if (mac != nullptr) {
    // Into the line's own string: 17 characters are past the short-string
    // buffer, so a new string a line was an allocation and a free.
    char text[MacAddress::kText];
    line_.mac.assign(text, mac->WriteText(text));
    line_.vendor = vendors_.Of(*mac, err_, prefix_);
  }
  if (names_ != nullptr) names_->Fill(&line_);
  return line_;
}

}  // namespace ps::cli
