#pragma once
// Failures of an upload's writer and of a download's sender, and the "fileError" codes that reach the client.
#include <stdexcept>
#include <string_view>

namespace veltrano {

class IncomingRemoteFileError : public std::runtime_error {
 public:
  enum class Code {
    invalidDestination,
    insufficientStorage,
    invalidData,
    incomplete,
    integrityFailed,
    destinationChanged,
    writeFailed,
  };
  explicit IncomingRemoteFileError(Code code);
  Code code() const { return code_; }
  bool operator==(const IncomingRemoteFileError& other) const { return code_ == other.code_; }

 private:
  Code code_;
};

class RemoteFileSendError : public std::runtime_error {
 public:
  enum class Code { cancelled, channelUnavailable, sourceChanged, readFailed };
  explicit RemoteFileSendError(Code code);
  Code code() const { return code_; }
  bool operator==(const RemoteFileSendError& other) const { return code_ == other.code_; }

 private:
  Code code_;
};

// The fifteen "code" texts of "fileError".
namespace file_error_code {
inline constexpr std::string_view busy = "busy";
inline constexpr std::string_view invalidOffer = "invalidOffer";
inline constexpr std::string_view invalidTransfer = "invalidTransfer";
inline constexpr std::string_view invalidSelection = "invalidSelection";
inline constexpr std::string_view invalidCompletion = "invalidCompletion";
inline constexpr std::string_view invalidDestination = "invalidDestination";
inline constexpr std::string_view storageUnavailable = "storageUnavailable";
inline constexpr std::string_view invalidData = "invalidData";
inline constexpr std::string_view integrityFailed = "integrityFailed";
inline constexpr std::string_view destinationChanged = "destinationChanged";
inline constexpr std::string_view writeFailed = "writeFailed";
inline constexpr std::string_view channelUnavailable = "channelUnavailable";
inline constexpr std::string_view cancelled = "cancelled";
inline constexpr std::string_view sourceChanged = "sourceChanged";
inline constexpr std::string_view readFailed = "readFailed";
}  // namespace file_error_code

std::string_view wireCode(IncomingRemoteFileError::Code code);
std::string_view wireCode(RemoteFileSendError::Code code);

}  // namespace veltrano
