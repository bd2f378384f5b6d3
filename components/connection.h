// TLarkspireConnection: the component through which an application reaches one server. It
// connects on demand with a handshake that names the client machine, runs every command through
// ExecuteCommand (one attempt, and one more after a broken connection; Exchange hands the reply
// out through a handle that resets it) and the file download through Download, words failures
// as numbered errors and raises them as ELarkspireException through RaiseError. It is the one
// door: no component sends on its socket or sets its errors.
//
// Beside the plain exchange it runs a command that carries a wait message on a worker thread
// behind the wait window, keeps the server's transaction level (StartTransaction,
// CommitTransaction, RollbackTransaction), offers the raw CallCommand, and disconnects by
// itself after SmartDCTime minutes without a command (the idle watch thread).
//
// A reply that does not come within ReplyTimeout seconds fails the command with its own code
// (10005) and closes the socket; it is never retried, since the server may still be running the
// request. Only a connection that breaks is retried, once.
//
// Thread-safety: commands come from one thread (the application's main thread). The idle watch
// may disconnect on its own thread (then OnAfterDisconnect runs there); it never cuts a command
// in progress. Writing Connected := false while a command waits for its reply (from a handler
// run by the wait window, or from another thread) wakes that command at once; it then fails
// with code 10006 and is not retried. Connected, ErrorCode and ErrorText may be read from any
// thread. With a wait message, OnProgress runs on the worker thread.
#ifndef LARKSPIRE_COMPONENTS_CONNECTION_H_
#define LARKSPIRE_COMPONENTS_CONNECTION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "components/exception.h"
#include "components/notification_listener.h"
#include "components/reply.h"
#include "components/wait_form.h"
#include "platform/component.h"
#include "protocol/command_stream_decoder.h"
#include "protocol/file_transfer.h"
#include "protocol/remote_command.h"
#include "transport/datagram_socket.h"
#include "transport/tcp_client.h"

namespace larkspire {

enum TLarkspireErrorMsgType { emtCode = 0, emtMsg = 1, emtCodeAndMsg = 2 };
using TLarkspireConnectEvent = std::function<void()>;

// The raw call: a command of any code while a transaction is open. The addresses handed out
// point into the connection's reply and stay valid until its next command.
class ICommandCall {
 public:
  virtual bool CallCommand(uint16_t code, const void*& data, int32_t& size, int32_t& err_code,
                           const char*& err_text, int32_t& err_text_length) = 0;

 protected:
  ~ICommandCall() = default;
};

// One block of a download as it arrived: its file bytes, inside the connection's buffer.
struct TBlockPiece {
  const uint8_t* Data = nullptr;
  size_t Size = 0;
};

// Where the blocks of a download go, in the order they arrive. Its calls run on the thread that
// called Download; an exception from them ends the download (the connection is then closed,
// since the packets left unread would be taken for the next reply) and leaves Download.
class IDownloadSink {
 public:
  // The request went out: blocks from first_block on follow.
  virtual void Started(int32_t first_block) = 0;
  // The file bytes of count consecutive blocks, from first_block on.
  virtual void WriteBlocks(int32_t first_block, const TBlockPiece* pieces, int count) = 0;

 protected:
  ~IDownloadSink() = default;
};

enum class TDownloadResult {
  NotSent,   // another command was in progress, or the request could not be sent whole
  Complete,  // every block from the request's Value to the file's last reached the sink
  Broken,    // the connection broke during the blocks: it is closed, ErrorCode and ErrorText
             // say so (10002, "Could not connect to LarkspireServer (host:port).")
};

class TLarkspireConnectionThread;

class TLarkspireConnection : public TComponent, public ICommandCall {
 public:
  explicit TLarkspireConnection(TComponent* owner = nullptr);
  ~TLarkspireConnection() override;

  // Published properties.
  std::string Version() const { return kProtocolVersion; }
  void SetVersion(const std::string&) {}
  TLarkspireErrorMsgType ErrorMsgType() const { return error_msg_type_; }
  void SetErrorMsgType(TLarkspireErrorMsgType value) { error_msg_type_ = value; }
  const std::string& NetErrorInfo() const { return net_error_info_; }
  void SetNetErrorInfo(const std::string& value) { net_error_info_ = value; }
  // One server, or several: "host[:port][,host[:port]...]" (components/host_list.h). With
  // several, connecting asks each for its load (200 ms at most) and tries them least loaded
  // first, skipping any that cannot be reached or refuse; the retry of a broken connection
  // tries the server that broke last.
  const std::string& RemoteIP() const { return remote_ip_; }
  // An empty text is ignored.
  void SetRemoteIP(const std::string& value);
  // "host:port" of the server of the last successful connect ("[::1]:8008" for an IPv6 host);
  // empty before any.
  std::string ConnectedServer() const;
  int RemotePort() const { return remote_port_; }
  void SetRemotePort(int value) { remote_port_ = value; }
  // Reading gives the TCP client's state; writing connects or disconnects and never raises for
  // a refused or failed connect (ErrorCode and ErrorText tell why).
  bool Connected();
  void SetConnected(bool value);
  const std::string& LoginPassword() const { return login_password_; }
  void SetLoginPassword(const std::string& value) { login_password_ = value; }
  // The user of the server's users file this connection logs in as (UTF-8; empty: no log-in).
  // The log-in (command 602, with LoginPassword) follows every handshake, so the one retry
  // after a broken connection logs in again; a refused log-in fails the connect with the
  // server's code and text, and is not retried.
  const std::string& UserName() const { return user_name_; }
  void SetUserName(const std::string& value) { user_name_ = value; }
  const std::string& ConnectionName() const { return connection_name_; }
  void SetConnectionName(const std::string& value) { connection_name_ = value; }
  const std::string& ClientName() const { return client_name_; }
  // Removes every "/", keeps at most 255 characters; while connected the server is told
  // (command 120) and a refusal raises ELarkspireException, keeping the old name.
  void SetClientName(const std::string& value);
  uint8_t SmartDCTime() const { return smart_dc_time_; }
  void SetSmartDCTime(uint8_t minutes) { smart_dc_time_ = minutes; }
  // Seconds a command waits for each part of its reply before it fails with 10005; 0 waits for
  // ever. Default 300. Applies at once, to an open connection too.
  uint32_t ReplyTimeout() const { return reply_timeout_; }
  void SetReplyTimeout(uint32_t seconds);
  // The most bytes a reply may inflate to (default 256 MiB). A reply past it is dropped as soon
  // as decoding passes the bound, never held whole: the command fails with 10007 and is not
  // retried; the connection stays open, unless the reply's frame alone was too long to hold
  // such a message (it is then not read, and the connection is closed). Applies from the next
  // command.
  uint64_t MaxMessageSize() const { return max_message_size_; }
  void SetMaxMessageSize(uint64_t bytes) { max_message_size_ = bytes; }

  // TLS on the TCP road, from the next connect: the server's certificate is checked against
  // TlsCaFile (empty: the system's store) and TlsServerName (empty: RemoteIP as written). A
  // refused certificate or a failed TLS handshake fails the connect with 10009 and its reason,
  // and is not retried. Off by default.
  bool UseTls() const { return tls_.UseTls; }
  void SetUseTls(bool value) { tls_.UseTls = value; }
  const std::string& TlsCaFile() const { return tls_.CaFile; }
  void SetTlsCaFile(const std::string& value) { tls_.CaFile = value; }
  const std::string& TlsServerName() const { return tls_.ServerName; }
  void SetTlsServerName(const std::string& value) { tls_.ServerName = value; }

  // Reports the TCP transfers. The datagram endpoint keeps the handler this held when the
  // connection was made (none), so the application's handler never runs on its threads.
  TOnTransProgressEvent OnProgress;
  TLarkspireConnectEvent OnAfterConnect;
  TLarkspireConnectEvent OnAfterDisconnect;

  // Runs one command and returns the reply to read; the caller keeps the request. Refusals and
  // transport failures come back as Success false with the text in Message; errors of encoding,
  // decoding and socket creation propagate. With a wait message the exchange runs on the worker
  // thread behind the wait window. A command issued while another is in progress gets a failed
  // reply of its own with an empty Message and sends nothing.
  // The library's other exceptions leave as ELarkspireException kinds (components/exception.h).
  // The reply stays in Reply until the next command; Exchange is the form every component uses.
  TRemoteCommand& ExecuteCommand(TRemoteCommand& request, const std::string& wait_msg = "");
  // ExecuteCommand, with the reply handed out through a handle that resets it when it goes.
  TLarkspireReply Exchange(TRemoteCommand& request, const std::string& wait_msg = "");
  // Runs one command as ExecuteCommand does (without a wait window: on the calling thread), but
  // hands the reply's Data to sink piece by piece as it is inflated instead of keeping it, so a
  // reply of any size costs the memory of one piece; the reply's other fields land in the reply
  // returned. Data arrives before the reply says whether it succeeded. MaxMessageSize holds as
  // for any reply; a reply past it fails with 10007 and closes the connection, since the rest of
  // its frame is not read. A failure after part of Data reached sink is not retried. An
  // exception from sink, or a reply that does not decode, closes the connection and propagates.
  TRemoteCommand& ExecuteStreamed(TRemoteCommand& request,
                                  const TCommandStreamDecoder::TDataSink& sink);
  bool Busy() const { return state_ != kIdle; }
  int32_t ErrorCode() const { return error_code_; }
  // UTF-8.
  std::string ErrorText() const;
  // Raises ELarkspireException worded by ErrorMsgType and NetErrorInfo, prefixed with the name
  // of component (or of this connection) and ":", as the kind the code calls for
  // (components/exception.h). Code -1 uses the text unchanged; its kind then follows ErrorCode,
  // the cause of the last command's failure.
  [[noreturn]] void RaiseError(int32_t code, const std::string& msg,
                               const TComponent* component = nullptr);
  // How a component that works through a connection fails: through the connection's
  // RaiseError naming the component, or, without a connection, with the message
  // "<Name>:<msg>.".
  [[noreturn]] static void RaiseFor(TLarkspireConnection* connection, const TComponent& component,
                                    int32_t code, const std::string& msg);
  // The connection a component needs: without one raises code 10001 "Missing Connection."
  // (worded "<Name>:Missing Connection..").
  static TLarkspireConnection& Required(TLarkspireConnection* connection,
                                        const TComponent& component);
  // The adapter address in pairs joined by "-" ("00-1A-2B-3C-4D-5E"), or empty.
  std::string GetClientIdentity();

  // Transactions on the server's session.
  int32_t StartTransaction();
  void CommitTransaction();
  void RollbackTransaction();
  bool InTransaction() const { return transaction_level_ > 0; }
  int32_t TransactionLevel() const { return transaction_level_; }

  bool CallCommand(uint16_t code, const void*& data, int32_t& size, int32_t& err_code,
                   const char*& err_text, int32_t& err_text_length) override;

  // The one reply object, shared by all commands.
  TRemoteCommand& Reply() { return reply_; }
  TSuperTcpClient& TcpClient() { return tcp_client_; }
  // The datagram endpoint, made and freed with the connection; it answers peers only.
  TSuperUdpSocket& UdpSocket() { return *udp_socket_; }
  // A complete stream message from the endpoint. No command of this connection waits for a
  // datagram reply (every reply comes through the TCP client), so the message never goes into
  // Reply: there it would overwrite the reply of a running command, or leave the connection
  // marked replied with no command running, refusing every later one as busy. Without an
  // OnDatagramCommand handler it is dropped undecoded; with one it is decoded, inflating to at
  // most MaxDatagramMessage bytes, and handed to it (a message that fails is dropped).
  void OnDatagramMessage(const std::string& ip, int port, TStream& stream,
                         TDataProcessModule* module);
  // Messages dropped: unwanted, or failing to decode.
  int DatagramMessagesIgnored() const { return datagram_messages_ignored_.load(); }
  // Runs on the endpoint's delivery thread for each decoded message; may be set at any time.
  using TDatagramCommandEvent =
      std::function<void(const std::string& ip, int port, TRemoteCommand& message)>;
  void SetOnDatagramCommand(TDatagramCommandEvent handler);
  // The largest message the endpoint assembles, and what one may inflate to (default 64 MiB).
  // The endpoint's other caps are in UdpSocket().Limits().
  uint64_t MaxDatagramMessage() const;
  void SetMaxDatagramMessage(uint64_t bytes);
  TLarkspireWaitForm& WaitForm() { return *wait_form_; }
  // Where the client identity comes from (tests point it at a fake tree).
  void SetAdapterRoot(const std::string& net_root) { adapter_root_ = net_root; }
  // Milliseconds in a minute for the idle watch (tests may shrink it; default 60000).
  void SetIdleMinuteMs(uint32_t ms) { idle_minute_ms_ = ms; }
  // The exchange of one attempt; used by the worker thread.
  void RunExchange(TStream& stream);

  // Notifications (components/notification_listener.h). Subscriptions live on a hidden second
  // session opened on the first Subscribe with this connection's settings; they raise
  // ELarkspireException on failure ("this server does not send notifications" for a server
  // without them). Notify publishes through this connection's own session.
  void Subscribe(const std::string& channel);
  void Unsubscribe(const std::string& channel);
  void Notify(const std::string& channel, const std::string& payload = "");
  // Runs on the listener's delivery thread; may be set at any time.
  void SetOnNotification(TLarkspireNotificationEvent handler);
  TNotificationRoute NotificationRoute() const;
  // The listener, made on first use.
  TLarkspireNotificationListener& NotificationListener();

  // The file download (command 402): fills the request's password and connection name as every
  // command's, sends it and hands the file bytes of each block packet that follows to the sink,
  // from block request.Value to info.BlockCount. While it runs the connection is busy, so other
  // commands are refused instead of reading its packets as replies, and the idle watch does not
  // close the socket under it; the idle time counts from its end. A packet whose Length does
  // not fit its block raises ELarkspireMalformedDataError; like an exception from the sink
  // (which leaves as its ELarkspireException kind) it closes the connection first.
  TDownloadResult Download(TRemoteCommand& request, const TRemoteFileInfo& info,
                           IDownloadSink& sink);

 private:
  // Marks the connection busy for a transfer that reads the TCP client outside an exchange;
  // false when a command is in progress.
  bool BeginRawTransfer();
  void EndRawTransfer();
  // Leaves a failure for ErrorCode and ErrorText (UTF-8), as a failed command would.
  void SetError(int32_t code, const std::string& text);

  friend class TLarkspireConnectionThread;
  enum : uint8_t { kIdle = 0, kBusy = 1, kReplied = 2, kFailed = 3 };

  // ExecuteCommand's attempts: one, and one more after a broken connection.
  TRemoteCommand& ExecuteAttempts(TRemoteCommand& request, const std::string& wait_msg);
  void RunAttempt(TRemoteCommand& request, const std::string& wait_msg, bool& refused_busy);
  // The receiving half of an exchange of ExecuteStreamed.
  void ReceiveStreamedReply();
  // Marks the attempt failed after a send or receive that did not complete, noting why.
  void ExchangeFailed();
  // After the handshake: logs in as UserName. False (with the server's code and text left by
  // SetError, the socket closed) when the log-in fails.
  bool LogIn();
  std::string FormatAddressMessage(const char* format) const;
  void IdleCheck();
  // Closes an open connection and tells OnAfterDisconnect; while a command is in progress the
  // socket is only shut down (waking the command), and the command closes it when it ends.
  void DisconnectLink();
  // Connects to one server (its name as listed, for the TLS check; its resolved address and
  // port) and logs in; true when connected. Sets the error otherwise.
  bool ConnectTo(const std::string& name, const std::string& address, int port,
                 const std::string& auth);
  // Runs a command without a wait message; returns the reply's message (UTF-8) when it failed.
  bool RunSimple(uint16_t code, bool success_flag, const std::string& data_text,
                 std::string& failure, int32_t* value);

  TLarkspireErrorMsgType error_msg_type_ = emtMsg;
  std::string net_error_info_;
  std::string remote_ip_ = "127.0.0.1";
  int remote_port_ = 8008;
  std::string login_password_;
  std::string user_name_;
  // The last connect failed because the server refused the log-in (the code and text are the
  // server's).
  bool log_in_refused_ = false;
  std::string connection_name_;
  std::string client_name_;
  TTlsClientSettings tls_;
  std::atomic<uint8_t> smart_dc_time_{0};

  std::unique_ptr<TSuperUdpSocket> udp_socket_;
  std::atomic<int> datagram_messages_ignored_{0};
  std::mutex datagram_mutex_;  // guards on_datagram_command_
  TDatagramCommandEvent on_datagram_command_;
  TSuperTcpClient tcp_client_;
  std::atomic<bool> connected_{false};
  std::unique_ptr<TLarkspireConnectionThread> watch_thread_;
  std::atomic<uint32_t> last_activity_{0};
  std::string resolved_ip_;
  std::string connected_server_;  // guarded by error_mutex_
  // Set for the retry of a broken connection: the server that broke is tried last.
  bool retry_elsewhere_ = false;
  std::atomic<int32_t> error_code_{0};
  mutable std::mutex error_mutex_;  // guards error_text_
  std::string error_text_;
  std::atomic<uint8_t> state_{kIdle};
  // Why the exchange of the running attempt failed, when it was not a broken connection:
  // kErrNoReply, kErrClosedDuringCommand or kErrReplyTooLarge; kNoErrorCode otherwise.
  std::atomic<int32_t> exchange_failure_{kNoErrorCode};
  // Set when Connected := false arrives while a command is in progress.
  std::atomic<bool> disconnect_requested_{false};
  std::atomic<uint32_t> reply_timeout_{300};
  std::atomic<uint64_t> max_message_size_{kDefaultMaxMessageSize};
  TRemoteCommand reply_;
  TRemoteCommand busy_reply_;
  // While ExecuteStreamed runs: where the reply's Data goes, and whether any of it went there.
  const TCommandStreamDecoder::TDataSink* stream_sink_ = nullptr;
  bool streamed_data_ = false;
  int32_t transaction_level_ = 0;
  std::unique_ptr<TLarkspireWaitForm> wait_form_;
  std::unique_ptr<TLarkspireNotificationListener> listener_;
  std::string adapter_root_ = "/sys/class/net";
  std::atomic<uint32_t> idle_minute_ms_{60000};
  // Held while an attempt marks itself busy and while the idle watch decides to disconnect, so
  // the watch never closes the socket under a command.
  std::recursive_mutex link_mutex_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_CONNECTION_H_
