// TRawClient: a bare TCP client for server tests, speaking the frames, the handshake and
// TRemoteCommand messages by hand so that a test can also send what no real client would (a
// wrong first frame, an oversized length, a body that does not decode).
//
//   TRawClient client;
//   ASSERT_TRUE(client.Connect(server.Port()));
//   EXPECT_EQ(client.Handshake("00-11-22-33-44-55", "Demo1").Status, 1);
//   TRemoteCommand request, reply;
//   request.Code = cmdBeginTrans;
//   ASSERT_TRUE(client.Execute(request, reply));
//
// Every wait is bounded (kRawWaitMs unless given).
//
// Thread-safety: one thread at a time.
#ifndef LARKSPIRE_TESTS_SUPPORT_RAW_CLIENT_H_
#define LARKSPIRE_TESTS_SUPPORT_RAW_CLIENT_H_

#include <cstdint>
#include <string>

#include "protocol/remote_command.h"

namespace larkspire::test {

constexpr int kRawWaitMs = 5000;

struct THandshakeReply {
  bool Received = false;  // a whole reply frame came back
  uint8_t Status = 0;     // body byte 5
  int32_t Code = 0;       // body bytes 6-9, little-endian
  std::string Body;
};

class TRawClient {
 public:
  TRawClient() = default;
  TRawClient(const TRawClient&) = delete;
  TRawClient& operator=(const TRawClient&) = delete;
  ~TRawClient() { Close(); }

  // source: the local address to connect from (another loopback address, say); empty: any.
  bool Connect(uint16_t port, const std::string& host = "127.0.0.1",
               const std::string& source = "");
  void Close();
  bool IsOpen() const { return socket_ >= 0; }

  bool SendBytes(const std::string& bytes);
  // Sends the 4-byte big-endian length and the body.
  bool SendFrame(const std::string& body);
  // One whole frame within timeout_ms; false on close, error, time-out, or a length above
  // max_length.
  bool ReceiveFrame(std::string& body, int timeout_ms = kRawWaitMs,
                    uint32_t max_length = 256u << 20);
  // True when the server closes the connection (end of stream or reset) within timeout_ms;
  // bytes that arrive first are read and dropped.
  bool WaitForClose(int timeout_ms = kRawWaitMs);

  // Sends "Auth:" + identity + "/" + name and reads the reply.
  THandshakeReply Handshake(const std::string& identity, const std::string& name,
                            int timeout_ms = kRawWaitMs);
  // Encodes request (SaveToStream), sends it and decodes the reply frame into reply. False
  // when no reply frame came; a reply that does not decode raises as LoadFromStream does.
  bool Execute(TRemoteCommand& request, TRemoteCommand& reply, int timeout_ms = kRawWaitMs);

 private:
  bool ReadExact(void* buffer, size_t count, int64_t deadline_ms);

  int socket_ = -1;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_RAW_CLIENT_H_
