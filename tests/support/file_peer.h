// TFilePeer: a scripted file server for tests of the file component. It answers the handshake,
// 400 with a canned listing, 401 with a file information record and 402 by streaming the
// file's block packets, and can break a download in the middle of a chosen block (half the
// packet, then it closes) or send a packet with a wrong Length.
//
//   TFilePeer peer(TFilePeer::ContentOf(bytes));
//   peer.SetBreakInBlock(2);
//   connection.SetRemotePort(peer.Port());
//   files.DownloadFile("a.bin", local);       // breaks in block 2
//   EXPECT_EQ(peer.DownloadValues(), std::vector<int32_t>{1});
//
// Thread-safety: the setters and accessors may be called from any thread; the peer's scripts
// read the settings under its lock.
#ifndef LARKSPIRE_TESTS_SUPPORT_FILE_PEER_H_
#define LARKSPIRE_TESTS_SUPPORT_FILE_PEER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/file_transfer.h"
#include "support/scripted_peer.h"

namespace larkspire::test {

// A request as the peer decoded it.
struct TFileRequest {
  uint16_t Code = 0;
  std::string Data;
  std::string Params;
  uint8_t Option = 0;
  int32_t Value = 0;
  std::string Password;
  std::string ConnectionName;
};

struct TFileContent {
  TRemoteFileInfo Info;
  // The file's bytes of a 1-based block (its Length is the string's size).
  std::function<std::string(int32_t block)> Block;
};

class TFilePeer {
 public:
  explicit TFilePeer(TFileContent content);

  // The content of a file held in memory, with the given stamps.
  static TFileContent ContentOf(std::string bytes, double stamp1 = 46000.5, double stamp2 = 7);

  uint16_t Port() const { return peer_->Port(); }
  TScriptedPeer& Peer() { return *peer_; }

  void SetContent(TFileContent content);
  // Cut the packet of this block halfway and close (0: never).
  void SetBreakInBlock(int32_t block);
  // Send this block's packet with Length one more than its bytes (0: never).
  void SetBadLengthBlock(int32_t block);
  // 400 answers with these lines joined by "\r\n" (code-page bytes).
  void SetListing(std::string listing);
  // When not empty, 400 and 401 fail with this Message.
  void SetFailure(std::string message);
  // 401's reply Data as given instead of the record.
  void SetRawInfo(std::string bytes);

  std::vector<TFileRequest> Requests() const;
  // The Value of every 402 received.
  std::vector<int32_t> DownloadValues() const;

 private:
  std::string Answer(TPeerConnection& connection, const TFileRequest& request, bool& close);

  mutable std::mutex mutex_;
  TFileContent content_;
  int32_t break_in_block_ = 0;
  int32_t bad_length_block_ = 0;
  std::string listing_;
  std::string failure_;
  std::string raw_info_;
  bool raw_info_set_ = false;
  std::vector<TFileRequest> requests_;
  std::unique_ptr<TScriptedPeer> peer_;
};

// Bytes of a test file: a pattern that differs in every block.
std::string PatternBytes(size_t size, uint32_t seed = 1);
// zlib's CRC-32 of bytes, or of a whole file (0 when it cannot be read).
uint32_t Checksum(const std::string& bytes);
uint32_t FileChecksum(const std::string& path);
std::string ReadWholeFile(const std::string& path);

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_FILE_PEER_H_
