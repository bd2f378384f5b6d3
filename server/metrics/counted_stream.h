// TCountedStream: a session's byte stream that counts what goes through it into the server's
// metrics (bytes received and sent, those written past it to the socket included), and is
// otherwise the stream it wraps. Under TLS it counts the bytes of frames and downloads, not
// those of the TLS records.
//
// Thread-safety: as the wrapped stream's (the session's thread reads and writes).
#ifndef LARKSPIRE_SERVER_METRICS_COUNTED_STREAM_H_
#define LARKSPIRE_SERVER_METRICS_COUNTED_STREAM_H_

#include <memory>

#include "server/metrics/server_metrics.h"
#include "server/net/conn_stream.h"

namespace larkspire::server {

class TCountedStream : public TConnStream {
 public:
  TCountedStream(std::unique_ptr<TConnStream> inner, TServerMetrics& metrics)
      : TConnStream(inner->Fd()), inner_(std::move(inner)), metrics_(metrics) {}

  TOpen Open(std::chrono::steady_clock::time_point deadline, std::string& failure) override {
    return inner_->Open(deadline, failure);
  }
  bool IsTls() const override { return inner_->IsTls(); }
  SSL* Ssl() const override { return inner_->Ssl(); }
  bool ExportKeyingMaterial(uint8_t* out, size_t out_length, const std::string& label,
                            const std::string& context) const override {
    return inner_->ExportKeyingMaterial(out, out_length, label, context);
  }
  bool HasBuffered() const override { return inner_->HasBuffered(); }
  ssize_t ReadSome(void* buffer, size_t count) override;
  bool WriteAll(const void* bytes, size_t count, bool more = false) override;
  void WroteDirectly(size_t bytes) override;

 private:
  std::unique_ptr<TConnStream> inner_;
  TServerMetrics& metrics_;
};

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_METRICS_COUNTED_STREAM_H_
