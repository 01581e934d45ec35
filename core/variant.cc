#include "core/variant.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/error.h"

namespace ps {
namespace {

std::u16string Widen(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

bool EqualsIgnoreAsciiCase(std::u16string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t c = a[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != static_cast<unsigned char>(b[i])) return false;
  }
  return true;
}

// The number a text spells: optional blanks, sign, digits with an optional
// fraction and exponent. Anything else (including an empty text) spells none.
bool ParseNumber(std::u16string_view text, double* out) {
  std::string ascii;
  for (char16_t c : text) {
    if (c > 0x7F) return false;
    ascii += static_cast<char>(c);
  }
  const auto first = ascii.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  const auto last = ascii.find_last_not_of(' ');
  ascii = ascii.substr(first, last - first + 1);
  std::size_t start = (ascii[0] == '+' || ascii[0] == '-') ? 1 : 0;
  if (start == ascii.size() || ascii[start] == '+' || ascii[start] == '-') return false;
  double value = 0;
  const char* begin = ascii.data() + start;
  const char* end = ascii.data() + ascii.size();
  auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::general);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
  *out = ascii[0] == '-' ? -value : value;
  return true;
}

}  // namespace

Variant Variant::Null() {
  Variant v;
  v.value_ = NullTag{};
  return v;
}

Variant Variant::Array(std::vector<std::u16string> elements) {
  Variant v;
  v.value_ = TextArray{std::move(elements)};
  return v;
}

Variant::Kind Variant::kind() const { return static_cast<Kind>(value_.index()); }

const std::vector<std::u16string>& Variant::Elements() const {
  if (!IsArray()) throw TypeMismatchError();
  return std::get<TextArray>(value_).elements;
}

bool Variant::HasBounds() const { return !Elements().empty(); }

int Variant::LBound() const {
  if (!HasBounds()) throw SubscriptOutOfRangeError();
  return 1;
}

int Variant::UBound() const {
  if (!HasBounds()) throw SubscriptOutOfRangeError();
  return static_cast<int>(Elements().size());
}

const std::u16string& Variant::Element(int index) const {
  const auto& elements = Elements();
  if (index < 1 || static_cast<std::size_t>(index) > elements.size()) {
    throw SubscriptOutOfRangeError();
  }
  return elements[static_cast<std::size_t>(index) - 1];
}

std::u16string Variant::ToText() const {
  switch (kind()) {
    case Kind::kEmpty:
      return {};
    case Kind::kNull:
      throw InvalidUseOfNullError();
    case Kind::kBoolean:
      return AsBool() ? u"True" : u"False";
    case Kind::kNumber: {
      double n = AsNumber();
      if (n == 0) n = 0;  // no "-0"
      if (std::isnan(n)) return u"NaN";
      if (std::isinf(n)) return n > 0 ? u"Infinity" : u"-Infinity";
      char buffer[64];
      auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
      return Widen(std::string_view(buffer, static_cast<std::size_t>(ptr - buffer)));
    }
    case Kind::kText:
      return AsText();
    case Kind::kTextArray:
      break;
  }
  throw TypeMismatchError();
}

bool Variant::ToBool() const {
  switch (kind()) {
    case Kind::kEmpty:
    case Kind::kNull:
      return false;
    case Kind::kBoolean:
      return AsBool();
    case Kind::kNumber:
      return AsNumber() != 0;
    case Kind::kText: {
      std::u16string_view text = AsText();
      const auto first = text.find_first_not_of(u' ');
      const auto last = text.find_last_not_of(u' ');
      const auto trimmed = first == std::u16string_view::npos
                               ? std::u16string_view()
                               : text.substr(first, last - first + 1);
      if (EqualsIgnoreAsciiCase(trimmed, "true")) return true;
      if (EqualsIgnoreAsciiCase(trimmed, "false")) return false;
      double n = 0;
      if (ParseNumber(text, &n)) return n != 0;
      break;
    }
    case Kind::kTextArray:
      break;
  }
  throw TypeMismatchError();
}

}  // namespace ps
