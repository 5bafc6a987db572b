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

  // The built-in English texts come first, so that any table registered later replaces them.
  Tables() {
    for (const LocalizationTable* table : {&commonLocalizedStrings(), &errorLocalizedStrings()}) {
      for (const auto& [key, text] : *table) texts.insert_or_assign(std::string(key), std::string(text));
    }
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

const LocalizationTable& errorLocalizedStrings() {
  static const LocalizationTable table = {
      {"local.transport.error.identity_unavailable", "local transport: the account key is unavailable"},
      {"local.transport.error.invalid_handshake", "local transport: invalid handshake message"},
      {"local.transport.error.authentication_failed", "local transport: authentication failed"},
      {"local.transport.error.handshake_timed_out", "local transport: handshake timed out"},
      {"local.transport.error.connection_closed", "local transport: connection closed"},
      {"local.transport.error.invalid_record", "local transport: invalid record"},
      {"local.transport.error.record_too_large", "local transport: record too large"},
      {"local.transport.error.unexpected_sequence", "local transport: unexpected record sequence"},
      {"local.transport.error.unknown", "local transport: unknown error"},
      {"identity.error.invalid", "the stored account key is invalid"},
      {"identity.error.storage_format", "account key storage: %s"},
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
