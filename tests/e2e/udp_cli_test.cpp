// larkspire udp: a listener and a sender of the command-line client on loopback.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>

#include "support/datagram_doubles.h"
#include "support/run_program.h"
#include "transport/datagram_socket.h"

namespace larkspire::test {
namespace {

// A port that was free a moment ago.
int FreePort() {
  TSuperUdpSocket socket("127.0.0.1", 0, 0);
  return socket.Port();
}

// SHA-256 of a file as Python's hashlib computes it.
std::string PythonSha256(const std::string& path) {
  const std::string command =
      "python3 -c \"import hashlib,sys;print(hashlib.sha256(open(sys.argv[1],"
      "'rb').read()).hexdigest())\" " +
      path;
  FILE* pipe = ::popen(command.c_str(), "r");
  char line[128] = {};
  if (pipe == nullptr || std::fgets(line, sizeof line, pipe) == nullptr) return "";
  ::pclose(pipe);
  std::string hex(line);
  while (!hex.empty() && (hex.back() == '\n' || hex.back() == '\r')) hex.pop_back();
  return hex;
}

TEST(LarkspireUdpCli, SentFileArrivesWithTheSameDigest) {
  const std::string path = ::testing::TempDir() + "/udp_cli_sample.bin";
  {
    std::ofstream file(path, std::ios::binary);
    std::mt19937 random(3);
    for (int i = 0; i < 700000; ++i) file.put(static_cast<char>(random()));
  }
  const std::string port = std::to_string(FreePort());
  auto listener = std::async(std::launch::async, [&] {
    return RunCli({"udp", "listen", "--bind", "127.0.0.1", "--port", port, "--count", "1"}, 20000);
  });
  // The listener is up once it answers a load query.
  TSuperUdpSocket prober("127.0.0.1", 0, 0);
  bool up = false;
  for (int i = 0; i < 50 && !up; ++i) up = prober.QueryLoad("127.0.0.1", std::stoi(port), 200);
  ASSERT_TRUE(up);
  const TProgramResult sent = RunCli({"udp", "send", "127.0.0.1", port, path});
  const TProgramResult heard = listener.get();
  EXPECT_EQ(sent.exit_code, 0) << sent.err;
  EXPECT_NE(sent.out.find("sent 700000 bytes in"), std::string::npos) << sent.out;
  EXPECT_NE(sent.out.find("final window"), std::string::npos);
  EXPECT_EQ(heard.exit_code, 0) << heard.err;
  EXPECT_EQ(heard.out.find("listening on " + port + "\n"), 0u) << heard.out;
  EXPECT_NE(heard.out.find("channel opened for 127.0.0.1:"), std::string::npos);
  const std::string digest = PythonSha256(path);
  ASSERT_EQ(digest.size(), 64u);
  EXPECT_NE(heard.out.find(": 700000 bytes, sha256 " + digest + "\n"), std::string::npos)
      << heard.out;
  std::filesystem::remove(path);
}

TEST(LarkspireUdpCli, LoadAnswersAndSilence) {
  TSuperUdpSocket peer("127.0.0.1", 0, 0);
  peer.OnQueryLoad = [] { return 12; };
  const TProgramResult load = RunCli({"udp", "load", "127.0.0.1", std::to_string(peer.Port())});
  EXPECT_EQ(load.exit_code, 0);
  EXPECT_EQ(load.out, "load 12\n");
  TUdpProbe silent;  // a socket that never answers
  const TProgramResult none = RunCli({"udp", "load", "127.0.0.1", std::to_string(silent.Port())});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.err.find("no answer from 127.0.0.1:"), std::string::npos);
  const TProgramResult refused = RunCli({"udp", "send", "127.0.0.1", "1", "/nonexistent"});
  EXPECT_NE(refused.exit_code, 0);
}

}  // namespace
}  // namespace larkspire::test
