// TLarkspireUpdateFile: lists the server's folders and downloads its files, resuming a download
// that was interrupted.
//
// GetFileList (command 400) and GetFileInfo (401) run through the connection's ExecuteCommand;
// DownloadFile asks for the file's information and then runs command 402 through the
// connection's Download, which hands it the file's blocks in order.
//
// A local file that is not yet complete is FileSize + 32 bytes long: the blocks received so far
// at their final offsets and the resume record (protocol/file_transfer.h) at offset FileSize.
// The record is there from the moment the request is sent and moves on as the blocks are
// written, so a download cut at any point (in the first block, in the last, by a local failure
// or by the end of the process) never leaves a file that passes for a complete one. The next
// download of the same remote file to the same path continues at the record's NextBlock when
// the server's stamps are unchanged; a record that does not fit the file (NextBlock outside 1
// to BlockCount, other sizes) starts over at block 1. A finished download leaves exactly
// FileSize bytes.
//
// Failures:
//   no Connection                      ELarkspireException 10001 "Missing Connection."
//   the connection is busy             false, nothing sent
//   400/401 refused with a text        ELarkspireException -1, Name + ":" + the text
//   401's record malformed             ELarkspireMalformedDataError, after the reply was reset
//   local folder/file error, or an     ELarkspireException -1 with the error's message; in the
//   event handler raises               block loop the connection is closed first (the packets
//                                      left unread would be taken for the next reply)
//   the 402 frame cannot be sent       false, no message
//   a block packet arrives short       the connection closes with ErrorCode 10002;
//                                      ELarkspireException -1 with
//                                      "Could not connect to LarkspireServer (host:port)."
//   a packet's Length is impossible    the connection closes; ELarkspireMalformedDataError
// While the block loop runs the connection counts as busy (commands are refused, the idle watch
// waits).
//
// Local paths use "/"; the folder part (up to the last "/") is created with its parents when
// missing; a path without one fails in that step. Remote names are UTF-8 here and travel in the
// code page.
//
// Thread-safety: one thread (the one that issues the connection's commands); the events run on
// it, inside the calls.
#ifndef LARKSPIRE_COMPONENTS_UPDATE_FILE_H_
#define LARKSPIRE_COMPONENTS_UPDATE_FILE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "components/connection.h"
#include "platform/component.h"
#include "platform/string_list.h"
#include "protocol/file_transfer.h"

namespace larkspire {

using TLarkspireUpdateFileBegin =
    std::function<void(const std::string& FileName, int64_t FileSize, bool ResumeTrans)>;
using TLarkspireUpdateFileComplete = std::function<void(const std::string& FileName)>;
using TLarkspireUpdateFileProgress = std::function<void(int64_t FileSize, int64_t CompleteBytes)>;

class TLarkspireUpdateFile : public TComponent {
 public:
  explicit TLarkspireUpdateFile(TComponent* owner = nullptr);
  ~TLarkspireUpdateFile() override;

  TLarkspireConnection* Connection() const { return connection_; }
  void SetConnection(TLarkspireConnection* connection);

  // Fired once per download before the request goes out; FileName is the remote name.
  TLarkspireUpdateFileBegin OnDownloadBegin;
  // After a download that received every block.
  TLarkspireUpdateFileComplete OnDownloadComplete;
  // After every block written; CompleteBytes counts from the start of the file.
  TLarkspireUpdateFileProgress OnDownloadProgress;
  // There is no upload: these are never fired.
  TLarkspireUpdateFileBegin OnUploadBegin;
  TLarkspireUpdateFileComplete OnUploadComplete;
  TLarkspireUpdateFileProgress OnUploadProgress;

  // Lists path ("" is the served root; "\" separates folders) with option 0 (one level) or 1
  // (sub-folders too). True when the server listed it; list then holds the listing's lines
  // ("path=F,size" for a file, "path=D," for a folder).
  bool GetFileList(TStringList& list, const std::string& path, uint8_t option);
  // True when the server answered; FileSize, BlockCount and the stamps then describe the file.
  bool GetFileInfo(const std::string& file_name);
  // True when every block arrived and was written to local_path.
  bool DownloadFile(const std::string& remote_name, const std::string& local_path);
  // Raises ELarkspireException 10001 when Connection is not set.
  void CheckConnection();

  // The information of the file last asked for.
  int64_t FileSize() const { return info_.FileSize; }
  int32_t BlockCount() const { return info_.BlockCount; }
  double Stamp1() const { return info_.Stamp1; }
  double Stamp2() const { return info_.Stamp2; }
  const TRemoteFileInfo& FileInfo() const { return info_; }

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TLarkspireConnection* connection_ = nullptr;
  TRemoteFileInfo info_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_UPDATE_FILE_H_
