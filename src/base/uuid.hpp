#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// A random (version 4) UUID; its text is lowercase.
class Uuid {
 public:
  static Uuid random();
  static std::optional<Uuid> parse(std::string_view text);  // accepts either case
  std::string text() const;
  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
  bool operator==(const Uuid&) const = default;

 private:
  std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace veltrano
