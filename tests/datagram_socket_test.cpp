#include "transport/datagram_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/exception.h"
#include "support/datagram_doubles.h"

namespace larkspire {
namespace {

using test::TDatagramApiGuard;
using test::TFaultDatagramApi;
using test::TUdpProbe;

// Waits up to two seconds for a condition.
template <typename F>
bool Eventually(F condition) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// A port held by a plain socket on all interfaces.
class THeldPort {
 public:
  THeldPort() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
  }
  ~THeldPort() { ::close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_;
  int port_;
};

std::string BindError(const std::string& address, int port) {
  try {
    TSuperUdpSocket socket(address, port, 0);
  } catch (const Exception& e) {
    return e.what();
  }
  return "bound";
}

TEST(TSuperUdpSocket, BindsAnyAddressToAFreePort) {
  TSuperUdpSocket socket("0.0.0.0", 0, 0);
  EXPECT_EQ(socket.BindAddress(), "0.0.0.0");
  EXPECT_GT(socket.Port(), 0);
  EXPECT_TRUE(socket.Receiving());
  TSuperUdpSocket unnamed("", 0, 0);
  EXPECT_EQ(unnamed.BindAddress(), "0.0.0.0");
  TSuperUdpSocket local("LOCALHOST", 0, 0);
  EXPECT_EQ(local.BindAddress(), "127.0.0.1");
}

TEST(TSuperUdpSocket, BindFailureNamesTheAddressAsGivenAndLeavesNoSocket) {
  TFaultDatagramApi api;
  TDatagramApiGuard guard(api);
  THeldPort held;
  const std::string port = std::to_string(held.Port());
  EXPECT_EQ(BindError("", held.Port()), "Could not bind socket " + port + ".");
  EXPECT_EQ(BindError("LOCALHOST", held.Port()), "Could not bind socket LOCALHOST:" + port + ".");
  EXPECT_EQ(api.OpenSockets(), 0);
  api.FailCreate();
  EXPECT_EQ(BindError("0.0.0.0", 0), "Could not bind socket 0.0.0.0:0.");
}

TEST(TSuperUdpSocket, PassesFullBuffersAndDropsLongerDatagrams) {
  TSuperUdpSocket socket("127.0.0.1", 0, 0);
  std::atomic<size_t> last{0};
  std::atomic<int> count{0};
  socket.OnRawData = [&](const std::string& ip, int, const uint8_t*, size_t length) {
    EXPECT_EQ(ip, "127.0.0.1");
    last = length;
    ++count;
  };
  TUdpProbe probe;
  probe.SendTo(socket.Port(), std::string(8192, '\x20'));
  ASSERT_TRUE(Eventually([&] { return count == 1; }));
  EXPECT_EQ(last, 8192u);
  probe.SendTo(socket.Port(), std::string(9000, '\x20'));
  probe.SendTo(socket.Port(), std::string(5, '\x20'));
  ASSERT_TRUE(Eventually([&] { return count == 2; }));
  EXPECT_EQ(last, 5u);
  EXPECT_TRUE(socket.Receiving());
}

TEST(TSuperUdpSocket, NotificationModeServesReadsOnTheMakingThread) {
  TSuperUdpSocket socket("127.0.0.1", 0, 1);
  EXPECT_FALSE(socket.Receiving());
  std::thread::id served_on;
  int count = 0;
  socket.OnRawData = [&](const std::string&, int, const uint8_t*, size_t) {
    served_on = std::this_thread::get_id();
    ++count;
  };
  TUdpProbe probe;
  probe.SendTo(socket.Port(), "\x20raw");
  socket.HandleSocketMessage(2);  // not a read notification: nothing is received
  EXPECT_EQ(count, 0);
  bool served_elsewhere = true;
  std::thread([&] { served_elsewhere = socket.ProcessMessages(100); }).join();
  EXPECT_FALSE(served_elsewhere);
  EXPECT_TRUE(socket.ProcessMessages(2000));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(served_on, std::this_thread::get_id());
  EXPECT_FALSE(socket.ProcessMessages(0));
}

TEST(TSuperUdpSocket, DestructionEndsTheThreadsAndClosesTheSocket) {
  TFaultDatagramApi api;
  TDatagramApiGuard guard(api);
  const auto started = std::chrono::steady_clock::now();
  {
    TSuperUdpSocket socket("0.0.0.0", 0, 0);
    EXPECT_EQ(api.OpenSockets(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the receive is pending
  }
  EXPECT_EQ(api.OpenSockets(), 0);
  // Neither the pending receive nor the watch thread's pause holds the destructor up.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1000));
}

TEST(TSuperUdpSocket, PreparationRunsBeforeReceivingAndAFailedOneLeavesNoSocket) {
  TFaultDatagramApi api;
  TDatagramApiGuard guard(api);
  std::atomic<int> raw{0};
  {
    TSuperUdpSocket socket("127.0.0.1", 0, 0, TDatagramTiming{}, [&](TSuperUdpSocket& prepared) {
      EXPECT_FALSE(prepared.Receiving());
      EXPECT_GT(prepared.Port(), 0);
      prepared.OnRawData = [&](const std::string&, int, const uint8_t*, size_t) { ++raw; };
    });
    TUdpProbe probe;
    probe.SendTo(socket.Port(), "\x20raw");
    EXPECT_TRUE(Eventually([&] { return raw.load() == 1; }));
  }
  EXPECT_THROW(TSuperUdpSocket("127.0.0.1", 0, 0, TDatagramTiming{},
                               [](TSuperUdpSocket&) { throw Exception("no"); }),
               Exception);
  EXPECT_EQ(api.OpenSockets(), 0);
}

}  // namespace
}  // namespace larkspire
