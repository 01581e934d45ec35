#include "sweep/targets.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <system_error>

#include "core/terminal_text.h"

namespace ps::sweep {
namespace {

std::string_view Trim(std::string_view s) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<std::uint32_t> ParseV4Address(std::string_view text) {
  const auto a = IpAddress::Parse(text);
  if (!a || !a->is_v4()) return std::nullopt;
  return a->v4();
}

bool ParseNumber(std::string_view text, unsigned max, unsigned* out) {
  if (text.empty() || text.size() > 10) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return ec == std::errc() && end == text.data() + text.size() && *out <= max;
}

bool LooksNumeric(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '/' || c == '-';
  });
}

// Whether the C library would read `text` as an IPv4 address in one of its
// loose forms (one to four parts, each decimal, 0 octal or 0x hex, as
// inet_aton takes them): the resolver must never see such text, as it would
// answer with that address.
bool LooksLooselyNumeric(std::string_view text) {
  const auto all = [](std::string_view s, auto pred) {
    return std::all_of(s.begin(), s.end(), pred);
  };
  int parts = 0;
  for (std::size_t start = 0;;) {
    const std::size_t dot = text.find('.', start);
    std::string_view part = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (++parts > 4 || part.empty()) return false;
    const bool hex = part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X');
    if (hex) part.remove_prefix(2);
    if (part.empty()) return false;  // "0x" alone is no number to it
    const bool numeric =
        hex ? all(part, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })
            : all(part, [](char c) { return c >= '0' && c <= '9'; });
    if (!numeric) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string Quoted(std::string_view text) { return QuoteText(text); }

__extension__ typedef unsigned __int128 Number;

Number FromV6(const IpAddress& a) {
  Number n = 0;
  for (std::size_t i = 0; i < 16; ++i) n = n << 8 | a.data()[i];
  return n;
}

IpAddress ToV6(Number n) {
  std::array<std::uint8_t, 16> b{};
  for (std::size_t i = 16; i-- > 0; n >>= 8) b[i] = static_cast<std::uint8_t>(n);
  return IpAddress::V6(b);
}

std::optional<Number> ParseV6Number(std::string_view text) {
  const auto a = IpAddress::Parse(text);
  if (!a || a->is_v4()) return std::nullopt;
  return FromV6(*a);
}

unsigned TopBits(Number n, int bits) { return static_cast<unsigned>(n >> (128 - bits)); }

bool IsLinkLocalV6(Number n) { return TopBits(n, 10) == 0x3FA; }

// Why an IPv6 range may not be probed.
Status RefusalV6(Number first, Number last) {
  if (first == 0) return Status::Failure(":: is not a host address");
  if (TopBits(last, 8) == 0xFF)
    return Status::Failure("IPv6 multicast addresses (ff00::/8) are refused");
  if (TopBits(first, 10) <= 0x3FA && TopBits(last, 10) >= 0x3FA)
    return Status::Failure("link-local addresses (fe80::/10) need an interface: use --link-local");
  return Status::Ok();
}

// Why a range may not be probed.
Status Refusal(std::uint32_t first, std::uint32_t last) {
  if (first == 0) return Status::Failure("0.0.0.0 is not a host address");
  if (last == 0xFFFFFFFFu && first == last)
    return Status::Failure("255.255.255.255 is the broadcast address");
  if (last >= 0xE0000000u && first < 0xF0000000u)
    return Status::Failure("multicast addresses (224.0.0.0/4) are refused");
  if (last >= 0xF0000000u) return Status::Failure("reserved addresses (240.0.0.0/4) are refused");
  return Status::Ok();
}

// A failure about `text`: the text quoted, then why.
Status About(std::string_view text, const std::string& why) {
  return Status::Failure(Quoted(text) + ": " + why);
}

// A name is text that holds no '/' and is not numeric, not even in the C
// library's loose forms.
bool IsName(std::string_view text) {
  return text.find('/') == std::string_view::npos && !LooksNumeric(text) &&
         !LooksLooselyNumeric(text);
}

// Calls add() with each line (at most kMaxLineBytes, its line break left
// out) until the end of `in` or the first failure, which is returned naming
// `where` and the line's number.
template <class AddLine>
Status ForEachLine(std::istream& in, const std::string& where, AddLine add) {
  std::vector<char> buffer(kMaxLineBytes + 1);  // getline stores a NUL after the line
  for (int number = 1;; ++number) {
    const auto at = [&] { return where + ":" + std::to_string(number) + ": "; };
    in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    const bool ended = in.eof();
    if (in.fail() && got == 0 && ended) return Status::Ok();  // no more lines
    if (in.fail())
      return Status::Failure(at() + "longer than " + std::to_string(kMaxLineBytes) + " bytes");
    const Status added = add(std::string_view(buffer.data(), ended ? got : got - 1));
    if (!added.ok()) return Status::Failure(at() + added.message());
    if (ended) return Status::Ok();
  }
}

}  // namespace

Status TargetList::ParseV6(std::string_view text, bool adding,
                           std::vector<Range>* out) const {
  const std::size_t slash = text.find('/');
  const std::size_t dash = text.find('-');
  Range r;
  if (slash != std::string_view::npos) {
    const auto base = ParseV6Number(text.substr(0, slash));
    unsigned prefix;
    if (!base || !ParseNumber(text.substr(slash + 1), 128, &prefix))
      return About(text, "not a CIDR block (expected e.g. fd00::/112)");
    const Number mask = prefix == 0 ? 0 : ~Number{0} << (128 - prefix);
    r = Range{*base & mask, (*base & mask) | ~mask};
  } else if (dash != std::string_view::npos) {
    const auto first = ParseV6Number(text.substr(0, dash));
    const std::string_view rest = text.substr(dash + 1);
    std::optional<Number> last;
    unsigned group = 0;
    if (first && !rest.empty() && rest.size() <= 4 &&
        std::from_chars(rest.data(), rest.data() + rest.size(), group, 16).ptr ==
            rest.data() + rest.size()) {
      last = (*first & ~Number{0xFFFF}) | group;
    } else {
      last = ParseV6Number(rest);
    }
    if (!first || !last)
      return About(text, "not an address range (expected e.g. fd00::5-fd00::20)");
    if (*last < *first) return About(text, "the range ends before it starts");
    r = Range{*first, *last};
  } else if (const auto single = ParseV6Number(text)) {
    r = Range{*single, *single};
  } else {
    return About(text, "not an IPv6 address");
  }
  if (r.last - r.first >= kLargeSweep) {
    return About(text, "an IPv6 target holds at most " + std::to_string(kLargeSweep) +
                           " addresses (a /112)");
  }
  if (adding) {
    if (const Status why = RefusalV6(r.first, r.last); !why.ok()) return About(text, why.message());
  }
  out->push_back(r);
  return Status::Ok();
}

Status TargetList::ParseV4(std::string_view text, bool adding, std::vector<Range>* out) const {
  const std::size_t slash = text.find('/');
  const std::size_t dash = text.find('-');
  if (slash != std::string_view::npos) {
    const auto base = ParseV4Address(text.substr(0, slash));
    unsigned prefix;
    if (!base || !ParseNumber(text.substr(slash + 1), 32, &prefix))
      return About(text, "not a CIDR block (expected e.g. 10.0.0.0/24)");
    const std::uint32_t mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
    Range r{*base & mask, (*base & mask) | ~mask};
    if (adding && prefix <= 30 && !rules_.all_addresses) {
      ++r.first;
      --r.last;
    }
    out->push_back(r);
  } else if (dash != std::string_view::npos) {
    const auto first = ParseV4Address(text.substr(0, dash));
    const std::string_view rest = text.substr(dash + 1);
    unsigned last_octet;
    std::optional<std::uint32_t> last;
    if (first && ParseNumber(rest, 255, &last_octet)) {
      last = (*first & 0xFFFFFF00u) | last_octet;
    } else {
      last = ParseV4Address(rest);
    }
    if (!first || !last) return About(text, "not an address range (expected e.g. 10.0.0.5-20)");
    if (*last < *first) return About(text, "the range ends before it starts");
    out->push_back(Range{*first, *last});
  } else if (const auto single = ParseV4Address(text)) {
    out->push_back(Range{*single, *single});
  } else {
    return About(text, "not an IPv4 address");
  }
  return Status::Ok();
}

Status TargetList::ParseName(std::string_view text, Ranges* out) const {
  const Result<std::vector<IpAddress>> resolved =
      resolver_ == nullptr ? Result<std::vector<IpAddress>>(std::vector<IpAddress>{})
                           : resolver_->Resolve(std::string(text));
  const std::string error = resolved.status().ToString();
  if (!resolved.ok() || resolved->empty())
    return About(text, "unknown host" + (error.empty() ? "" : " (" + error + ")"));
  for (const IpAddress& a : resolved.value()) {
    if (a.is_v4()) {
      (*out)[0].push_back(Range{a.v4(), a.v4()});
    } else if (!IsLinkLocalV6(FromV6(a))) {  // a target carries no interface to reach it on
      (*out)[1].push_back(Range{FromV6(a), FromV6(a)});
    }
  }
  if ((*out)[0].empty() && (*out)[1].empty())
    return About(text,
                 "has only IPv6 link-local addresses, which need an interface: use --link-local");
  return Status::Ok();
}

Status TargetList::Parse(std::string_view text, bool adding, Ranges* ranges) const {
  text = Trim(text);
  if (text.empty()) return Status::Failure("empty target");
  // A NUL would cut the text short wherever it is passed on as a C string.
  if (HasControl(text)) return About(text, "holds a control character, which no target does");
  if (text.find(':') != std::string_view::npos) return ParseV6(text, adding, &(*ranges)[1]);
  Ranges found;
  const Status parsed = IsName(text) ? ParseName(text, &found) : ParseV4(text, adding, &found[0]);
  if (!parsed.ok()) return parsed;
  for (const Range& r : found[0]) {
    if (!adding) break;
    const Status why =
        Refusal(static_cast<std::uint32_t>(r.first), static_cast<std::uint32_t>(r.last));
    if (!why.ok()) return About(text, why.message());
  }
  for (const Range& r : found[1]) {
    if (!adding) break;
    if (const Status why = RefusalV6(r.first, r.last); !why.ok()) return About(text, why.message());
  }
  for (int family = 0; family < 2; ++family)
    (*ranges)[family].insert((*ranges)[family].end(), found[family].begin(), found[family].end());
  return Status::Ok();
}

Status TargetList::Add(std::string_view text) { return Parse(text, true, &include_); }

Status TargetList::Exclude(std::string_view text) {
  // An excluded address is never probed, so nothing needs refusing.
  return Parse(text, false, &exclude_);
}

Status TargetList::AddLines(std::istream& in, std::string_view source) {
  const std::string where = EscapeText(source);
  const std::ios::iostate mask = in.exceptions();
  Status status;
  try {
    in.exceptions(std::ios::badbit);  // a read error throws, carrying its reason
    status = ForEachLine(in, where, [&](std::string_view line) {
      const std::string_view target = Trim(line.substr(0, line.find('#')));
      return target.empty() ? Status::Ok() : Add(target);
    });
  } catch (const std::ios_base::failure& e) {
    // The system's error number when the stream kept it, else the stream's own reason.
    const std::error_code code = e.code();
    status = code.category() == std::system_category() || code.category() == std::generic_category()
                 ? Status::Failure(where + ": cannot read", code.value())
                 : Status::Failure(where + ": cannot read: " + code.message());
  }
  in.exceptions(mask);
  return status;
}

void TargetList::AddBlock(const IpAddress& network, int prefix) {
  const std::uint32_t mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
  Range r{network.v4() & mask, (network.v4() & mask) | ~mask};
  if (prefix <= 30 && !rules_.all_addresses) {
    ++r.first;
    --r.last;
  }
  include_[0].push_back(r);
}

std::vector<TargetList::Range> TargetList::Effective(int family) const {
  const auto merge = [](std::vector<Range> v) {
    std::sort(v.begin(), v.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    std::vector<Range> out;
    for (const Range& r : v) {
      if (!out.empty() && (out.back().last == ~Number{0} || out.back().last + 1 >= r.first)) {
        out.back().last = std::max(out.back().last, r.last);
      } else {
        out.push_back(r);
      }
    }
    return out;
  };
  const std::vector<Range> include = merge(include_[family]);
  const std::vector<Range> exclude = merge(exclude_[family]);
  std::vector<Range> out;
  std::size_t e = 0;
  for (Range r : include) {
    while (e < exclude.size() && exclude[e].last < r.first) ++e;
    bool empty = false;
    for (std::size_t k = e; k < exclude.size() && exclude[k].first <= r.last; ++k) {
      if (exclude[k].first > r.first) out.push_back(Range{r.first, exclude[k].first - 1});
      if (exclude[k].last >= r.last) {
        empty = true;
        break;
      }
      r.first = exclude[k].last + 1;
    }
    if (!empty) out.push_back(r);
  }
  return out;
}

std::uint64_t TargetList::Count() const {
  std::uint64_t n = 0;
  for (int family = 0; family < 2; ++family) {
    for (const Range& r : Effective(family)) n += static_cast<std::uint64_t>(r.last - r.first) + 1;
  }
  return n;
}

Result<TargetAddresses> TargetList::Expand() const {
  const std::uint64_t n = Count();
  if (n > kLargestSweep) {
    return Status::Failure(std::to_string(n) + " addresses to probe: one sweep takes at most " +
                           std::to_string(kLargestSweep) + " (a /8)");
  }
  if (n > kLargeSweep && !rules_.allow_large) {
    return Status::Failure(std::to_string(n) + " addresses to probe: more than " +
                           std::to_string(kLargeSweep) + " need --allow-large");
  }
  TargetAddresses out;
  out.reserve(n);
  // IPv4 first, as IpAddress orders them.
  for (const Range& r : Effective(0)) {
    for (Number a = r.first; a <= r.last; ++a)
      out.push_back(IpAddress::V4(static_cast<std::uint32_t>(a)));
  }
  for (const Range& r : Effective(1)) {
    for (Number a = r.first;; ++a) {
      out.push_back(ToV6(a));
      if (a == r.last) break;
    }
  }
  return out;
}

}  // namespace ps::sweep
