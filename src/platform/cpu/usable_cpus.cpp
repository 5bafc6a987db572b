#include "platform/cpu/usable_cpus.hpp"

#include <sched.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace veltrano {

namespace {

// The CPUs a "QUOTA PERIOD" line allows, rounded up; 0 for "max" or an unreadable line.
unsigned quotaCpus(const std::string& cpuMax) {
  std::istringstream in(cpuMax);
  std::string quota;
  long long period = 0;
  if (!(in >> quota >> period) || period <= 0 || quota == "max") return 0;
  long long microseconds = 0;
  std::istringstream quotaIn(quota);
  if (!(quotaIn >> microseconds) || !quotaIn.eof() || microseconds <= 0) return 0;
  return static_cast<unsigned>(std::max(1LL, (microseconds + period - 1) / period));
}

unsigned affinityCpus() {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (::sched_getaffinity(0, sizeof mask, &mask) != 0) return 0;
  return static_cast<unsigned>(CPU_COUNT(&mask));
}

// The cpu.max texts from this process's cgroup (cgroup v2: the "0::" line of /proc/self/cgroup) up to the root.
std::vector<std::string> cgroupCpuMaxTexts() {
  namespace fs = std::filesystem;
  std::ifstream membership("/proc/self/cgroup");
  std::string line;
  std::string path;
  while (std::getline(membership, line)) {
    if (line.rfind("0::", 0) == 0) path = line.substr(3);
  }
  std::vector<std::string> texts;
  const fs::path root = "/sys/fs/cgroup";
  fs::path dir = root;
  if (const fs::path below = fs::path(path).relative_path(); !below.empty()) dir /= below;
  for (;; dir = dir.parent_path()) {
    std::ifstream file(dir / "cpu.max");
    if (std::getline(file, line)) texts.push_back(line);
    if (dir == root || !dir.has_relative_path()) break;
  }
  return texts;
}

}  // namespace

unsigned usableCpuCount(unsigned affinityCpus, const std::vector<std::string>& cpuMaxTexts) {
  unsigned cpus = affinityCpus > 0 ? affinityCpus : std::max(1u, std::thread::hardware_concurrency());
  for (const auto& text : cpuMaxTexts) {
    if (const unsigned allowed = quotaCpus(text); allowed > 0) cpus = std::min(cpus, allowed);
  }
  return cpus;
}

unsigned usableCpuCount() { return usableCpuCount(affinityCpus(), cgroupCpuMaxTexts()); }

}  // namespace veltrano
