// larkspire-server --metrics: what a Prometheus scraper and a health check see of a real
// server while clients use it and while it stops.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "components/connection.h"
#include "components/exception.h"
#include "components/plugin_call.h"
#include "components/query.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"
#include "support/raw_client.h"
#include "support/run_program.h"
#include "support/server_fixture.h"

namespace larkspire::test {
namespace {

struct THttpAnswer {
  int Status = 0;
  std::string Body;
};

// One HTTP exchange on loopback: sends the bytes and reads the answer to its end.
THttpAnswer Http(uint16_t port, const std::string& request) {
  THttpAnswer answer;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  timeval wait{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string in;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) in.append(buffer, got);
  }
  ::close(fd);
  std::smatch match;
  if (std::regex_search(in, match, std::regex("^HTTP/1\\.1 ([0-9]{3}) "))) {
    answer.Status = std::stoi(match[1]);
  }
  const size_t body = in.find("\r\n\r\n");
  if (body != std::string::npos) answer.Body = in.substr(body + 4);
  return answer;
}

THttpAnswer Get(uint16_t port, const std::string& path) {
  return Http(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

// The port of the metrics listener, from the server's log.
uint16_t MetricsPort(const TServerProcess& server) {
  std::smatch match;
  const std::string log = server.Log();
  if (!std::regex_search(log, match, std::regex("metrics on http://127\\.0\\.0\\.1:([0-9]+)/")))
    return 0;
  return static_cast<uint16_t>(std::stoi(match[1]));
}

// The value of one series ("name{labels}") in the text format, or -1 when it is absent.
double Sample(const std::string& text, const std::string& series) {
  const size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return -1;
  return std::strtod(text.c_str() + at + series.size() + 2, nullptr);
}

// Waits up to two seconds for a series to take a value.
bool Becomes(uint16_t port, const std::string& series, double value) {
  for (int i = 0; i < 200; ++i) {
    if (Sample(Get(port, "/metrics").Body, series) == value) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(MetricsE2E, ScrapeCountsSessionsRequestsRepliesAndBytes) {
  TServerProcess server({"--metrics", "127.0.0.1:0", "--max-connections", "1"});
  const uint16_t port = MetricsPort(server);
  ASSERT_NE(port, 0) << server.Log();

  TLarkspireConnection connection;
  connection.SetRemotePort(server.Port());
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("select * from products where ProId < 3");
  query.Open();
  query.Close();
  query.Open();
  query.Close();
  query.SQL().SetText("select * from no_such_table");
  EXPECT_THROW(query.Open(), ELarkspireException);
  // The one place is taken: another client is refused.
  TRawClient over;
  ASSERT_TRUE(over.Connect(server.Port()));
  EXPECT_EQ(over.Handshake("00-11-22-33-44-55", "over").Code, 100022);

  // A request is counted once its reply is out, which the client may see first.
  ASSERT_TRUE(Becomes(port, "larkspire_requests_total{command=\"300\"}", 3));
  const THttpAnswer scraped = Get(port, "/metrics");
  ASSERT_EQ(scraped.Status, 200);
  const std::string& text = scraped.Body;
  EXPECT_EQ(Sample(text, "larkspire_request_duration_seconds_count{command=\"300\"}"), 3);
  EXPECT_EQ(Sample(text, "larkspire_request_duration_seconds_bucket{command=\"300\",le=\"+Inf\"}"),
            3);
  EXPECT_EQ(Sample(text, "larkspire_requests_total{command=\"500\"}"), 0);
  EXPECT_EQ(Sample(text, "larkspire_replies_total{error_code=\"20004\"}"), 1);
  EXPECT_EQ(Sample(text, "larkspire_replies_total{error_code=\"0\"}"), 2);
  EXPECT_GT(Sample(text, "larkspire_received_bytes_total"), 100);
  EXPECT_GT(Sample(text, "larkspire_sent_bytes_total"),
            Sample(text, "larkspire_received_bytes_total"));
  EXPECT_EQ(Sample(text, "larkspire_sessions_in_use"), 1);
  EXPECT_EQ(Sample(text, "larkspire_sessions_total"), 1);
  EXPECT_EQ(Sample(text, "larkspire_sessions_refused_total{reason=\"connections_limit\"}"), 1);
  EXPECT_EQ(Sample(text, "larkspire_load_value"), 1000);
  EXPECT_EQ(Sample(text, "larkspire_downloads_in_flight"), 0);
}

TEST(MetricsE2E, PromtoolAcceptsTheScrapedText) {
  const char* promtool = "/usr/bin/promtool";
  if (::access(promtool, X_OK) != 0) {
    GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
  }
  TServerProcess server({"--metrics", "127.0.0.1:0"});
  const uint16_t port = MetricsPort(server);
  ASSERT_NE(port, 0) << server.Log();
  TLarkspireConnection connection;
  connection.SetRemotePort(server.Port());
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText("select * from no_such_table");
  EXPECT_THROW(query.Open(), ELarkspireException);

  ASSERT_TRUE(Becomes(port, "larkspire_replies_total{error_code=\"20004\"}", 1));
  const THttpAnswer scraped = Get(port, "/metrics");
  ASSERT_EQ(scraped.Status, 200);
  const TProgramResult lint = RunProgram(promtool, {"check", "metrics"}, {scraped.Body, {}});
  EXPECT_EQ(lint.exit_code, 0) << lint.out << lint.err;
  EXPECT_EQ(lint.out + lint.err, "");
}

TEST(MetricsE2E, HealthIsOkUntilTheStopAnd503DuringTheGrace) {
  TServerProcess server({"--metrics", "127.0.0.1:0", "--plugins", LARKSPIRE_TEST_PLUGIN_DIR,
                         "--stop-grace-ms", "5000"});
  const uint16_t port = MetricsPort(server);
  ASSERT_NE(port, 0) << server.Log();

  // A connection that sends nothing holds no one up; what is not a scrape or a check is refused.
  TRawClient silent;
  ASSERT_TRUE(silent.Connect(port));
  EXPECT_EQ(Get(port, "/healthz").Status, 200);
  EXPECT_EQ(Get(port, "/healthz").Body, "ok\n");
  EXPECT_EQ(Get(port, "/metrics/../etc").Status, 404);
  EXPECT_EQ(Http(port, "POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n").Status, 405);
  EXPECT_EQ(Http(port, "GET /metrics\r\n\r\n").Status, 400);
  EXPECT_EQ(Http(port, "GET /" + std::string(20000, 'a')).Status, 431);

  // A download the client does not read is in flight until the client goes.
  {
    std::ofstream(std::filesystem::path(server.DataDir()) / "files" / "big.bin")
        << std::string(32 << 20, 'x');
    TRawClient downloader;
    ASSERT_TRUE(downloader.Connect(server.Port()));
    ASSERT_EQ(downloader.Handshake("00-11-22-33-44-55", "downloader").Status, 1);
    TRemoteCommand request;
    request.Code = cmdDownload;
    request.Success = false;
    request.SetDataText("big.bin");
    request.Value = 1;
    TLarkspireMemoryStream encoded;
    request.SaveToStream(encoded);
    ASSERT_TRUE(downloader.SendFrame(encoded.Bytes()));
    EXPECT_TRUE(Becomes(port, "larkspire_downloads_in_flight", 1));
  }
  EXPECT_TRUE(Becomes(port, "larkspire_downloads_in_flight", 0));

  // A plug-in call in flight (two seconds) keeps the server in its grace after SIGTERM.
  TLarkspireConnection connection;
  connection.SetRemotePort(server.Port());
  TLarkspirePluginCall call;
  call.SetConnection(&connection);
  call.RequestData().Param("ReqType").SetAsInteger(9);
  connection.SetConnected(true);
  bool answered = false;
  std::thread client([&] { answered = call.Execute("PluginFaulty"); });
  EXPECT_TRUE(Becomes(port, "larkspire_plugin_runners{state=\"busy\"}", 1));
  ::kill(server.Pid(), SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && status != 503; ++i) {
    status = Get(port, "/healthz").Status;
    if (status != 503) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(status, 503);
  EXPECT_EQ(Get(port, "/healthz").Body, "stopping\n");
  client.join();
  EXPECT_TRUE(answered);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace larkspire::test
