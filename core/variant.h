// The variant value: what the registry listings and reads hand back, and what
// ChooseIf chooses between. Empty and Null are distinct, as callers test them.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace ps {

class Variant {
 public:
  enum class Kind { kEmpty, kNull, kBoolean, kNumber, kText, kTextArray };

  Variant() = default;                                             // empty
  Variant(bool b) : value_(b) {}                                   // NOLINT: implicit on purpose
  Variant(double n) : value_(n) {}                                 // NOLINT
  Variant(int n) : value_(static_cast<double>(n)) {}               // NOLINT
  Variant(std::u16string text) : value_(std::move(text)) {}        // NOLINT
  Variant(const char16_t* text) : value_(std::u16string(text)) {}  // NOLINT

  static Variant Null();
  // A one-based array of texts. With no names it is an array that has no
  // bounds at all (not a 1-to-0 range): LBound/UBound raise on it.
  static Variant Array(std::vector<std::u16string> elements);

  Kind kind() const;
  bool IsEmpty() const { return kind() == Kind::kEmpty; }
  bool IsNull() const { return kind() == Kind::kNull; }
  bool IsArray() const { return kind() == Kind::kTextArray; }

  // Array access. All raise error 13 on a non-array; the bounds and Element()
  // raise error 9 when the array has no bounds or the index lies outside them.
  bool HasBounds() const;
  int LBound() const;
  int UBound() const;
  const std::u16string& Element(int index) const;  // one-based
  const std::vector<std::u16string>& Elements() const;

  // The system's rule for a value's text form: number -> shortest decimal text,
  // Boolean -> "True"/"False", empty -> "", text -> itself; Null raises 94 and
  // an array raises 13.
  std::u16string ToText() const;

  // A value read as a condition: Null and empty -> false, number -> non-zero,
  // Boolean -> itself, text -> the number or Boolean it spells; else error 13.
  bool ToBool() const;

  // Raw access for callers that already checked kind().
  bool AsBool() const { return std::get<bool>(value_); }
  double AsNumber() const { return std::get<double>(value_); }
  const std::u16string& AsText() const { return std::get<std::u16string>(value_); }

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  struct TextArray {
    std::vector<std::u16string> elements;
    friend bool operator==(const TextArray&, const TextArray&) = default;
  };
  std::variant<std::monostate, NullTag, bool, double, std::u16string, TextArray> value_;
};

}  // namespace ps
