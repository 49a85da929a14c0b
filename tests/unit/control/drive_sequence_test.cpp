// The start-up drive sequence against a kernel that connects to the real
// listening socket.
#include <gtest/gtest.h>

#include <future>

#include "control_peer.h"

namespace zelvo::controltest {
namespace {

struct DriveSequenceTest : ::testing::Test {
  void SetUp() override {
    sandboxRoot();
    m = std::make_shared<KernelProcessManager>();
    path = platform::joinPath(m->homeDir(), "control.sock");
    m->setupControlSocket(path);
  }
  void TearDown() override {
    m->closeControlSocket();
    if (drive.valid()) drive.wait();
    closeAndRelease(m);
  }
  // Starts the sequence as the launch does: on a global queue, holding the
  // manager weakly.
  void startDrive() {
    drive = std::async(std::launch::async, [weak = std::weak_ptr<KernelProcessManager>(m)] {
      if (auto self = weak.lock()) self->acceptAndDrive();
    });
  }
  // The kernel: connects and answers with `handler`.
  std::unique_ptr<KernelPeer> connectKernel(KernelPeer::Handler handler) {
    const int fd = connectTo(path);
    if (fd < 0) return nullptr;
    return std::make_unique<KernelPeer>(fd, std::move(handler));
  }
  bool driveFinished(double seconds) {
    return drive.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
  }

  std::shared_ptr<KernelProcessManager> m;
  std::string path;
  std::future<void> drive;
};

std::vector<std::string> methods(const std::vector<Json>& frames) {
  std::vector<std::string> out;
  for (const Json& f : frames) out.push_back(f["method"]);
  return out;
}

// Failure codes are logged but do not stop the sequence.
TEST_F(DriveSequenceTest, SendsInitSetupStartInOrderWithTheConfigurationUnchangedPastFailures) {
  const std::string config =
      "mixed-port: 7890\nname: \"quoted\" and 'single'\npath: C:\\dir\\file\r\n"
      "代理组: 香港 🇭🇰\ttab\n\\u0041 stays literal\n";
  m->setCurrentConfigForTesting(config);
  platform::LogCapture capture;
  startDrive();
  auto kernel = connectKernel([](const Json& req) -> std::vector<Json> {
    if (req["method"] == "initCore") return {replyTo(req, {{"code", 5}, {"data", "bad home"}})};
    if (req["method"] == "setupConfig") return {replyTo(req, {{"code", 6}})};
    return {replyTo(req, {{"code", 0}})};
  });
  ASSERT_TRUE(kernel);
  ASSERT_TRUE(driveFinished(10));

  const std::vector<Json> frames = kernel->received();
  ASSERT_EQ(methods(frames),
            (std::vector<std::string>{"initCore", "setupConfig", "startListener"}));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i]["id"], std::to_string(i + 1));

  // Payloads are JSON text inside a JSON string: decode twice.
  ASSERT_TRUE(frames[0]["data"].is_string());
  EXPECT_EQ(Json::parse(frames[0]["data"].get<std::string>()),
            (Json{{"home-dir", m->homeDir()}, {"version", 30}}));

  ASSERT_TRUE(frames[1]["data"].is_string());
  const Json setup = Json::parse(frames[1]["data"].get<std::string>());
  EXPECT_EQ(setup.size(), 3u);
  EXPECT_EQ(setup["config"], config);
  EXPECT_TRUE(setup["selected-map"].is_object());
  EXPECT_TRUE(setup["selected-map"].empty());
  const std::string url = setup["test-url"];
  EXPECT_EQ(url.rfind("https://", 0), 0u);
  EXPECT_EQ(url.substr(url.find('/', 8)), "/generate_204");

  EXPECT_EQ(frames[2]["data"], "");

  EXPECT_EQ(
      kernelMessages(capture),
      (std::vector<std::string>{"Kernel connected on control socket", "→ initCore",
                                "← initCore 失败 code=5 bad home", "→ setupConfig",
                                "← setupConfig 失败 code=6 ", "→ startListener", "驱动序列完成"}));
  EXPECT_GE(m->controlFd(), 0);
}

// A silent kernel costs each step its own 5 s; a lost connection ends the
// waiting step and the rest at once.
TEST_F(DriveSequenceTest, EachStepTimesOutInTurnUntilTheConnectionIsLost) {
  platform::LogCapture capture;
  startDrive();
  auto kernel = connectKernel(nullptr);
  ASSERT_TRUE(kernel);
  ASSERT_TRUE(kernel->waitForFrames(1, 5));
  const auto t0 = Clock::now();  // the first step's wait starts about now
  ASSERT_TRUE(kernel->waitForFrames(2, 10));
  EXPECT_GE(secondsSince(t0), 4.5);
  EXPECT_LT(secondsSince(t0), 6.5);
  kernel->hangUp();  // "setupConfig" is waiting for its reply
  ASSERT_TRUE(driveFinished(3)) << "a lost connection must not cost the remaining time-outs";
  const auto messages = kernelMessages(capture);
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 4),
            (std::vector<std::string>{"Kernel connected on control socket", "→ initCore",
                                      "← initCore 超时", "→ setupConfig"}));
  EXPECT_EQ(countMessage(capture, "驱动序列完成"), 1u);
  EXPECT_EQ(countMessage(capture, "← setupConfig 超时"), 0u);
  EXPECT_EQ(countMessage(capture, "← startListener 超时"), 0u);
}

TEST(SendSetupConfig, CarriesEverySelectionRecordedSinceStart) {
  Wired wired;
  auto peer = wired.peer([](const Json& req) -> std::vector<Json> {
    return {replyTo(req, {{"code", 0}, {"data", ""}})};
  });
  auto& m = *wired.manager;
  m.setCurrentConfigForTesting("port: 1\n");
  ASSERT_TRUE(m.changeProxy("节点选择", "香港 01"));
  ASSERT_TRUE(m.changeProxy("Auto", "JP"));
  m.sendSetupConfig();
  const std::vector<Json> frames = peer->received();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2]["method"], "setupConfig");
  const Json setup = Json::parse(frames[2]["data"].get<std::string>());
  EXPECT_EQ(setup["selected-map"], (Json{{"节点选择", "香港 01"}, {"Auto", "JP"}}));
  EXPECT_EQ(setup["config"], "port: 1\n");
}

}  // namespace
}  // namespace zelvo::controltest
