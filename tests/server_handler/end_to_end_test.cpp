// End to end over a queue: "krsoap serve" as a separate process hosting a
// monitor with the built-in invoker over the example Calculator, and several
// "krsoap qm request" processes at once, each expecting its own result.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "tests/server_handler/handler_test_util.h"

namespace krsoap::test {
namespace {

class EndToEndTest : public HandlerTest {
 protected:
  void SetUp() override {
    HandlerTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libkrsoap.so"));
    ASSERT_EQ(S_OK, RegisterModule("libkrcalculator.so"));
  }
  void TearDown() override {
    if (host_ > 0) {
      ::kill(host_, SIGTERM);
      int st = 0;
      ::waitpid(host_, &st, 0);
    }
    HandlerTest::TearDown();
  }
  void StartHost() {
    const std::string conf = home_.path() + "/host.conf";
    std::ofstream(conf) << "[monitor calc]\nqueue_manager = " << qm_
                        << "\nqueue = REQUEST\nwsdl = " KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsdl\n"
                        << "wsml = " KRSOAP_SOURCE_DIR "/examples/calculator/Calculator.wsml\ncan_reuse_object = 1\nstatus_file = " << home_.path() << "/calc.status\n";
    const std::string tool = BinDir() + "/krsoap";
    host_ = ::fork();
    if (host_ == 0) {
      ::execl(tool.c_str(), tool.c_str(), "serve", "--config", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_GT(host_, 0);
  }
  pid_t host_ = -1;
};

TEST_F(EndToEndTest, SeveralRequestingProcessesEachGetTheirOwnAnswer) {
  StartHost();
  constexpr int kRequesters = 4;
  constexpr int kEach = 5;
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kRequesters);
  for (int r = 0; r < kRequesters; ++r) {
    threads.emplace_back([&, r] {
      for (int i = 0; i < kEach; ++i) {
        const int a = r * 1000 + i;
        const std::string file = home_.path() + "/req" + std::to_string(r) + "_" + std::to_string(i);
        std::ofstream(file) << Envelope("urn:krsoap-calculator#Add", "SOAP-ENV",
                                        "<c:Add xmlns:c=\"urn:krsoap-calculator\"><c:a>" + std::to_string(a) +
                                            "</c:a><c:b>0.5</c:b></c:Add>");
        int status = -1;
        std::string out =
            Shell(BinDir() + "/krsoap qm request " + qm_ + " REQUEST --wait 30000 < " + file + " 2>&1", &status);
        const std::string want = "Result>" + std::to_string(a) + ".5</";
        if (status != 0 || out.find(want) == std::string::npos) failures[r] += out + "\n";
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& f : failures) EXPECT_EQ("", f);

  // A request that is not XML gets a fault; the host keeps serving.
  const std::string bad = home_.path() + "/bad";
  std::ofstream(bad) << "this is not an envelope";
  int status = -1;
  std::string out = Shell(BinDir() + "/krsoap qm request " + qm_ + " REQUEST --wait 30000 < " + bad, &status);
  EXPECT_EQ(1, status);
  EXPECT_NE(std::string::npos, out.find("Fault>")) << out;
}

}  // namespace
}  // namespace krsoap::test
