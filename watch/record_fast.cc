#include "watch/record_fast.h"

#include <charconv>
#include <cstdint>

namespace ps::watch::internal {
namespace {

// A cursor over the record; every reader returns false to decline.
class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool Eat(char c) {
    Skip();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool Peek(char c) {
    Skip();
    return p_ != end_ && *p_ == c;
  }
  bool AtEnd() {
    Skip();
    return p_ == end_;
  }
  // Printable ASCII without escapes.
  bool String(std::string_view* out) {
    if (!Eat('"')) return false;
    const char* start = p_;
    for (; p_ != end_ && *p_ != '"'; ++p_) {
      const auto c = static_cast<unsigned char>(*p_);
      if (c < 0x20 || c >= 0x7f || c == '\\') return false;
    }
    if (p_ == end_) return false;
    *out = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }
  bool String(std::string* out) {
    std::string_view view;
    if (!String(&view)) return false;
    out->assign(view);
    return true;
  }
  // A JSON integer: no '+', no leading zero, no fraction or exponent.
  bool Int(std::int64_t* out) {
    Skip();
    const char* digits = p_ != end_ && *p_ == '-' ? p_ + 1 : p_;
    if (digits + 1 < end_ && digits[0] == '0' && digits[1] >= '0' && digits[1] <= '9') return false;
    const auto [next, ec] = std::from_chars(p_, end_, *out);
    if (ec != std::errc() || next == p_ ||
        (next != end_ && (*next == '.' || *next == 'e' || *next == 'E'))) {
      return false;
    }
    p_ = next;
    return true;
  }
  bool Bool(bool* out) {
    Skip();
    const std::string_view rest(p_, static_cast<std::size_t>(end_ - p_));
    if (rest.starts_with("true"))
      *out = true;
    else if (rest.starts_with("false"))
      *out = false;
    else
      return false;
    p_ += *out ? 4 : 5;
    return true;
  }
  // '[' item (',' item)* ']' or '[]'.
  template <typename Item>
  bool Array(Item&& item) {
    if (!Eat('[')) return false;
    if (Eat(']')) return true;
    do {
      if (!item()) return false;
    } while (Eat(','));
    return Eat(']');
  }

 private:
  void Skip() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\t' || *p_ == '\r')) ++p_;
  }
  const char* p_;
  const char* end_;
};

enum Field : unsigned {
  kAddresses = 1,
  kFirst = 2,
  kLast = 4,
  kMac = 8,
  kNames = 16,
  kVendor = 32,
  kRandomized = 64,
  kOnline = 128,
  kMissed = 256,
};
constexpr unsigned kRequired =
    kAddresses | kFirst | kLast | kNames | kVendor | kRandomized | kOnline;

bool ReadField(Reader& r, std::string_view key, Device* d, unsigned* seen) {
  if (key == "addresses") {
    *seen |= kAddresses;
    return r.Array([&] {
      std::string_view text;
      SeenAddress a;
      if (!r.Eat('[') || !r.String(&text) || !r.Eat(',') || !r.Int(&a.last_seen) || !r.Eat(']'))
        return false;
      const auto address = IpAddress::Parse(text);
      if (!address) return false;
      a.address = *address;
      d->addresses.push_back(a);
      return true;
    });
  }
  if (key == "names") {
    *seen |= kNames;
    return r.Array([&] {
      NameBy n;
      if (!r.Eat('[') || !r.String(&n.source) || !r.Eat(',') || !r.String(&n.name) || !r.Eat(']'))
        return false;
      d->names.push_back(std::move(n));
      return true;
    });
  }
  if (key == "mac") {
    *seen |= kMac;
    std::string_view text;
    if (!r.String(&text)) return false;
    d->mac = MacAddress::Parse(text);
    return d->mac.has_value();
  }
  std::int64_t missed = 0;
  if (key == "first_seen") return (*seen |= kFirst, r.Int(&d->first_seen));
  if (key == "last_seen") return (*seen |= kLast, r.Int(&d->last_seen));
  if (key == "vendor") return (*seen |= kVendor, r.String(&d->vendor));
  if (key == "randomized") return (*seen |= kRandomized, r.Bool(&d->randomized));
  if (key == "online") return (*seen |= kOnline, r.Bool(&d->online));
  if (key == "missed") {
    *seen |= kMissed;
    if (!r.Int(&missed) || missed < 0 || missed > 1'000'000) return false;
    d->missed = static_cast<int>(missed);
    return true;
  }
  return false;  // a field this reader does not know
}

}  // namespace

std::optional<Device> ReadPlainRecord(std::string_view record) {
  Reader r(record);
  Device d;
  unsigned seen = 0;
  if (!r.Eat('{')) return std::nullopt;
  if (!r.Peek('}')) {
    do {
      std::string_view key;
      if (!r.String(&key) || !r.Eat(':')) return std::nullopt;
      const unsigned before = seen;
      if (!ReadField(r, key, &d, &seen) || seen == before) return std::nullopt;  // twice
    } while (r.Eat(','));
  }
  if (!r.Eat('}') || !r.AtEnd() || (seen & kRequired) != kRequired) return std::nullopt;
  return d;
}

}  // namespace ps::watch::internal
