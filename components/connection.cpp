#include "components/connection.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <vector>

#include "components/host_list.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/identity.h"
#include "platform/thread.h"
#include "protocol/handshake.h"
#include "protocol/memory_stream.h"
#include "transport/load_probe.h"

namespace larkspire {

// The idle watch: every 50 ms, disconnects a connection that has had no command for
// SmartDCTime minutes. It waits on a condition variable rather than sleeping, so that it ends
// at once when told and freeing the connection never waits for the rest of a poll.
class TLarkspireConnectionThread : public TThread {
 public:
  explicit TLarkspireConnectionThread(TLarkspireConnection& connection) : connection_(connection) {}
  ~TLarkspireConnectionThread() override {
    {
      std::lock_guard lock(mutex_);
      Terminate();
    }
    wake_.notify_all();
    WaitFor();
  }

 protected:
  void Execute() override {
    std::unique_lock lock(mutex_);
    while (!Terminated()) {
      wake_.wait_for(lock, std::chrono::milliseconds(kPollMs), [this] { return Terminated(); });
      if (Terminated()) break;
      lock.unlock();
      connection_.IdleCheck();
      lock.lock();
    }
  }

 private:
  static constexpr int kPollMs = 50;

  TLarkspireConnection& connection_;
  std::mutex mutex_;
  std::condition_variable wake_;
};

namespace {

// How long connecting waits for the load answers of several servers.
constexpr uint32_t kLoadProbeMs = 200;
// A datagram message whose decoded fields pass this hands its memory back to the system.
constexpr int64_t kLargeDatagramMessage = 1 << 20;

const char kCouldNotConnect[] = "Could not connect to LarkspireServer (%s:%d).";
const char kRefused[] = "Connection be refused from LarkspireServer (%s:%d).";
const char kLimit[] = "Connections limit from LarkspireServer (%s:%d).";
const char kTlsRequired[] =
    "LarkspireServer (%s:%d) speaks TLS only on this port: connect with UseTls.";
// Followed by the reason.
const char kTlsFailed[] = "TLS with LarkspireServer (%s:%d) failed: ";
const char kNoReply[] = "No reply from LarkspireServer (%s:%d) within %u s.";
const char kClosedDuringCommand[] =
    "The connection to LarkspireServer (%s:%d) was closed while the command was running.";
const char kReplyTooLarge[] =
    "The reply from LarkspireServer (%s:%d) is larger than MaxMessageSize (%llu bytes).";
// The longest frame a reply of at most max_message bytes can come in: deflate at any level
// adds far less than an eighth, and the frame's own fields are small. A longer frame is not
// read at all.
uint32_t MaxReplyFrame(uint64_t max_message) {
  const uint64_t most = 4 + max_message + max_message / 8 + 65536;
  return static_cast<uint32_t>(std::min<uint64_t>(most, kMaxFrameBody));
}

// Block packets taken from the socket at once during a download: 1 MiB of blocks.
constexpr int32_t kBlocksPerRead = 32;

// The longest reply time-out that milliseconds in 32 bits can carry.
constexpr uint32_t kMaxReplyTimeout = 0xFFFFFFFFu / 1000;

const char* MessageOfCode(int32_t code) {
  switch (code) {
    case kErrCouldNotConnect:
      return kCouldNotConnect;
    case kErrConnectionRefused:
      return kRefused;
    case kErrConnectionsLimit:
      return kLimit;
    case kErrTlsRequired:
      return kTlsRequired;
    default:
      return nullptr;
  }
}

// Cuts UTF-8 text to at most count characters.
std::string CutCharacters(const std::string& text, size_t count) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (characters == count) return text.substr(0, i);
      ++characters;
    }
  }
  return text;
}

// One exchange on the worker thread: the wait window is told when it ends, however it ends.
class TLarkspireExecuteThread : public TThread {
 public:
  TLarkspireExecuteThread(TLarkspireConnection& connection, TStream& stream)
      : stream_(stream), connection_(connection) {
    connection_.WaitForm().Running = true;
    Start();
  }
  ~TLarkspireExecuteThread() override { WaitFor(); }

 protected:
  void Execute() override {
    struct TDone {
      TLarkspireWaitForm& form;
      ~TDone() { form.Running = false; }
    } done{connection_.WaitForm()};
    connection_.RunExchange(stream_);
  }

 private:
  TStream& stream_;
  TLarkspireConnection& connection_;
};

}  // namespace

TLarkspireConnection::TLarkspireConnection(TComponent* owner)
    : TComponent(owner), wait_form_(std::make_unique<TLarkspireWaitForm>()) {
  last_activity_ = TickCount();
  tcp_client_.SetReceiveTimeout(reply_timeout_ * 1000);
  // The endpoint's events are in place before it receives anything. Its progress handler is
  // the one the connection holds now, copied: the application's later handler never runs on
  // the endpoint's receiving thread.
  udp_socket_ = std::make_unique<TSuperUdpSocket>(
      "0.0.0.0", 0, 0, TDatagramTiming{}, [this](TSuperUdpSocket& endpoint) {
        endpoint.OnRecvStream = [this](const std::string& ip, int port, TStream& stream,
                                       TDataProcessModule* module) {
          OnDatagramMessage(ip, port, stream, module);
        };
        endpoint.OnProgress = OnProgress;
      });
  if (!IsDesigning()) {
    watch_thread_ = std::make_unique<TLarkspireConnectionThread>(*this);
    watch_thread_->Start();
  }
  tcp_client_.OnProgress = OnProgress;
}

TLarkspireConnection::~TLarkspireConnection() {
  // The listener's session copies this connection's settings: it goes first.
  listener_.reset();
  // Wakes an exchange still blocked on the socket before anything waits for a thread.
  tcp_client_.Interrupt();
  watch_thread_.reset();
  tcp_client_.Disconnect();
  udp_socket_.reset();
}

void TLarkspireConnection::OnDatagramMessage(const std::string& ip, int port, TStream& stream,
                                             TDataProcessModule* module) {
  TDatagramCommandEvent handler;
  {
    std::lock_guard lock(datagram_mutex_);
    handler = on_datagram_command_;
  }
  // Nobody wants it: dropped as it came, never inflated.
  if (!handler) {
    ++datagram_messages_ignored_;
    return;
  }
  bool large = true;
  try {
    TRemoteCommand message;
    message.LoadFromStream(stream, MaxDatagramMessage());
    large = message.Data.Size() + message.Params.Size() > kLargeDatagramMessage;
    handler(ip, port, message);
  } catch (...) {
    // A message that does not decode within the bound is dropped like an unwanted one.
    ++datagram_messages_ignored_;
  }
  // What a large message took while it was decoded goes back to the system, not only to the
  // allocator's free lists.
  if (large) malloc_trim(0);
}

void TLarkspireConnection::SetOnDatagramCommand(TDatagramCommandEvent handler) {
  std::lock_guard lock(datagram_mutex_);
  on_datagram_command_ = std::move(handler);
}

uint64_t TLarkspireConnection::MaxDatagramMessage() const {
  return udp_socket_->Limits().MaxMessageBytes;
}

void TLarkspireConnection::SetMaxDatagramMessage(uint64_t bytes) {
  TDatagramLimits limits = udp_socket_->Limits();
  limits.MaxMessageBytes = bytes;
  udp_socket_->SetLimits(limits);
}

void TLarkspireConnection::SetReplyTimeout(uint32_t seconds) {
  reply_timeout_ = std::min(seconds, kMaxReplyTimeout);
  tcp_client_.SetReceiveTimeout(reply_timeout_ * 1000);
}

std::string TLarkspireConnection::ErrorText() const {
  std::lock_guard lock(error_mutex_);
  return error_text_;
}

void TLarkspireConnection::SetError(int32_t code, const std::string& text) {
  std::lock_guard lock(error_mutex_);
  error_code_ = code;
  error_text_ = text;
}

void TLarkspireConnection::DisconnectLink() {
  std::lock_guard lock(link_mutex_);
  if (state_ != kIdle) {
    // The command in progress owns the socket: wake it, and let it close the socket when it
    // ends, so no thread ever uses a closed descriptor.
    disconnect_requested_ = true;
    tcp_client_.Interrupt();
  } else {
    tcp_client_.Disconnect();
  }
  connected_ = false;
  if (OnAfterDisconnect) OnAfterDisconnect();
}

void TLarkspireConnection::SetRemoteIP(const std::string& value) {
  if (!value.empty()) remote_ip_ = value;
}

bool TLarkspireConnection::Connected() {
  connected_ = tcp_client_.Connected();
  return connected_;
}

std::string TLarkspireConnection::FormatAddressMessage(const char* format) const {
  char text[1024];
  std::snprintf(text, sizeof text, format, remote_ip_.c_str(), remote_port_);
  return text;
}

void TLarkspireConnection::SetConnected(bool value) {
  if (IsLoading()) return;
  std::lock_guard lock(link_mutex_);
  SetError(kNoErrorCode, "");
  resolved_ip_ = ResolveHost(remote_ip_);
  if (value == Connected()) return;
  if (!value) {
    DisconnectLink();
    return;
  }
  const std::string auth = WideToAnsi(HandshakeAuthText(GetClientIdentity(), client_name_));
  if (remote_ip_.find_first_of(",:[") == std::string::npos) {
    if (!ConnectTo(remote_ip_, resolved_ip_, remote_port_, auth)) return;
  } else {
    std::vector<THostEntry> servers;
    try {
      servers = ParseHostList(remote_ip_, remote_port_);
    } catch (const Exception& e) {
      SetError(kErrCouldNotConnect, e.Message());
      return;
    }
    std::vector<size_t> order(servers.size(), 0);
    if (servers.size() > 1) {
      std::vector<std::pair<std::string, int>> targets;
      for (const THostEntry& entry : servers) targets.emplace_back(entry.Host, entry.Port);
      order = OrderByLoad(ProbeLoads(targets, kLoadProbeMs));
    }
    if (retry_elsewhere_) {
      const std::string broken = ConnectedServer();
      std::stable_partition(order.begin(), order.end(),
                            [&](size_t i) { return HostEntryText(servers[i]) != broken; });
    }
    bool reached = false;
    for (size_t i : order) {
      resolved_ip_ = ResolveHost(servers[i].Host);
      if (ConnectTo(servers[i].Host, resolved_ip_, servers[i].Port, auth)) {
        reached = true;
        std::lock_guard error_lock(error_mutex_);
        connected_server_ = HostEntryText(servers[i]);
        break;
      }
    }
    if (!reached) return;
    SetError(kNoErrorCode, "");
  }
  if (OnAfterConnect) OnAfterConnect();
}

bool TLarkspireConnection::LogIn() {
  TRemoteCommand request;
  request.Code = cmdLogIn;
  request.Password = login_password_;
  request.ConnectionName = WideToAnsi(connection_name_);
  request.SetDataText(WideToAnsi(user_name_));
  TLarkspireMemoryStream stream;
  request.SaveToStream(stream);
  TRemoteCommand reply;
  bool replied = false;
  if (tcp_client_.SendStream(stream)) {
    tcp_client_.SetMaxReceiveSize(MaxReplyFrame(max_message_size_));
    stream.SetSize(0);
    stream.SetPosition(0);
    if (tcp_client_.ReceiveStream(stream)) {
      try {
        reply.LoadFromStream(stream, max_message_size_);
        replied = true;
      } catch (const EMalformedData&) {
      }
    }
  }
  if (replied && reply.Success) return true;
  tcp_client_.Disconnect();
  if (!replied) {
    SetError(kErrCouldNotConnect, FormatAddressMessage(kCouldNotConnect));
    return false;
  }
  log_in_refused_ = true;
  SetError(reply.Value, AnsiToWide(reply.Message));
  return false;
}

bool TLarkspireConnection::ConnectTo(const std::string& name, const std::string& address, int port,
                                     const std::string& auth) {
  TTlsClientSettings tls = tls_;
  if (tls.ServerName.empty()) tls.ServerName = name;
  tcp_client_.SetTls(tls);
  log_in_refused_ = false;
  connected_ = tcp_client_.Connect(address, port, auth, 1);
  if (connected_ && !user_name_.empty() && !LogIn()) {
    connected_ = false;
    return false;
  }
  if (connected_) {
    std::lock_guard lock(error_mutex_);
    connected_server_ = remote_ip_ + ":" + std::to_string(remote_port_);
    return true;
  }
  if (!tcp_client_.TlsFailure().empty()) {
    SetError(kErrTlsFailed, FormatAddressMessage(kTlsFailed) + tcp_client_.TlsFailure() + ".");
    return false;
  }
  int32_t code = kNoErrorCode;
  if (tcp_client_.HandshakeStatus() == kHandshakeNone)
    code = kErrCouldNotConnect;
  else if (tcp_client_.HandshakeStatus() == kHandshakeRefused)
    code = tcp_client_.HandshakeCode();
  const char* format = MessageOfCode(code);
  SetError(code, format != nullptr ? FormatAddressMessage(format) : "");
  return false;
}

std::string TLarkspireConnection::ConnectedServer() const {
  std::lock_guard lock(error_mutex_);
  return connected_server_;
}

void TLarkspireConnection::SetClientName(const std::string& value) {
  std::string name;
  for (char c : value)
    if (c != '/') name.push_back(c);
  name = CutCharacters(name, 255);
  if (!connected_) {
    client_name_ = name;
    return;
  }
  std::string failure;
  if (RunSimple(cmdClientName, false, name, failure, nullptr)) client_name_ = name;
  if (!failure.empty()) RaiseError(error_code_, failure);
}

TLarkspireReply TLarkspireConnection::Exchange(TRemoteCommand& request,
                                               const std::string& wait_msg) {
  return TLarkspireReply(ExecuteCommand(request, wait_msg));
}

TRemoteCommand& TLarkspireConnection::ExecuteCommand(TRemoteCommand& request,
                                                     const std::string& wait_msg) {
  try {
    return ExecuteAttempts(request, wait_msg);
  } catch (...) {
    RethrowAtComponentBoundary(Name());
  }
}

TRemoteCommand& TLarkspireConnection::ExecuteAttempts(TRemoteCommand& request,
                                                      const std::string& wait_msg) {
  last_activity_ = TickCount();
  const int32_t previous_code = error_code_;
  bool refused_busy = false;
  RunAttempt(request, wait_msg, refused_busy);
  if (refused_busy) {
    // The running command owns Reply; this one gets a failed reply of its own.
    busy_reply_.Reset();
    return busy_reply_;
  }
  // Rows a streamed reply already handed out must not come a second time.
  if (error_code_ == kErrCouldNotConnect && previous_code != kErrCouldNotConnect &&
      !streamed_data_) {
    retry_elsewhere_ = true;
    try {
      RunAttempt(request, wait_msg, refused_busy);
    } catch (...) {
      retry_elsewhere_ = false;
      throw;
    }
    retry_elsewhere_ = false;
  }
  return refused_busy ? busy_reply_ : reply_;
}

TRemoteCommand& TLarkspireConnection::ExecuteStreamed(
    TRemoteCommand& request, const TCommandStreamDecoder::TDataSink& sink) {
  struct TSinkScope {
    TLarkspireConnection& connection;
    ~TSinkScope() { connection.stream_sink_ = nullptr; }
  } scope{*this};
  stream_sink_ = &sink;
  streamed_data_ = false;
  return ExecuteCommand(request);
}

void TLarkspireConnection::RunAttempt(TRemoteCommand& request, const std::string& wait_msg,
                                      bool& refused_busy) {
  {
    std::lock_guard lock(link_mutex_);
    if (state_ != kIdle) {
      refused_busy = true;
      return;
    }
    state_ = kBusy;
    disconnect_requested_ = false;
    exchange_failure_ = kNoErrorCode;
  }
  // However the attempt ends: a socket that a disconnect only shut down is closed here, by the
  // thread that owns the exchange, and the connection is idle again.
  struct TIdleAgain {
    TLarkspireConnection& connection;
    ~TIdleAgain() {
      std::lock_guard lock(connection.link_mutex_);
      if (connection.disconnect_requested_) connection.tcp_client_.Disconnect();
      connection.disconnect_requested_ = false;
      connection.state_ = kIdle;
    }
  } idle_again{*this};

  reply_.Reset();
  reply_.Success = false;
  reply_.Message.clear();
  SetError(kNoErrorCode, "");
  tcp_client_.OnProgress = OnProgress;

  request.Password = login_password_;
  request.ConnectionName = WideToAnsi(connection_name_);
  request.Success = request.Code == cmdBeginTrans ? true : InTransaction();

  TLarkspireMemoryStream stream;
  request.SaveToStream(stream);
  if (!Connected()) SetConnected(true);
  if (connected_) {
    if (wait_msg.empty()) {
      RunExchange(stream);
    } else {
      wait_form_->ShowText(wait_msg);
      TLarkspireExecuteThread worker(*this, stream);
      wait_form_->WaitModal();
      worker.WaitFor();
      if (worker.FatalException()) std::rethrow_exception(worker.FatalException());
    }
  } else {
    state_ = kFailed;
  }

  reply_.Code = cmdReply;
  int32_t code = error_code_;
  if (state_ == kReplied && !reply_.Success) code = reply_.Value;
  if (state_ == kFailed) {
    if (exchange_failure_ == kErrNoReply) {
      // The server may still be running the request: not worded as unreachable, not retried.
      code = kErrNoReply;
      char text[1024];
      std::snprintf(text, sizeof text, kNoReply, remote_ip_.c_str(), remote_port_,
                    static_cast<unsigned>(reply_timeout_));
      reply_.Message = WideToAnsi(text);
    } else if (exchange_failure_ == kErrReplyTooLarge) {
      code = kErrReplyTooLarge;
      reply_.Reset();
      reply_.Code = cmdReply;
      char text[1024];
      std::snprintf(text, sizeof text, kReplyTooLarge, remote_ip_.c_str(), remote_port_,
                    static_cast<unsigned long long>(max_message_size_.load()));
      reply_.Message = WideToAnsi(text);
    } else if (exchange_failure_ == kErrClosedDuringCommand) {
      code = kErrClosedDuringCommand;
      reply_.Message = WideToAnsi(FormatAddressMessage(kClosedDuringCommand));
    } else if (code == kErrTlsFailed) {
      // The connect's own wording, with the reason the certificate or handshake failed.
      reply_.Message = WideToAnsi(ErrorText());
    } else if (log_in_refused_) {
      // The server's own code and text for the refused log-in.
      reply_.Value = code;
      reply_.Message = WideToAnsi(ErrorText());
    } else {
      const char* format = MessageOfCode(code);
      if (format == nullptr) {
        code = kErrCouldNotConnect;
        format = kCouldNotConnect;
      }
      reply_.Message = WideToAnsi(FormatAddressMessage(format));
    }
  }
  if (reply_.Value == kErrTransactionLost) transaction_level_ = 0;
  SetError(code, AnsiToWide(reply_.Message));
}

void TLarkspireConnection::RunExchange(TStream& stream) {
  if (!tcp_client_.SendStream(stream)) {
    ExchangeFailed();
    return;
  }
  tcp_client_.SetMaxReceiveSize(MaxReplyFrame(max_message_size_));
  if (stream_sink_ != nullptr) {
    ReceiveStreamedReply();
    return;
  }
  stream.SetSize(0);
  stream.SetPosition(0);
  if (tcp_client_.ReceiveStream(stream)) {
    try {
      reply_.LoadFromStream(stream, max_message_size_);
    } catch (const EMessageTooLarge&) {
      // The whole frame was read, so the connection can carry the next command.
      exchange_failure_ = kErrReplyTooLarge;
      state_ = kFailed;
      return;
    }
    state_ = kReplied;
  } else {
    ExchangeFailed();
  }
}

void TLarkspireConnection::ExchangeFailed() {
  if (disconnect_requested_)
    exchange_failure_ = kErrClosedDuringCommand;
  else if (tcp_client_.ReceiveTimedOut())
    exchange_failure_ = kErrNoReply;
  else if (tcp_client_.ReceiveTooLarge())
    exchange_failure_ = kErrReplyTooLarge;
  state_ = kFailed;
  // A socket that Connected := false shut down is closed when the attempt ends.
  if (!disconnect_requested_) tcp_client_.Disconnect();
}

void TLarkspireConnection::ReceiveStreamedReply() {
  TCommandStreamDecoder decoder(
      reply_,
      [this](const char* bytes, size_t count) {
        streamed_data_ = true;
        (*stream_sink_)(bytes, count);
      },
      max_message_size_);
  bool received = false;
  try {
    received = tcp_client_.ReceiveFrame(
        [&decoder](const uint8_t* bytes, size_t count) { decoder.Feed(bytes, count); });
    if (received) decoder.Finish();
  } catch (const EMessageTooLarge&) {
    // The rest of the frame is not read: the connection cannot carry another command.
    tcp_client_.Disconnect();
    exchange_failure_ = kErrReplyTooLarge;
    state_ = kFailed;
    return;
  } catch (...) {
    tcp_client_.Disconnect();
    state_ = kFailed;
    throw;
  }
  if (received)
    state_ = kReplied;
  else
    ExchangeFailed();
}

void TLarkspireConnection::RaiseError(int32_t code, const std::string& msg,
                                      const TComponent* component) {
  std::string text;
  if (!net_error_info_.empty() && (code == kErrCouldNotConnect || code == kErrConnectionRefused ||
                                   code == kErrConnectionsLimit)) {
    text = net_error_info_ + FormatAddressMessage("(%s:%d)");
  } else if (code == kNoErrorCode) {
    text = msg;
  } else {
    switch (error_msg_type_) {
      case emtCode:
        text = std::to_string(code);
        break;
      case emtMsg:
        text = msg;
        break;
      case emtCodeAndMsg:
        text = "(" + std::to_string(code) + ")" + msg + ".";
        break;
    }
  }
  const std::string& name = component != nullptr ? component->Name() : Name();
  ThrowLarkspireException(code == kNoErrorCode ? error_code_.load() : code, code, msg,
                          name + ":" + text);
}

void TLarkspireConnection::RaiseFor(TLarkspireConnection* connection, const TComponent& component,
                                    int32_t code, const std::string& msg) {
  if (connection != nullptr) connection->RaiseError(code, msg, &component);
  ThrowLarkspireException(code, code, msg, component.Name() + ":" + msg + ".");
}

TLarkspireConnection& TLarkspireConnection::Required(TLarkspireConnection* connection,
                                                     const TComponent& component) {
  if (connection == nullptr)
    RaiseFor(nullptr, component, kErrMissingConnection, "Missing Connection.");
  return *connection;
}

std::string TLarkspireConnection::GetClientIdentity() {
  const std::string hex = GetAdapterAddress(adapter_root_);
  std::string identity;
  for (size_t i = 0; i + 1 < hex.size() && i < 12; i += 2) {
    if (!identity.empty()) identity += "-";
    identity += hex.substr(i, 2);
  }
  return identity;
}

bool TLarkspireConnection::RunSimple(uint16_t code, bool success_flag, const std::string& data_text,
                                     std::string& failure, int32_t* value) {
  TRemoteCommand request;
  request.Code = code;
  request.Success = success_flag;
  if (!data_text.empty()) request.SetDataText(WideToAnsi(data_text));
  const TLarkspireReply reply = Exchange(request);
  const bool ok = reply->Success;
  if (ok && value != nullptr) *value = reply->Value;
  if (!ok) failure = AnsiToWide(reply->Message);
  return ok;
}

int32_t TLarkspireConnection::StartTransaction() {
  std::string failure;
  int32_t level = 0;
  if (RunSimple(cmdBeginTrans, true, "", failure, &level))
    transaction_level_ = level;
  else
    level = 0;
  if (!failure.empty()) RaiseError(error_code_, failure);
  return level;
}

void TLarkspireConnection::CommitTransaction() {
  if (transaction_level_ == 0) return;
  std::string failure;
  if (RunSimple(cmdCommitTrans, false, "", failure, nullptr) && transaction_level_ > 0)
    --transaction_level_;
  if (!failure.empty()) RaiseError(error_code_, failure);
}

void TLarkspireConnection::RollbackTransaction() {
  if (transaction_level_ == 0) return;
  std::string failure;
  if (RunSimple(cmdRollbackTrans, false, "", failure, nullptr) && transaction_level_ > 0)
    --transaction_level_;
  if (!failure.empty()) RaiseError(error_code_, failure);
}

bool TLarkspireConnection::CallCommand(uint16_t code, const void*& data, int32_t& size,
                                       int32_t& err_code, const char*& err_text,
                                       int32_t& err_text_length) {
  if (transaction_level_ == 0) return false;
  TRemoteCommand request;
  request.Code = code;
  if (size > 0 && data != nullptr) request.Data.WriteBuffer(data, size);
  TRemoteCommand& reply = ExecuteCommand(request);
  if (reply.Success) {
    data = reply.Data.Memory();
    size = static_cast<int32_t>(reply.Data.Size());
  } else {
    err_code = reply.Value;
    err_text = reply.Message.data();
    err_text_length = static_cast<int32_t>(reply.Message.size());
  }
  return reply.Success;
}

bool TLarkspireConnection::BeginRawTransfer() {
  std::lock_guard lock(link_mutex_);
  if (state_ != kIdle) return false;
  state_ = kBusy;
  disconnect_requested_ = false;
  last_activity_ = TickCount();
  return true;
}

void TLarkspireConnection::EndRawTransfer() {
  std::lock_guard lock(link_mutex_);
  if (disconnect_requested_) tcp_client_.Disconnect();
  disconnect_requested_ = false;
  last_activity_ = TickCount();
  state_ = kIdle;
}

TDownloadResult TLarkspireConnection::Download(TRemoteCommand& request, const TRemoteFileInfo& info,
                                               IDownloadSink& sink) {
  request.Password = login_password_;
  request.ConnectionName = WideToAnsi(connection_name_);
  TLarkspireMemoryStream message;
  request.SaveToStream(message);
  if (!BeginRawTransfer()) return TDownloadResult::NotSent;
  struct TEndTransfer {
    TLarkspireConnection& connection;
    ~TEndTransfer() { connection.EndRawTransfer(); }
  } end_transfer{*this};
  if (!tcp_client_.SendStream(message)) {
    // A half-sent frame leaves the link out of step.
    tcp_client_.Disconnect();
    return TDownloadResult::NotSent;
  }
  try {
    sink.Started(request.Value);
    // The packets of up to kBlocksPerRead blocks arrive in one buffer and go to the sink at
    // once; a short read still hands over every whole packet before it.
    std::vector<uint8_t> packets(size_t{kBlocksPerRead} * kBlockPacketSize);
    TBlockPiece pieces[kBlocksPerRead];
    int32_t block = request.Value;
    while (block <= info.BlockCount) {
      const int32_t wanted = std::min(kBlocksPerRead, info.BlockCount - block + 1);
      const int64_t got =
          tcp_client_.ReceiveBuffer(packets.data(), int64_t{wanted} * kBlockPacketSize);
      const auto whole = static_cast<int32_t>(got / kBlockPacketSize);
      std::string malformed;
      int32_t usable = 0;
      for (; usable < whole; ++usable) {
        const uint8_t* packet = packets.data() + size_t(usable) * kBlockPacketSize;
        const int32_t length = BlockPacketLength(packet);
        const int64_t expected =
            std::min<int64_t>(kFileBlockSize, info.FileSize - BlockOffset(block + usable));
        if (length != expected) {
          malformed = "block packet " + std::to_string(block + usable) + " of " +
                      std::to_string(info.BlockCount) + ": length " + std::to_string(length) +
                      ", the block holds " + std::to_string(expected) + " bytes";
          break;
        }
        pieces[usable].Data = packet + kBlockPacketHeader;
        pieces[usable].Size = static_cast<size_t>(length);
      }
      if (usable > 0) sink.WriteBlocks(block, pieces, usable);
      block += usable;
      if (!malformed.empty()) throw EMalformedData(malformed);
      if (usable < wanted) {
        SetConnected(false);
        SetError(kErrCouldNotConnect, FormatAddressMessage(kCouldNotConnect));
        return TDownloadResult::Broken;
      }
    }
  } catch (...) {
    SetConnected(false);
    RethrowAtComponentBoundary(Name());
  }
  return TDownloadResult::Complete;
}

void TLarkspireConnection::IdleCheck() {
  const uint32_t minutes = smart_dc_time_;
  if (minutes == 0) return;
  std::lock_guard lock(link_mutex_);
  // A command in progress is never cut; the next idle check sees it finished.
  if (state_ != kIdle || !tcp_client_.Connected()) return;
  const uint32_t idle = TickCount() - last_activity_;
  if (idle <= minutes * idle_minute_ms_) return;
  // As writing Connected := false does: the error of the last command is cleared too.
  SetError(kNoErrorCode, "");
  DisconnectLink();
}

}  // namespace larkspire
