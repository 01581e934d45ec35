#include "cli/sweep/result_lines.h"

namespace ps::cli {

ResultLines::ResultLines(const sweep::HostResults& results, bool all,
                         NameLookups* names, HostMacs* macs, std::ostream& err,
                         const std::string& prefix)
    : results_(results), names_(names), macs_(macs), err_(err), prefix_(prefix) {
  shown_.reserve(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (all || results[i].outcome == sweep::Outcome::kAnswered)
      shown_.push_back(static_cast<std::uint32_t>(i));
  }
}

const HostLine& ResultLines::Get(std::size_t i) {
  const sweep::HostResult& r = results_[shown_[i]];
  line_.result = r;
  line_.mac.clear();
  line_.vendor.clear();
  const MacAddress* mac = r.outcome == sweep::Outcome::kAnswered ? macs_->Find(r.address) : nullptr;
  if (mac != nullptr) {
    line_.mac = mac->ToString();
    line_.vendor = vendors_.Of(*mac, err_, prefix_);
  }
  if (names_ != nullptr) names_->Fill(&line_);
  return line_;
}

}  // namespace ps::cli
