// How the Win32 window and its controls are found: by a test driving them
// with window messages, as by the window itself.
#pragma once

namespace ps::winapp {

inline constexpr wchar_t kFormClass[] = L"PingSweepForm1";
inline constexpr int kText1Id = 101;
inline constexpr int kCommand1Id = 102;
inline constexpr int kList1Id = 103;

}  // namespace ps::winapp
