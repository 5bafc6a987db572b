// The program itself, started headless with the test services: it serves a client on the control port and
// ends cleanly on SIGTERM.
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "platform/crypto/random.hpp"
#include "platform/keystore/account_key_file.hpp"
#include "support/eventually.hpp"
#include "support/local_test_client.hpp"
#include "support/x11_test_env.hpp"

namespace veltrano {
namespace {

using namespace std::chrono_literals;

TEST(HostProgram, ServesAClientOnTheControlPortAndQuitsCleanlyOnSigterm) {
  VELTRANO_REQUIRE_X11();
  QTemporaryDir home;
  ASSERT_TRUE(home.isValid());
  // The account key the tablet holds, placed where the program looks for it.
  const std::filesystem::path data = home.filePath("data").toStdString();
  const Bytes seed = platform::randomBytes(platform::AccountKeyFile::seedSize);
  platform::AccountKeyFile(data / "veltrano").readOrCreate([&] { return platform::SecureBytes(seed); });

  QProcess program;
  auto environment = QProcessEnvironment::systemEnvironment();
  environment.insert("HOME", home.path());
  environment.insert("XDG_DATA_HOME", home.filePath("data"));
  environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
  environment.insert("XDG_RUNTIME_DIR", home.path());
  program.setProcessEnvironment(environment);
  program.setProcessChannelMode(QProcess::ForwardedChannels);
  program.start(VELTRANO_HOST_PROGRAM, {});
  ASSERT_TRUE(program.waitForStarted(10000));

  std::shared_ptr<testing::LocalTestClient> client;
  const bool connected = testing::eventually(
      [&] {
        try {
          client = testing::LocalTestClient::connectBlocking(9090, LocalTransportChannel::control,
                                                             platform::SigningKey::fromSeed(seed));
          return true;
        } catch (const std::exception&) {
          return false;
        }
      },
      60s);
  ASSERT_TRUE(connected) << "the control port never accepted the account's client";
  const auto hello = client->nextJSONBlocking(10s);
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["type"], "hello");

  program.terminate();  // SIGTERM
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_TRUE(client->waitUntilClosedBlocking(10s));
}

}  // namespace
}  // namespace veltrano
