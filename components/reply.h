// TLarkspireReply: the reply of one exchange, as TLarkspireConnection::Exchange hands it out.
// It reads through to the connection's reply and resets it when the handle goes, however the
// caller's scope ends, so a reply never outlives its use and never holds its bytes until the
// next command. Move-only; read it before the connection's next command.
//
//   TLarkspireReply reply = connection.Exchange(request);
//   if (!reply->Success) failure = reply->Message;
//
// Thread-safety: as the connection (the thread that issues its commands).
#ifndef LARKSPIRE_COMPONENTS_REPLY_H_
#define LARKSPIRE_COMPONENTS_REPLY_H_

#include <utility>

#include "protocol/remote_command.h"

namespace larkspire {

class TLarkspireReply {
 public:
  explicit TLarkspireReply(TRemoteCommand& reply) : reply_(&reply) {}
  ~TLarkspireReply() {
    if (reply_ != nullptr) reply_->Reset();
  }
  TLarkspireReply(TLarkspireReply&& other) noexcept
      : reply_(std::exchange(other.reply_, nullptr)) {}
  TLarkspireReply& operator=(TLarkspireReply&&) = delete;
  TLarkspireReply(const TLarkspireReply&) = delete;
  TLarkspireReply& operator=(const TLarkspireReply&) = delete;

  TRemoteCommand* operator->() const { return reply_; }
  TRemoteCommand& operator*() const { return *reply_; }

 private:
  TRemoteCommand* reply_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_REPLY_H_
