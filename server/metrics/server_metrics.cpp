#include "server/metrics/server_metrics.h"

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <sstream>

#include "protocol/remote_command.h"

namespace larkspire::server {

namespace {

// Seconds: from a cached lookup to a long download or a slow plug-in.
const prometheus::Histogram::BucketBoundaries kDurationBuckets = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

const char* RefusalName(TRefusal reason) {
  switch (reason) {
    case TRefusal::rfConnectionsLimit:
      return "connections_limit";
    case TRefusal::rfDenied:
      return "denied";
    case TRefusal::rfTlsRequired:
      return "tls_required";
  }
  return "other";
}

}  // namespace

TServerMetrics::TServerMetrics(const std::vector<uint16_t>& commands,
                               std::function<TServerSample()> sample)
    : sample_(std::move(sample)), registry_(std::make_unique<prometheus::Registry>()) {
  prometheus::Registry& registry = *registry_;
  sessions_in_use_ = &prometheus::BuildGauge()
                          .Name("larkspire_sessions_in_use")
                          .Help("Client sessions being served now.")
                          .Register(registry)
                          .Add({});
  sessions_max_ = &prometheus::BuildGauge()
                       .Name("larkspire_sessions_max")
                       .Help("Sessions served at once at most (--max-connections).")
                       .Register(registry)
                       .Add({});
  sessions_total_ = &prometheus::BuildCounter()
                         .Name("larkspire_sessions_total")
                         .Help("Connections taken on as sessions.")
                         .Register(registry)
                         .Add({});
  auto& refused = prometheus::BuildCounter()
                      .Name("larkspire_sessions_refused_total")
                      .Help("Connections refused, by reason.")
                      .Register(registry);
  for (TRefusal reason :
       {TRefusal::rfConnectionsLimit, TRefusal::rfDenied, TRefusal::rfTlsRequired}) {
    refused_[reason] = &refused.Add({{"reason", RefusalName(reason)}});
  }

  auto& requests = prometheus::BuildCounter()
                       .Name("larkspire_requests_total")
                       .Help(
                           "Requests answered, by command code (\"other\": not served or not "
                           "decoded).")
                       .Register(registry);
  auto& durations = prometheus::BuildHistogram()
                        .Name("larkspire_request_duration_seconds")
                        .Help("Time from a whole request frame to its reply sent, by command code.")
                        .Register(registry);
  std::vector<uint16_t> codes = commands;
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  for (uint16_t code : codes) {
    if (code == kNoCommand) continue;
    const prometheus::Labels labels{{"command", std::to_string(code)}};
    commands_.push_back({code, {&requests.Add(labels), &durations.Add(labels, kDurationBuckets)}});
  }
  const prometheus::Labels other{{"command", "other"}};
  other_command_ = {&requests.Add(other), &durations.Add(other, kDurationBuckets)};

  replies_ = &prometheus::BuildCounter()
                  .Name("larkspire_replies_total")
                  .Help("Reply frames sent, by error code (\"0\": successful).")
                  .Register(registry);
  replies_ok_ = &replies_->Add({{"error_code", "0"}});
  other_error_replies_ = &replies_->Add({{"error_code", "other"}});

  received_ = &prometheus::BuildCounter()
                   .Name("larkspire_received_bytes_total")
                   .Help("Bytes read from client sessions (frames, after TLS).")
                   .Register(registry)
                   .Add({});
  sent_ = &prometheus::BuildCounter()
               .Name("larkspire_sent_bytes_total")
               .Help("Bytes written to client sessions (frames and downloads, before TLS).")
               .Register(registry)
               .Add({});
  downloads_ = &prometheus::BuildGauge()
                    .Name("larkspire_downloads_in_flight")
                    .Help("File downloads being sent now.")
                    .Register(registry)
                    .Add({});
  auto& runners = prometheus::BuildGauge()
                      .Name("larkspire_plugin_runners")
                      .Help("Plug-in runner processes, idle (kept warm) or busy with a call.")
                      .Register(registry);
  runners_idle_ = &runners.Add({{"state", "idle"}});
  runners_busy_ = &runners.Add({{"state", "busy"}});
  load_ = &prometheus::BuildGauge()
               .Name("larkspire_load_value")
               .Help("The load answered to clients: sessions in use x 1000 / --max-connections.")
               .Register(registry)
               .Add({});
}

TServerMetrics::~TServerMetrics() = default;

void TServerMetrics::SessionStarted() {
  sessions_total_->Increment();
}

void TServerMetrics::SessionRefused(TRefusal reason) {
  refused_.at(reason)->Increment();
}

const TServerMetrics::TCommandMeters& TServerMetrics::MetersFor(uint16_t command) const {
  auto found =
      std::lower_bound(commands_.begin(), commands_.end(), command,
                       [](const auto& entry, uint16_t code) { return entry.first < code; });
  return found != commands_.end() && found->first == command ? found->second : other_command_;
}

void TServerMetrics::CountRequest(uint16_t command, std::chrono::steady_clock::duration took) {
  const TCommandMeters& meters = MetersFor(command);
  meters.Requests->Increment();
  meters.Duration->Observe(std::chrono::duration<double>(took).count());
}

void TServerMetrics::CountReply(bool success, int32_t error_code) {
  if (success) {
    replies_ok_->Increment();
    return;
  }
  prometheus::Counter* counter = other_error_replies_;
  {
    std::lock_guard lock(error_replies_mutex_);
    auto found = error_replies_.find(error_code);
    if (found != error_replies_.end()) {
      counter = found->second;
    } else if (error_replies_.size() < kMaxErrorCodes && error_code != 0) {
      counter = &replies_->Add({{"error_code", std::to_string(error_code)}});
      error_replies_.emplace(error_code, counter);
    }
  }
  counter->Increment();
}

void TServerMetrics::CountReceived(uint64_t bytes) {
  received_->Increment(static_cast<double>(bytes));
}

void TServerMetrics::CountSent(uint64_t bytes) {
  sent_->Increment(static_cast<double>(bytes));
}

void TServerMetrics::DownloadStarted() {
  downloads_->Increment();
}

void TServerMetrics::DownloadEnded() {
  downloads_->Decrement();
}

std::string TServerMetrics::Render() {
  if (sample_) {
    const TServerSample now = sample_();
    sessions_in_use_->Set(now.SessionsInUse);
    sessions_max_->Set(now.SessionsMax);
    load_->Set(now.LoadValue);
    runners_idle_->Set(static_cast<double>(now.RunnersIdle));
    runners_busy_->Set(static_cast<double>(now.RunnersBusy));
  }
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, registry_->Collect());
  return out.str();
}

TRequestMeter::~TRequestMeter() {
  if (metrics_ == nullptr) return;
  if (download_) metrics_->DownloadEnded();
  metrics_->CountRequest(command_, std::chrono::steady_clock::now() - started_);
}

void TRequestMeter::SetCommand(uint16_t command) {
  command_ = command;
  if (metrics_ != nullptr && command == cmdDownload && !download_) {
    download_ = true;
    metrics_->DownloadStarted();
  }
}

void TRequestMeter::Replied(bool success, int32_t error_code) {
  if (metrics_ != nullptr) metrics_->CountReply(success, error_code);
}

}  // namespace larkspire::server
