#include "filetransfer/file_transfer_errors.hpp"

#include <string>

namespace veltrano {

IncomingRemoteFileError::IncomingRemoteFileError(Code code)
    : std::runtime_error("upload failed: " + std::string(wireCode(code))), code_(code) {}

RemoteFileSendError::RemoteFileSendError(Code code)
    : std::runtime_error("download failed: " + std::string(wireCode(code))), code_(code) {}

std::string_view wireCode(IncomingRemoteFileError::Code code) {
  using Code = IncomingRemoteFileError::Code;
  switch (code) {
    case Code::invalidDestination: return file_error_code::invalidDestination;
    case Code::insufficientStorage: return file_error_code::storageUnavailable;
    case Code::invalidData: return file_error_code::invalidData;
    case Code::incomplete: return file_error_code::invalidCompletion;
    case Code::integrityFailed: return file_error_code::integrityFailed;
    case Code::destinationChanged: return file_error_code::destinationChanged;
    case Code::writeFailed: return file_error_code::writeFailed;
  }
  return file_error_code::writeFailed;
}

std::string_view wireCode(RemoteFileSendError::Code code) {
  using Code = RemoteFileSendError::Code;
  switch (code) {
    case Code::cancelled: return file_error_code::cancelled;
    case Code::channelUnavailable: return file_error_code::channelUnavailable;
    case Code::sourceChanged: return file_error_code::sourceChanged;
    case Code::readFailed: return file_error_code::readFailed;
  }
  return file_error_code::readFailed;
}

}  // namespace veltrano
