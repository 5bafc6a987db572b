#include "core/localization.hpp"

#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>

namespace veltrano {

namespace {

struct Tables {
  std::shared_mutex mutex;
  std::map<std::string, std::string, std::less<>> texts;
  std::set<const LocalizationTable*> registeredOnce;

  Tables() {
    for (const auto& [key, text] : commonLocalizedStrings()) texts.insert_or_assign(std::string(key), std::string(text));
  }
};

Tables& tables() {
  static Tables instance;
  return instance;
}

}  // namespace

const LocalizationTable& commonLocalizedStrings() {
  static const LocalizationTable table = {
      {"common.product_name", "Veltrano"},
      {"common.active", "Active"},
      {"common.waiting", "Waiting"},
      {"common.stopped", "Stopped"},
      {"common.display", "Display"},
      {"common.fps", "fps"},
      {"common.duration_ms_one_decimal", "%.1f ms"},
      {"common.duration_ms_no_decimals", "%.0f ms"},
  };
  return table;
}

void registerLocalizedStrings(const LocalizationTable& table) {
  auto& t = tables();
  std::unique_lock lock(t.mutex);
  for (const auto& [key, text] : table) t.texts.insert_or_assign(std::string(key), std::string(text));
}

void registerLocalizedStringsOnce(const LocalizationTable& table) {
  auto& t = tables();
  {
    std::shared_lock lock(t.mutex);
    if (t.registeredOnce.contains(&table)) return;
  }
  std::unique_lock lock(t.mutex);
  if (!t.registeredOnce.insert(&table).second) return;
  for (const auto& [key, text] : table) t.texts.insert_or_assign(std::string(key), std::string(text));
}

std::string localized(std::string_view key) {
  auto& t = tables();
  std::shared_lock lock(t.mutex);
  auto found = t.texts.find(key);
  if (found == t.texts.end()) return std::string(key);
  return found->second;
}

}  // namespace veltrano
