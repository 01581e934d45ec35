// The lines pingsweep-cli prints, made from the sweep's results one at a time
// as they are written: a /16 of answering hosts never holds every line (with
// its strings) at once.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/sweep/lan.h"
#include "cli/sweep/output.h"
#include "sweep/engine.h"
#include "cli/sweep/name_lookups.h"

namespace ps::cli {

class ResultLines : public HostSource {
 public:
  // The results to show (`all`: silent ones too), their names from `names`
  // (may be null), MACs from `macs`; a failure to load the vendors is said on
  // `err` after `prefix`. All must outlive this.
  ResultLines(const sweep::HostResults& results, bool all, NameLookups* names,
              HostMacs* macs, std::ostream& err, const std::string& prefix);

  std::size_t size() const override { return all_shown_ ? results_.size() : shown_.size(); }
  const HostLine& Get(std::size_t i) override;

 private:
  const sweep::HostResults& results_;
  std::vector<std::uint32_t> shown_;  // indices into results_, unless
  bool all_shown_ = false;            // every result is shown
  NameLookups* names_;
  HostMacs* macs_;
  VendorNames vendors_;
  std::ostream& err_;
  const std::string& prefix_;
  HostLine line_;
};

}  // namespace ps::cli
