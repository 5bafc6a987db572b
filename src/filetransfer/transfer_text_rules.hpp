#pragma once
// The text rules of the file-transfer protocol: transfer and session identifiers, file names from clients and
// checksum texts. Pure functions.
#include <optional>
#include <string>
#include <string_view>

namespace veltrano {

// A 36-byte UUID text in 8-4-4-4-12 form, either case; the lowercase form, or nullopt for anything else.
std::optional<std::string> normalizedTransferID(std::string_view text);

// A new random identifier in lowercase.
std::string makeTransferID();

// The hidden file an upload is written to until it is complete: this prefix, the transfer identifier, this suffix.
inline constexpr std::string_view partialFilePrefix = ".veltrano-";
inline constexpr std::string_view partialFileSuffix = ".download";

// The name unchanged when it is usable as one file name inside a folder, else nullopt: not empty, neither "."
// nor "..", at most 255 bytes of valid UTF-8, no "/" or "\" anywhere, no control or format character
// (general categories Cc and Cf, which include NUL and line breaks), no line or paragraph separator (Zl, Zp), and
// not of the partial-file form with an identifier in either case (the host's clean-up removes such files, and
// another upload may be writing one).
std::optional<std::string> sanitizedFileName(std::string_view name);

// Exactly 64 hexadecimal digits of either case; the lowercase form, or nullopt.
std::optional<std::string> normalizedSHA256(std::string_view text);

}  // namespace veltrano
