#include "filetransfer/file_transfer_localized_strings.hpp"

namespace veltrano {

const LocalizationTable& fileTransferLocalizedStrings() {
  static const LocalizationTable table = {
      {"host.file.picker_action", "Send to Tablet"},
      {"host.file.picker_message", "Choose a file to send to the tablet."},
      {"host.file.upload_picker_action", "Save"},
      {"host.file.upload_picker_message", "Choose where to save the file from the tablet."},
  };
  return table;
}

void registerFileTransferLocalizedStrings() { registerLocalizedStringsOnce(fileTransferLocalizedStrings()); }

}  // namespace veltrano
