// ASCII case folding of single bytes, as the name lookups and the
// case-insensitive comparison of the library do it.
#ifndef SKARN_ANALYSIS_ASCII_CASE_HPP
#define SKARN_ANALYSIS_ASCII_CASE_HPP

#include <cctype>

namespace skarn {

// The byte lowered by tolower(), which is defined on unsigned char values only.
inline int fold_case(char c) noexcept { return std::tolower(static_cast<unsigned char>(c)); }

}  // namespace skarn

#endif  // SKARN_ANALYSIS_ASCII_CASE_HPP
