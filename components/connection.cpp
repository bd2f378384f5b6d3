#include "components/connection.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/identity.h"
#include "platform/thread.h"

namespace larkspire {

// The idle watch: every 50 ms, disconnects a connection that has had no command for
// SmartDCTime minutes.
class TLarkspireConnectionThread : public TThread {
 public:
  explicit TLarkspireConnectionThread(TLarkspireConnection& connection) : connection_(connection) {}
  ~TLarkspireConnectionThread() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      Sleep(50);
      if (Terminated()) break;
      connection_.IdleCheck();
    }
  }

 private:
  TLarkspireConnection& connection_;
};

namespace {

const char kCouldNotConnect[] = "Could not connect to LarkspireServer (%s:%d).";
const char kRefused[] = "Connection be refused from LarkspireServer (%s:%d).";
const char kLimit[] = "Connections limit from LarkspireServer (%s:%d).";

const char* MessageOfCode(int32_t code) {
  switch (code) {
    case kErrCouldNotConnect: return kCouldNotConnect;
    case kErrConnectionRefused: return kRefused;
    case kErrConnectionsLimit: return kLimit;
    default: return nullptr;
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
  udp_socket_ = std::make_unique<TSuperUdpSocket>("0.0.0.0", 0, 0);
  udp_socket_->OnRecvStream = [this](const std::string& ip, int port, TStream& stream,
                                     TDataProcessModule* module) {
    OnDatagramMessage(ip, port, stream, module);
  };
  udp_socket_->OnProgress = OnProgress;
  if (!IsDesigning()) {
    watch_thread_ = std::make_unique<TLarkspireConnectionThread>(*this);
    watch_thread_->Start();
  }
  tcp_client_.OnProgress = OnProgress;
}

TLarkspireConnection::~TLarkspireConnection() {
  watch_thread_.reset();
  tcp_client_.Disconnect();
  udp_socket_.reset();
}

void TLarkspireConnection::OnDatagramMessage(const std::string& ip, int port, TStream& stream,
                                             TDataProcessModule* module) {
  TRemoteCommand message;
  message.LoadFromStream(stream);
  ++datagram_messages_ignored_;
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
  error_code_ = kNoErrorCode;
  error_text_.clear();
  resolved_ip_ = ResolveHost(remote_ip_);
  if (value == Connected()) return;
  if (!value) {
    tcp_client_.Disconnect();
    connected_ = false;
    if (OnAfterDisconnect) OnAfterDisconnect();
    return;
  }
  const std::string auth = WideToAnsi(GetClientIdentity() + "/" + client_name_);
  connected_ = tcp_client_.Connect(resolved_ip_, remote_port_, auth, 1);
  if (!connected_) {
    if (tcp_client_.HandshakeStatus() == 0) error_code_ = kErrCouldNotConnect;
    else if (tcp_client_.HandshakeStatus() == 3) error_code_ = tcp_client_.HandshakeCode();
    if (const char* format = MessageOfCode(error_code_)) error_text_ = FormatAddressMessage(format);
    return;
  }
  if (OnAfterConnect) OnAfterConnect();
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

TRemoteCommand& TLarkspireConnection::ExecuteCommand(TRemoteCommand& request,
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
  if (error_code_ == kErrCouldNotConnect && previous_code != kErrCouldNotConnect)
    RunAttempt(request, wait_msg, refused_busy);
  return refused_busy ? busy_reply_ : reply_;
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
  }
  struct TIdleAgain {
    std::atomic<uint8_t>& state;
    ~TIdleAgain() { state = kIdle; }
  } idle_again{state_};

  reply_.Reset();
  reply_.Success = false;
  reply_.Message.clear();
  error_code_ = kNoErrorCode;
  error_text_.clear();
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
  if (state_ == kReplied && !reply_.Success) error_code_ = reply_.Value;
  if (state_ == kFailed) {
    const char* format = MessageOfCode(error_code_);
    if (format == nullptr) {
      error_code_ = kErrCouldNotConnect;
      format = kCouldNotConnect;
    }
    reply_.Message = WideToAnsi(FormatAddressMessage(format));
  }
  if (reply_.Value == kErrTransactionLost) transaction_level_ = 0;
  error_text_ = AnsiToWide(reply_.Message);
}

void TLarkspireConnection::RunExchange(TStream& stream) {
  if (!tcp_client_.SendStream(stream)) {
    state_ = kFailed;
    tcp_client_.Disconnect();
    return;
  }
  stream.SetSize(0);
  stream.SetPosition(0);
  if (tcp_client_.ReceiveStream(stream)) {
    reply_.LoadFromStream(stream);
    state_ = kReplied;
  } else {
    tcp_client_.Disconnect();
    state_ = kFailed;
  }
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
      case emtCode: text = std::to_string(code); break;
      case emtMsg: text = msg; break;
      case emtCodeAndMsg: text = "(" + std::to_string(code) + ")" + msg + "."; break;
    }
  }
  const std::string& name = component != nullptr ? component->Name() : Name();
  throw ELarkspireException(code, msg, name + ":" + text);
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

bool TLarkspireConnection::RunSimple(uint16_t code, bool success_flag,
                                     const std::string& data_text, std::string& failure,
                                     int32_t* value) {
  TRemoteCommand request;
  request.Code = code;
  request.Success = success_flag;
  if (!data_text.empty()) request.SetDataText(WideToAnsi(data_text));
  TRemoteCommand& reply = ExecuteCommand(request);
  const bool ok = reply.Success;
  if (ok && value != nullptr) *value = reply.Value;
  if (!ok) failure = AnsiToWide(reply.Message);
  reply.Reset();
  return ok;
}

int32_t TLarkspireConnection::StartTransaction() {
  std::string failure;
  int32_t level = 0;
  if (RunSimple(cmdBeginTrans, true, "", failure, &level)) transaction_level_ = level;
  else level = 0;
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
  last_activity_ = TickCount();
  return true;
}

void TLarkspireConnection::EndRawTransfer() {
  std::lock_guard lock(link_mutex_);
  last_activity_ = TickCount();
  state_ = kIdle;
}

void TLarkspireConnection::IdleCheck() {
  const uint32_t minutes = smart_dc_time_;
  if (minutes == 0) return;
  std::lock_guard lock(link_mutex_);
  // A command in progress is never cut; the next idle check sees it finished.
  if (state_ != kIdle || !tcp_client_.Connected()) return;
  const uint32_t idle = TickCount() - last_activity_;
  if (idle <= minutes * idle_minute_ms_) return;
  tcp_client_.Disconnect();
  connected_ = false;
  if (OnAfterDisconnect) OnAfterDisconnect();
}

}  // namespace larkspire
