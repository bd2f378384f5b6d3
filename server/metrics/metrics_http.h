// TMetricsHttpServer: the small HTTP/1.x listener of --metrics, for a Prometheus scraper and a
// load balancer's or service manager's health check.
//
//   GET /metrics   200, the metrics in the Prometheus text format (version 0.0.4)
//   GET /healthz   200 "ok" while the server accepts sessions, 503 "stopping" otherwise
//   anything else  404 for another path, 405 for a method other than GET and HEAD, 400 for a
//                  request that is not HTTP, 431 for a head longer than kMaxRequestHead
//
// A query string is ignored. Every answer carries its length and closes the connection. One
// thread serves every connection with poll, kMaxClients at most at once (more wait in the
// listening queue); a connection must send its request and take its answer within
// kClientTime, or it is closed. A request body is never read.
//
// Thread-safety: constructed and destroyed by the owner's thread; the handlers are called on
// the listener's thread only. Port and Address may be read from any thread.
#ifndef LARKSPIRE_SERVER_METRICS_METRICS_HTTP_H_
#define LARKSPIRE_SERVER_METRICS_METRICS_HTTP_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "server/base/unique_fd.h"

namespace larkspire::server {

class TMetricsHttpServer {
 public:
  struct THandlers {
    // The body of GET /metrics.
    std::function<std::string()> Metrics;
    // Whether /healthz answers 200.
    std::function<bool()> Healthy;
  };

  static constexpr size_t kMaxRequestHead = 8 * 1024;
  static constexpr size_t kMaxClients = 16;
  static constexpr std::chrono::milliseconds kClientTime{5000};

  // Binds host:port (port 0 picks a free one), listens and starts serving. Raises Exception
  // naming the address when it cannot.
  TMetricsHttpServer(const std::string& host, uint16_t port, THandlers handlers);
  TMetricsHttpServer(const TMetricsHttpServer&) = delete;
  TMetricsHttpServer& operator=(const TMetricsHttpServer&) = delete;
  // Stops serving, closes every connection and the listening socket.
  ~TMetricsHttpServer();

  uint16_t Port() const { return port_; }
  // "127.0.0.1:9108" or "[::1]:9108", the address actually bound.
  const std::string& Address() const { return address_; }

 private:
  void Loop();
  // The whole answer (status line, head fields, body) to a complete request head.
  std::string Answer(const std::string& head) const;

  THandlers handlers_;
  TUniqueFd listening_;
  TUniqueFd wake_read_;
  TUniqueFd wake_write_;
  uint16_t port_ = 0;
  std::string address_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_METRICS_METRICS_HTTP_H_
