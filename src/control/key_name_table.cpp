#include "control/key_name_table.hpp"

#include <algorithm>

namespace veltrano {

std::string lowercasedKeyName(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch; });
  return lower;
}

bool isTableKeyName(std::string_view name) {
  constexpr std::size_t longest = 13;  // "forwarddelete"
  if (name.empty() || name.size() > longest) return false;
  const std::string lower = lowercasedKeyName(name);
  return std::find(keyNameTable.begin(), keyNameTable.end(), lower) != keyNameTable.end();
}

}  // namespace veltrano
