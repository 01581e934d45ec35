// Vendor names for MAC addresses, from the IEEE registries as CSV files
// (Debian's ieee-data package: oui.csv for MA-L, mam.csv for MA-M, oui36.csv
// for MA-S and iab.csv for the older IAB blocks). Loaded once; immutable and
// safe to share between threads afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/mac_address.h"
#include "core/status.h"

namespace ps::sweep {

// What a locally administered (randomised) address shows instead of a vendor.
inline constexpr std::string_view kPrivateAddressVendor = "private address";

class VendorRegistry {
 public:
  // Where Debian installs the registries.
  static constexpr const char* kSystemFolder = "/usr/share/ieee-data";

  // Loads every registry file found in `folder`, or says why none could be
  // read. A file that cannot be read or holds no entry is named in
  // problems() without failing the load.
  static Result<VendorRegistry> Load(const std::string& folder);
  // The files Load() left out, and why ("" when none).
  const std::string& problems() const { return problems_; }

  // Adds the entries of one registry CSV text (header row, then
  // "Registry,Assignment,Organization Name,..."; RFC 4180 quoting). The prefix
  // length comes from each assignment's width: 6, 7 or 9 hex digits for 24, 28
  // or 36 bits. Rows that do not parse are skipped. Returns how many were
  // added. Call Finish() before the first lookup.
  std::size_t AddCsv(std::string_view csv);
  // Sorts the tables; the first entry of a repeated prefix wins.
  void Finish();

  // The organisation owning the longest registered prefix of `mac` (36, then
  // 28, then 24 bits), kPrivateAddressVendor for a locally administered
  // address, "" when unknown. Valid as long as the registry.
  std::string_view Lookup(const MacAddress& mac) const;

  std::size_t size() const { return tables_[0].size() + tables_[1].size() + tables_[2].size(); }

 private:
  struct Entry {
    std::uint64_t prefix;
    std::uint32_t name_offset;
    std::uint32_t name_size;
  };
  // Indexed by kind: 0 = 36 bits, 1 = 28 bits, 2 = 24 bits (lookup order).
  std::vector<Entry> tables_[3];
  std::string names_;
  std::string problems_;
};

}  // namespace ps::sweep
