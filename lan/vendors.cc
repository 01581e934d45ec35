#include "lan/vendors.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ps::sweep {
namespace {

constexpr int kPrefixBits[3] = {36, 28, 24};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A cursor over CSV text. Each Field call consumes one field and its
// terminator; `at_row_end` tells whether the row ended with it.
struct CsvCursor {
  const char* p;
  const char* end;
  bool at_row_end = false;

  // Unquoted fields come back as views into the text; quoted ones are
  // unescaped into *scratch.
  std::string_view Field(std::string* scratch) {
    at_row_end = false;
    if (p < end && *p == '"') {
      scratch->clear();
      ++p;
      while (p < end) {
        const char* quote = static_cast<const char*>(std::memchr(p, '"', end - p));
        if (quote == nullptr) quote = end;
        scratch->append(p, quote);
        p = quote + (quote < end ? 1 : 0);
        if (p < end && *p == '"') {
          scratch->push_back('"');
          ++p;
          continue;
        }
        break;
      }
      SkipTerminator();
      return *scratch;
    }
    const char* start = p;
    while (p < end && *p != ',' && *p != '\n' && *p != '\r') ++p;
    std::string_view field(start, p - start);
    SkipTerminator();
    return field;
  }

  void SkipRow(std::string* scratch) {
    while (!at_row_end && p < end) Field(scratch);
  }

 private:
  // Stray text after a closing quote is dropped up to the terminator.
  void SkipTerminator() {
    while (p < end && *p != ',' && *p != '\n' && *p != '\r') ++p;
    if (p >= end) {
      at_row_end = true;
      return;
    }
    if (*p == ',') {
      ++p;
      return;
    }
    at_row_end = true;
    if (*p == '\r') ++p;
    if (p < end && *p == '\n') ++p;
  }
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

Result<std::string> ReadWholeFile(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) return Status::Failure("cannot be read", errno);
  std::string content;
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) content.append(buffer, n);
  if (std::ferror(file.get()) != 0) return Status::Failure("cannot be read", errno);
  return content;
}

}  // namespace

std::size_t VendorRegistry::AddCsv(std::string_view csv) {
  CsvCursor cursor{csv.data(), csv.data() + csv.size()};
  std::string scratch;
  cursor.SkipRow(&scratch);  // the header
  std::size_t added = 0;
  while (cursor.p < cursor.end) {
    cursor.Field(&scratch);  // registry name: the width of the assignment says enough
    if (cursor.at_row_end) continue;
    const std::string_view assignment = cursor.Field(&scratch);
    int kind = -1;
    switch (assignment.size()) {
      case 9: kind = 0; break;
      case 7: kind = 1; break;
      case 6: kind = 2; break;
    }
    std::uint64_t prefix = 0;
    for (char c : assignment) {
      const int digit = HexValue(c);
      if (digit < 0) kind = -1;
      prefix = prefix << 4 | static_cast<unsigned>(digit & 0xf);
    }
    if (cursor.at_row_end || kind < 0) {
      cursor.SkipRow(&scratch);
      continue;
    }
    const std::string_view name = Trim(cursor.Field(&scratch));
    if (!name.empty() && names_.size() + name.size() <= UINT32_MAX) {
      tables_[kind].push_back({prefix, static_cast<std::uint32_t>(names_.size()),
                               static_cast<std::uint32_t>(name.size())});
      names_.append(name);
      ++added;
    }
    cursor.SkipRow(&scratch);
  }
  return added;
}

void VendorRegistry::Finish() {
  for (auto& table : tables_) {
    std::stable_sort(table.begin(), table.end(),
                     [](const Entry& a, const Entry& b) { return a.prefix < b.prefix; });
    table.erase(std::unique(table.begin(), table.end(),
                            [](const Entry& a, const Entry& b) { return a.prefix == b.prefix; }),
                table.end());
  }
}

std::string_view VendorRegistry::Lookup(const MacAddress& mac) const {
  if (mac.IsLocallyAdministered()) return kPrivateAddressVendor;
  const std::uint64_t value = mac.ToUint64();
  for (int kind = 0; kind < 3; ++kind) {
    const std::uint64_t prefix = value >> (48 - kPrefixBits[kind]);
    const auto& table = tables_[kind];
    const auto it = std::lower_bound(table.begin(), table.end(), prefix,
                                     [](const Entry& e, std::uint64_t p) { return e.prefix < p; });
    if (it != table.end() && it->prefix == prefix) {
      return std::string_view(names_).substr(it->name_offset, it->name_size);
    }
  }
  return {};
}

Result<VendorRegistry> VendorRegistry::Load(const std::string& folder) {
  static constexpr const char* kFiles[] = {"oui.csv", "mam.csv", "oui36.csv", "iab.csv"};
  VendorRegistry registry;
  std::string& problems = registry.problems_;
  bool any = false;
  for (const char* file : kFiles) {
    const std::string path = folder + "/" + file;
    const Result<std::string> content = ReadWholeFile(path);
    if (!content.ok()) {
      problems += (problems.empty() ? "" : "; ") + path + ": " + content.status().ToString();
      continue;
    }
    if (registry.AddCsv(content.value()) == 0) {
      problems += (problems.empty() ? "" : "; ") + path + ": no entries";
      continue;
    }
    any = true;
  }
  if (!any) {
    return Status::Failure("no IEEE registry could be read from " + folder +
                           " (install the ieee-data package): " + problems);
  }
  registry.Finish();
  return registry;
}

}  // namespace ps::sweep
