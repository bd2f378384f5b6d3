// TScriptedPeer: a tiny TCP server on 127.0.0.1 and an ephemeral port that plays a script
// against each connection it accepts, so a test can drive the TCP client (and what is built on
// it) against a peer that refuses, hangs up, never answers, answers wrongly or serves requests.
//
//   TScriptedPeer peer(TScriptedPeer::ServeReplies(AcceptedHandshake(), {"pong"}));
//   client.Connect("127.0.0.1", peer.Port(), "me", 1);
//   ... SendStream / ReceiveStream ...
//   peer.WaitForFrames(2);                 // the handshake and one request
//   EXPECT_EQ(peer.Frames()[1], "ping");
//
// Every accepted connection runs the script on a thread of its own; the peer records every byte
// it reads and every frame body its scripts read. The peer itself never uses SocketApi(), so a
// TFaultSocketApi sees only the client's calls.
//
// Nothing blocks without bound: every read and write polls in short slices and gives up when the
// peer stops. The destructor stops the peer, closes every socket and joins every thread. The
// frame-level waits of the canned scripts last until the client closes or the peer stops.
//
// Thread-safety: the accessors of TScriptedPeer may be called from any thread. A TPeerConnection
// belongs to the thread running its script.
#ifndef LARKSPIRE_TESTS_SUPPORT_SCRIPTED_PEER_H_
#define LARKSPIRE_TESTS_SUPPORT_SCRIPTED_PEER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace larkspire::test {

// The bound of the waits that tests themselves make on the peer (milliseconds).
constexpr int kPeerWaitMs = 5000;
// A wait that lasts until the client closes or the peer stops.
constexpr int kUntilClosed = -1;
// Frames longer than this are refused by ReadFrame (the connection is then dropped).
constexpr uint32_t kPeerMaxFrame = 256u << 20;

class TScriptedPeer;

// One accepted connection as its script sees it.
class TPeerConnection {
 public:
  TPeerConnection(const TPeerConnection&) = delete;
  TPeerConnection& operator=(const TPeerConnection&) = delete;

  // 0 for the first connection the peer accepted, 1 for the next, ...
  int Index() const { return index_; }
  int Socket() const { return socket_; }
  bool Stopping() const;

  // Reads exactly count bytes; false when the client closed, on error, on stop or when
  // timeout_ms passed (kUntilClosed: no time limit).
  bool ReadExact(void* buffer, size_t count, int timeout_ms = kUntilClosed);
  // Reads one frame (4-byte big-endian length, then the body); false as ReadExact or when the
  // length exceeds kPeerMaxFrame. The body is recorded in the peer's Frames().
  bool ReadFrame(std::string& body, int timeout_ms = kUntilClosed);
  // Writes all bytes; false when the client went away or the peer stops.
  bool WriteRaw(const std::string& bytes);
  bool WriteFrame(const std::string& body);
  // Reads and discards until the client closes (true), or the time-out or stop (false).
  bool WaitForClose(int timeout_ms = kUntilClosed);

 private:
  friend class TScriptedPeer;
  TPeerConnection(TScriptedPeer& peer, int socket, int index)
      : peer_(peer), socket_(socket), index_(index) {}

  TScriptedPeer& peer_;
  int socket_;
  int index_;
};

using TPeerScript = std::function<void(TPeerConnection&)>;
// Request body to reply body.
using TPeerHandler = std::function<std::string(const std::string& request)>;

class TScriptedPeer {
 public:
  // Starts listening and accepting at once.
  explicit TScriptedPeer(TPeerScript script);
  ~TScriptedPeer();
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  uint16_t Port() const { return port_; }
  // Connections accepted so far.
  int Connections() const;
  // Bodies of every frame a script read, in order, across connections (handshakes included).
  std::vector<std::string> Frames() const;
  // Every byte read on every connection, in order.
  std::string RawReceived() const;
  // Wait (at most timeout_ms) until this many frames were read / connections accepted /
  // connection scripts finished.
  bool WaitForFrames(size_t count, int timeout_ms = kPeerWaitMs) const;
  bool WaitForConnections(int count, int timeout_ms = kPeerWaitMs) const;
  bool WaitForFinishedScripts(int count, int timeout_ms = kPeerWaitMs) const;

  // --- Canned scripts ---
  // Accepts and closes at once.
  static TPeerScript AcceptThenClose();
  // Accepts, reads whatever comes and never writes, until the client closes.
  static TPeerScript NeverAnswer();
  // Reads the handshake frame and answers it with this body; then waits for the client to close.
  static TPeerScript AnswerHandshake(std::string reply_body);
  // Reads the handshake frame and writes these raw bytes (for malformed length fields); then
  // waits for the client to close.
  static TPeerScript AnswerHandshakeRaw(std::string raw_reply);
  // Answers the handshake, then each request frame with the next body as one frame; when the
  // bodies run out the connection is closed.
  static TPeerScript ServeReplies(std::string handshake_body, std::vector<std::string> bodies);
  // As ServeReplies, but each reply is written as raw bytes (no framing added).
  static TPeerScript ServeRaw(std::string handshake_body, std::vector<std::string> raw_replies);
  // Answers the handshake, then every request frame with handler(request) until the client
  // closes.
  static TPeerScript ServeWith(std::string handshake_body, TPeerHandler handler);
  // Answers the handshake, reads one request, writes the first `bytes` bytes of the framed
  // reply (length prefix included) and closes.
  static TPeerScript CloseMidFrame(std::string handshake_body, std::string reply_body,
                                   size_t bytes);

 private:
  friend class TPeerConnection;
  void AcceptLoop();
  void RunConnection(int socket, int index);
  void RecordBytes(const void* bytes, size_t count);
  void RecordFrame(const std::string& body);

  TPeerScript script_;
  int listen_socket_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::thread> connection_threads_;
  int connections_ = 0;
  int finished_ = 0;
  std::vector<std::string> frames_;
  std::string raw_;
};

// A loopback port on which nothing listens (bound once, then released).
uint16_t FreeLoopbackPort();
// The 4-byte big-endian length followed by the body.
std::string Frame(const std::string& body);
// A handshake reply body of 10 bytes: five filler bytes, the status, the code little-endian.
std::string HandshakeReply(uint8_t status, int32_t code);
// HandshakeReply(1, 0).
std::string AcceptedHandshake();

// Frame helpers on any blocking or non-blocking socket, with bounded waits.
bool WriteFrameTo(int socket, const std::string& body, int timeout_ms = kPeerWaitMs);
bool ReadFrameFrom(int socket, std::string& body, int timeout_ms = kPeerWaitMs);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_SCRIPTED_PEER_H_
