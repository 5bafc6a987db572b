#pragma once
#include <string_view>

namespace veltrano {

// Whether `text` can stand as a URL as it is: a scheme, ':', then only URL characters, with every '%' starting
// a two-digit hex escape. Spaces, controls and non-ASCII bytes make it fail.
bool isWellFormedUrl(std::string_view text);

}  // namespace veltrano
