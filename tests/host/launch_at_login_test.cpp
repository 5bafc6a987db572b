#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/localization.hpp"
#include "host/launch_at_login.hpp"
#include "host/xdg_login_item_service.hpp"
#include "host_test_support.hpp"
#include "support/read_only_folder.hpp"
#include "support/required_service.hpp"
#include "support/temporary_folder.hpp"

namespace veltrano::test {
namespace {

using Status = LoginItemStatus;

struct Fixture {
  explicit Fixture(std::unique_ptr<LoginItemService> service, bool installed = true)
      : launch(
            flag, std::move(service), metrics,
            [this](AnalyticsEvent event, std::optional<std::string> detail) {
              EXPECT_EQ(event, AnalyticsEvent::server_launch_at_login);
              outcomes.push_back(detail.value_or("<none>"));
            },
            [installed] { return installed; }) {}
  std::vector<std::string> outcomes;
  MetricsStore metrics;
  ObservableProperty<bool> flag{false};
  LaunchAtLogin launch;
};

const std::string noError = MetricsStore::placeholder;
const std::string installRequired =
    "Launch at login needs an installed copy: install Veltrano and start it from its installed location.";
const std::string diskFull = "Launch at login could not be changed: disk full";

TEST(LaunchAtLogin, SetLaunchAtLoginFollowsTheLoginItem) {
  const struct {
    const char* name;
    bool installed, wanted;
    Status before, after;
    bool throws;
    const char* outcome;
    bool flag;
    int registers, unregisters, opens;
    std::string lastError;
  } cases[] = {
      {"enable", true, true, Status::notRegistered, Status::enabled, false, "enabled", true, 1, 0, 0, noError},
      {"enable when not found", true, true, Status::notFound, Status::enabled, false, "enabled", true, 1, 0, 0, noError},
      {"already enabled", true, true, Status::enabled, Status::notRegistered, false, "enabled", true, 0, 0, 0, noError},
      {"not installed", false, true, Status::notRegistered, Status::enabled, false, "install_required", false, 0, 0, 0,
       installRequired},
      {"not installed but enabled", false, true, Status::enabled, Status::enabled, false, "install_required", false, 0,
       0, 0, installRequired},
      {"approval pending", true, true, Status::requiresApproval, Status::enabled, false, "requires_approval", false, 0,
       0, 1, noError},
      {"registered, needs approval", true, true, Status::notRegistered, Status::requiresApproval, false, "disabled",
       false, 1, 0, 1, noError},
      {"register throws", true, true, Status::notRegistered, Status::enabled, true, "enable_failed", false, 1, 0, 0,
       diskFull},
      {"disable", true, false, Status::enabled, Status::notRegistered, false, "disabled", false, 0, 1, 0, noError},
      {"disable outside the install", false, false, Status::enabled, Status::notRegistered, false, "disabled", false,
       0, 1, 0, noError},
      {"disable while approval pending", true, false, Status::requiresApproval, Status::notRegistered, false,
       "disabled", false, 0, 1, 0, noError},
      {"disable when not registered", true, false, Status::notRegistered, Status::enabled, false, "disabled", false, 0,
       0, 0, noError},
      {"disable when not found", true, false, Status::notFound, Status::enabled, false, "disabled", false, 0, 0, 0,
       noError},
      {"unregister throws", true, false, Status::enabled, Status::notRegistered, true, "disable_failed", true, 0, 1, 0,
       diskFull},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeLoginItems::Calls calls;
    Fixture f(std::make_unique<FakeLoginItems>(c.before, c.after, c.throws, calls), c.installed);
    EXPECT_EQ(f.flag(), c.before == Status::enabled) << "construction reads the status";
    EXPECT_TRUE(f.outcomes.empty()) << "construction reports nothing";
    EXPECT_EQ(f.launch.isInstalledInApplicationsFolder(), c.installed);

    f.launch.setLaunchAtLogin(c.wanted);
    EXPECT_EQ(f.outcomes, std::vector<std::string>{c.outcome});
    EXPECT_EQ(f.flag(), c.flag);
    EXPECT_EQ(calls.registers, c.registers);
    EXPECT_EQ(calls.unregisters, c.unregisters);
    EXPECT_EQ(calls.opens, c.opens);
    EXPECT_EQ(f.metrics.lastError(), c.lastError);
  }
}

TEST(LaunchAtLogin, RefreshReportsAndNotifiesOnlyChanges) {
  FakeLoginItems::Calls calls;
  auto service = std::make_unique<FakeLoginItems>(Status::notRegistered, Status::enabled, false, calls);
  FakeLoginItems& items = *service;
  Fixture f(std::move(service));
  std::vector<bool> seen;
  const Subscription subscription = f.flag.observe([&](bool value) { seen.push_back(value); });

  const struct {
    Status status;
    std::vector<std::string> outcomes;
  } steps[] = {
      {Status::notRegistered, {}},
      {Status::enabled, {"enabled"}},
      {Status::enabled, {"enabled"}},
      {Status::requiresApproval, {"enabled", "disabled"}},
      {Status::notFound, {"enabled", "disabled"}},
  };
  for (const auto& step : steps) {
    items.status_ = step.status;
    f.launch.refreshLaunchAtLoginStatus();
    EXPECT_EQ(f.outcomes, step.outcomes);
  }
  items.status_ = Status::enabled;
  f.launch.readStatus();
  EXPECT_EQ(f.outcomes.size(), 2u) << "reading at launch reports nothing";
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));

  f.launch.setLaunchAtLogin(true);  // already enabled: reported, but the flag does not change
  EXPECT_EQ(seen.size(), 3u);
}

// The real autostart entry under the component, in a temporary configuration folder.
TEST(LaunchAtLogin, DrivesTheAutostartEntry) {
  testing::TemporaryFolder temp;
  const auto folder = temp.path() / "autostart";
  const auto file = folder / platform::XdgAutostartEntry::fileName;
  Fixture f(std::make_unique<XdgLoginItemService>(
      platform::XdgAutostartEntry(folder, "/opt/veltrano/bin/veltrano-host", "Veltrano")));
  EXPECT_FALSE(f.flag());

  f.launch.setLaunchAtLogin(true);
  EXPECT_TRUE(f.flag());
  EXPECT_TRUE(std::filesystem::exists(file));
  f.launch.setLaunchAtLogin(false);
  EXPECT_FALSE(f.flag());
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(f.outcomes, (std::vector<std::string>{"enabled", "disabled"}));

  const testing::ReadOnlyFolder readOnly(folder);
  VELTRANO_REQUIRE_SERVICE("a read-only folder", readOnly.problem());
  f.launch.setLaunchAtLogin(true);
  EXPECT_FALSE(f.flag());
  EXPECT_EQ(f.outcomes.back(), "enable_failed");
  // The reason is the system's (EPERM for root at an immutable folder, EACCES for others).
  EXPECT_TRUE(f.metrics.lastError().starts_with(
      "Launch at login could not be changed: cannot write the autostart entry " + file.string() + " ("))
      << f.metrics.lastError();
}

}  // namespace
}  // namespace veltrano::test
