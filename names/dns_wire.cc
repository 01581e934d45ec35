#include "names/dns_wire.h"

#include <algorithm>

namespace ps::names {
namespace {

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

bool PutName(std::vector<std::uint8_t>& out, std::string_view name) {
  if (name.size() + 2 > kMaxName) return false;
  while (!name.empty()) {
    const std::size_t dot = std::min(name.find('.'), name.size());
    if (dot == 0 || dot > 63) return false;
    out.push_back(static_cast<std::uint8_t>(dot));
    out.insert(out.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(dot));
    name.remove_prefix(std::min(dot + 1, name.size()));
  }
  out.push_back(0);
  return true;
}

// Reads the name at `*at` into `name` and moves `*at` past it (past the
// first pointer when compressed). Pointers go strictly backwards, so no loop
// can be followed; their number is capped all the same.
bool ReadName(std::span<const std::uint8_t> b, std::size_t* at, std::string* name) {
  name->clear();
  std::size_t pos = *at;
  std::size_t wire = 1;  // the final zero
  bool jumped = false;
  for (int pointers = 0;;) {
    if (pos >= b.size()) return false;
    const std::uint8_t len = b[pos];
    if (len == 0) {
      if (!jumped) *at = pos + 1;
      return true;
    }
    if ((len & 0xC0) == 0xC0) {
      if (pos + 1 >= b.size() || ++pointers > kMaxPointers) return false;
      const std::size_t target = static_cast<std::size_t>((len & 0x3F) << 8 | b[pos + 1]);
      if (target >= pos) return false;
      if (!jumped) *at = pos + 2;
      jumped = true;
      pos = target;
      continue;
    }
    if ((len & 0xC0) != 0 || pos + 1 + len > b.size()) return false;
    wire += len + 1u;
    if (wire > kMaxName) return false;
    if (!name->empty()) *name += '.';
    for (std::size_t i = pos + 1; i < pos + 1 + len; ++i) {
      if (b[i] == '.' || b[i] == '\\') *name += '\\';  // keeps label bounds unambiguous
      *name += static_cast<char>(b[i]);
    }
    pos += 1u + len;
  }
}

// One resource record at `*at`; false when it runs past the end.
bool ReadRecord(std::span<const std::uint8_t> b, std::size_t* at, DnsRecord* r) {
  if (!ReadName(b, at, &r->name) || *at + 10 > b.size()) return false;
  r->type = Get16(b, *at);
  r->klass = Get16(b, *at + 2) & 0x7FFF;
  const std::size_t length = Get16(b, *at + 8);
  const std::size_t start = *at + 10;
  if (start + length > b.size()) return false;
  *at = start + length;
  const auto rdata = b.subspan(0, start + length);  // names may point back
  if (r->type == kTypePtr) {
    std::size_t p = start;
    return ReadName(rdata, &p, &r->target) && p == start + length;
  }
  if (r->type == kTypeSrv) {
    std::size_t p = start + 6;
    return length > 6 && ReadName(rdata, &p, &r->target) && p == start + length;
  }
  if (r->type == kTypeA && length == 4) {
    r->address = IpAddress::V4(static_cast<std::uint32_t>(Get16(b, start)) << 16 | Get16(b, start + 2));
  } else if (r->type == kTypeAaaa && length == 16) {
    std::array<std::uint8_t, 16> a;
    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(start), 16, a.begin());
    r->address = IpAddress::V6(a);
  }
  return true;
}

}  // namespace

std::string ReverseName(const IpAddress& address) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  const std::uint8_t* d = address.data();
  for (std::size_t i = address.size(); i-- > 0;) {
    if (address.is_v4()) {
      out += std::to_string(d[i]);
    } else {
      out += kHex[d[i] & 0xF];
      out += '.';
      out += kHex[d[i] >> 4];
    }
    out += '.';
  }
  return out + (address.is_v4() ? "in-addr.arpa" : "ip6.arpa");
}

std::vector<std::uint8_t> EncodeQuery(std::uint16_t id, std::span<const DnsQuestion> questions) {
  std::vector<std::uint8_t> out;
  Put16(out, id);
  Put16(out, 0);  // a query, RD clear: nothing here recurses
  Put16(out, static_cast<std::uint16_t>(questions.size()));
  for (int i = 0; i < 3; ++i) Put16(out, 0);
  for (const DnsQuestion& q : questions) {
    if (!PutName(out, q.name)) return {};
    Put16(out, q.type);
    Put16(out, q.klass);
  }
  return out;
}

std::optional<DnsMessage> ParseMessage(std::span<const std::uint8_t> b) {
  if (b.size() < 12) return std::nullopt;
  DnsMessage m;
  m.id = Get16(b, 0);
  m.flags = Get16(b, 2);
  const std::size_t questions = Get16(b, 4);
  const std::size_t records = std::size_t{Get16(b, 6)} + Get16(b, 8) + Get16(b, 10);
  std::size_t at = 12;
  for (std::size_t i = 0; i < questions; ++i) {
    DnsQuestion q;
    if (i >= kMaxRecords || !ReadName(b, &at, &q.name) || at + 4 > b.size()) return std::nullopt;
    q.type = Get16(b, at);
    q.klass = Get16(b, at + 2);
    at += 4;
    m.questions.push_back(std::move(q));
  }
  for (std::size_t i = 0; i < records && i < kMaxRecords; ++i) {
    DnsRecord r;
    if (!ReadRecord(b, &at, &r)) break;  // cut short: keep what came before
    m.records.push_back(std::move(r));
  }
  return m;
}

bool SameName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace ps::names
