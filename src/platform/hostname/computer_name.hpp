#pragma once
// The computer's name as its user knows it: the pretty host name that systemd-hostnamed keeps in
// /etc/machine-info (PRETTY_HOSTNAME) when one is set, else the system host name.
#include <filesystem>
#include <string>

namespace veltrano::platform {

inline const std::filesystem::path defaultMachineInfoPath = "/etc/machine-info";

std::string computerName(const std::filesystem::path& machineInfo = defaultMachineInfoPath);

}  // namespace veltrano::platform
