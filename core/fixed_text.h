// Fixed-length text: always exactly N UTF-16 characters. Assignment writes from
// the left and blank-fills (U+0020); a longer text is cut at N.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace ps {

template <std::size_t N>
class FixedText {
 public:
  FixedText() { chars_.fill(u' '); }
  explicit FixedText(std::u16string_view text) { Assign(text); }

  FixedText& operator=(std::u16string_view text) {
    Assign(text);
    return *this;
  }

  void Assign(std::u16string_view text) {
    for (std::size_t i = 0; i < N; ++i) chars_[i] = i < text.size() ? text[i] : u' ';
  }

  static constexpr std::size_t size() { return N; }
  std::u16string_view View() const { return {chars_.data(), N}; }
  std::u16string Str() const { return std::u16string(View()); }
  char16_t operator[](std::size_t i) const { return chars_[i]; }
  char16_t* data() { return chars_.data(); }
  const char16_t* data() const { return chars_.data(); }

  friend bool operator==(const FixedText&, const FixedText&) = default;

 private:
  std::array<char16_t, N> chars_;
};

}  // namespace ps
