// TServerMetrics: what the server counts for its operators, in a prometheus-cpp registry, and
// its rendering in the Prometheus text format (served by server/metrics/metrics_http.h).
//
// Counted as it happens, on the request path: sessions started and refused, requests by
// command code with their time (from the whole request frame to the reply sent), replies by
// error code, bytes in and out of the sessions' streams, downloads in flight. Sampled when
// rendered, from the server itself: sessions in use, the load value, plug-in runners idle and
// busy. Every label child the request path uses is looked up once, at construction (a command
// code the server does not serve counts as "other"); the error codes of failed replies, which
// come from the server's own code, get a child on first use, at most kMaxErrorCodes of them.
//
// Metric names (all prefixed larkspire_):
//   sessions_in_use, sessions_max                       gauges
//   sessions_total                                      counter, sessions accepted
//   sessions_refused_total{reason}                      counter: connections_limit, denied,
//                                                       tls_required
//   requests_total{command}                             counter, by command code
//   request_duration_seconds{command}                   histogram
//   replies_total{error_code}                           counter; "0" counts successful replies
//   received_bytes_total, sent_bytes_total              counters
//   downloads_in_flight                                 gauge
//   plugin_runners{state}                               gauge: idle, busy
//   load_value                                          gauge: sessions in use x 1000 / max
//
// Thread-safety: every method may be called from any thread at once.
#ifndef LARKSPIRE_SERVER_METRICS_SERVER_METRICS_H_
#define LARKSPIRE_SERVER_METRICS_SERVER_METRICS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace prometheus {
class Counter;
class Gauge;
class Histogram;
class Registry;
template <typename T>
class Family;
}  // namespace prometheus

namespace larkspire::server {

// What the server tells at each rendering.
struct TServerSample {
  int SessionsInUse = 0;
  int SessionsMax = 0;
  int32_t LoadValue = 0;
  size_t RunnersIdle = 0;
  size_t RunnersBusy = 0;
};

enum class TRefusal { rfConnectionsLimit, rfDenied, rfTlsRequired };

class TServerMetrics {
 public:
  // commands: the codes the server serves; sample: called at each rendering.
  TServerMetrics(const std::vector<uint16_t>& commands, std::function<TServerSample()> sample);
  TServerMetrics(const TServerMetrics&) = delete;
  TServerMetrics& operator=(const TServerMetrics&) = delete;
  ~TServerMetrics();

  // The label of a request whose code is not served, or that did not decode.
  static constexpr uint16_t kNoCommand = 0;
  static constexpr size_t kMaxErrorCodes = 64;

  void SessionStarted();
  void SessionRefused(TRefusal reason);
  void CountRequest(uint16_t command, std::chrono::steady_clock::duration took);
  // success: the reply's Success; error_code: its Value when it failed.
  void CountReply(bool success, int32_t error_code);
  void CountReceived(uint64_t bytes);
  void CountSent(uint64_t bytes);
  void DownloadStarted();
  void DownloadEnded();

  // The whole registry in the Prometheus text format (version 0.0.4).
  std::string Render();

 private:
  struct TCommandMeters {
    prometheus::Counter* Requests = nullptr;
    prometheus::Histogram* Duration = nullptr;
  };
  const TCommandMeters& MetersFor(uint16_t command) const;

  std::function<TServerSample()> sample_;
  std::unique_ptr<prometheus::Registry> registry_;
  prometheus::Gauge* sessions_in_use_;
  prometheus::Gauge* sessions_max_;
  prometheus::Counter* sessions_total_;
  std::map<TRefusal, prometheus::Counter*> refused_;
  // Sorted by code; read-only after construction.
  std::vector<std::pair<uint16_t, TCommandMeters>> commands_;
  TCommandMeters other_command_;
  prometheus::Family<prometheus::Counter>* replies_;
  prometheus::Counter* replies_ok_;
  std::mutex error_replies_mutex_;
  std::map<int32_t, prometheus::Counter*> error_replies_;
  prometheus::Counter* other_error_replies_;
  prometheus::Counter* received_;
  prometheus::Counter* sent_;
  prometheus::Gauge* downloads_;
  prometheus::Gauge* runners_idle_;
  prometheus::Gauge* runners_busy_;
  prometheus::Gauge* load_;
};

// Times one request and counts it when it goes; a download is in flight meanwhile. With null
// metrics it does nothing.
class TRequestMeter {
 public:
  explicit TRequestMeter(TServerMetrics* metrics)
      : metrics_(metrics), started_(std::chrono::steady_clock::now()) {}
  TRequestMeter(const TRequestMeter&) = delete;
  TRequestMeter& operator=(const TRequestMeter&) = delete;
  ~TRequestMeter();

  // The request decoded to this command code.
  void SetCommand(uint16_t command);
  // Its reply went out.
  void Replied(bool success, int32_t error_code);

 private:
  TServerMetrics* metrics_;
  std::chrono::steady_clock::time_point started_;
  uint16_t command_ = TServerMetrics::kNoCommand;
  bool download_ = false;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_METRICS_SERVER_METRICS_H_
