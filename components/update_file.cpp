#include "components/update_file.h"

#include <sys/stat.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/stream.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"

namespace larkspire {

namespace {

const char kCouldNotConnect[] = "Could not connect to LarkspireServer (%s:%d).";

// Creates the folder part of a local path (up to its last "/") with every missing parent.
void ForceFolderOf(const std::string& local_path) {
  const size_t slash = local_path.rfind('/');
  if (slash == std::string::npos) {
    throw Exception("Unable to create directory \"\": the local path \"" + local_path +
                    "\" names no folder");
  }
  const std::string folder = slash == 0 ? std::string("/") : local_path.substr(0, slash);
  std::error_code error;
  if (std::filesystem::is_directory(folder, error)) return;
  std::filesystem::create_directories(folder, error);
  if (error) throw Exception("Unable to create directory \"" + folder + "\": " + error.message());
}

// Block packets taken from the socket at once: 1 MiB of blocks, written with one gathered write.
constexpr int32_t kBlocksPerRead = 32;

// Writes the pieces in order at the file's position; raises EStreamError when the file refuses.
void WriteGathered(TFileStream& file, iovec* pieces, int count) {
  while (count > 0) {
    const ssize_t written = ::writev(file.Handle(), pieces, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0)
      throw EStreamError(std::string("Cannot write the file: ") +
                         (written < 0 ? std::strerror(errno) : "nothing written"));
    auto left = static_cast<size_t>(written);
    while (count > 0 && left >= pieces->iov_len) {
      left -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<char*>(pieces->iov_base) + left;
      pieces->iov_len -= left;
    }
  }
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Ends the connection's busy mark of the block loop however the download ends.
class TRawTransfer {
 public:
  explicit TRawTransfer(TLarkspireConnection& connection) : connection_(connection) {
    active_ = connection_.BeginRawTransfer();
  }
  ~TRawTransfer() {
    if (active_) connection_.EndRawTransfer();
  }
  TRawTransfer(const TRawTransfer&) = delete;
  TRawTransfer& operator=(const TRawTransfer&) = delete;
  bool Active() const { return active_; }

 private:
  TLarkspireConnection& connection_;
  bool active_ = false;
};

}  // namespace

TLarkspireUpdateFile::TLarkspireUpdateFile(TComponent* owner) : TComponent(owner) {}

TLarkspireUpdateFile::~TLarkspireUpdateFile() = default;

void TLarkspireUpdateFile::SetConnection(TLarkspireConnection* connection) {
  if (connection_ == connection) return;
  if (connection_ != nullptr) RemoveFreeNotification(connection_);
  connection_ = connection;
  if (connection_ != nullptr) FreeNotification(connection_);
}

void TLarkspireUpdateFile::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component != nullptr && component == connection_)
    connection_ = nullptr;
}

void TLarkspireUpdateFile::CheckConnection() {
  TLarkspireConnection::Required(connection_, *this);
}

bool TLarkspireUpdateFile::GetFileList(TStringList& list, const std::string& path, uint8_t option) {
  CheckConnection();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy()) return false;
  std::string failure;
  bool result = false;
  {
    TRemoteCommand request;
    request.Code = cmdListFiles;
    request.SetParamsText(WideToAnsi(path));
    request.Option = option;
    TRemoteCommand& reply = connection.ExecuteCommand(request);
    result = reply.Success;
    if (result)
      list.SetText(AnsiToWide(reply.GetDataText()));
    else
      failure = AnsiToWide(reply.Message);
    reply.Reset();
  }
  if (!failure.empty()) connection.RaiseError(kNoErrorCode, failure, this);
  return result;
}

bool TLarkspireUpdateFile::GetFileInfo(const std::string& file_name) {
  CheckConnection();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy()) return false;
  std::string failure;
  bool result = false;
  {
    TRemoteCommand request;
    request.Code = cmdFileInfo;
    request.SetDataText(WideToAnsi(file_name));
    TRemoteCommand& reply = connection.ExecuteCommand(request);
    result = reply.Success;
    if (result) {
      try {
        info_ = DecodeFileInfo(reply.Data.Memory(), static_cast<size_t>(reply.Data.Size()));
      } catch (...) {
        reply.Reset();
        throw;
      }
    } else {
      failure = AnsiToWide(reply.Message);
    }
    reply.Reset();
  }
  if (!failure.empty()) connection.RaiseError(kNoErrorCode, failure, this);
  return result;
}

bool TLarkspireUpdateFile::DownloadFile(const std::string& remote_name,
                                        const std::string& local_path) {
  CheckConnection();
  TLarkspireConnection& connection = *connection_;
  if (connection.Busy()) return false;
  if (!GetFileInfo(remote_name)) return false;
  const TRemoteFileInfo info = info_;

  bool result = false;
  std::string error;       // the remembered error text (UTF-8)
  bool malformed = false;  // it came from the server's bytes
  TRemoteCommand request;
  request.Code = cmdDownload;
  request.SetDataText(WideToAnsi(remote_name));
  request.ConnectionName = WideToAnsi(connection.ConnectionName());
  request.Password = connection.LoginPassword();
  TLarkspireMemoryStream message;
  {
    std::unique_ptr<TFileStream> file;
    bool streaming = false;  // the server may be sending packets: a failure must close the link
    std::unique_ptr<TRawTransfer> transfer;
    try {
      ForceFolderOf(local_path);
      file = std::make_unique<TFileStream>(
          local_path, FileExists(local_path) ? TFileMode::fmOpenReadWrite : TFileMode::fmCreate);

      int32_t start_block = 1;
      if (file->Size() == info.FileSize + static_cast<int64_t>(kResumeRecordSize)) {
        uint8_t bytes[kResumeRecordSize];
        file->SetPosition(info.FileSize);
        file->ReadBuffer(bytes, sizeof bytes);
        const TResumeRecord record = DecodeResumeRecord(bytes);
        // A record of another version of the file, or one damaged past its stamps, starts over.
        if (record.Info.Stamp1 == info.Stamp1 && record.Info.Stamp2 == info.Stamp2 &&
            record.Info.FileSize == info.FileSize && record.Info.BlockCount == info.BlockCount &&
            record.NextBlock >= 1 && record.NextBlock <= info.BlockCount) {
          start_block = record.NextBlock;
        }
      }

      if (OnDownloadBegin) OnDownloadBegin(remote_name, info.FileSize, start_block > 1);

      request.Value = start_block;
      request.SaveToStream(message);
      transfer = std::make_unique<TRawTransfer>(connection);
      TSuperTcpClient& tcp = connection.TcpClient();
      if (!transfer->Active() || !tcp.SendStream(message)) {
        // Nothing more is written; a half-sent frame leaves the link out of step.
        if (transfer->Active()) tcp.Disconnect();
      } else {
        streaming = true;
        file->SetSize(info.FileSize);
        file->SetPosition(BlockOffset(start_block));
        // The packets of up to kBlocksPerRead blocks arrive in one buffer; their blocks go to
        // the file in one gathered write, and a short read keeps every whole packet before it.
        std::vector<uint8_t> packets(size_t{kBlocksPerRead} * kBlockPacketSize);
        iovec pieces[kBlocksPerRead];
        int32_t block = start_block;
        while (block <= info.BlockCount) {
          const int32_t wanted = std::min(kBlocksPerRead, info.BlockCount - block + 1);
          const int64_t got = tcp.ReceiveBuffer(packets.data(), int64_t{wanted} * kBlockPacketSize);
          const auto whole = static_cast<int32_t>(got / kBlockPacketSize);
          std::string malformed_packet;
          int32_t usable = 0;
          for (; usable < whole; ++usable) {
            const uint8_t* packet = packets.data() + size_t(usable) * kBlockPacketSize;
            const int64_t offset = BlockOffset(block + usable);
            const int32_t length = BlockPacketLength(packet);
            const int64_t expected = std::min<int64_t>(kFileBlockSize, info.FileSize - offset);
            if (length != expected) {
              malformed_packet = "block packet " + std::to_string(block + usable) + " of " +
                                 std::to_string(info.BlockCount) + ": length " +
                                 std::to_string(length) + ", the block holds " +
                                 std::to_string(expected) + " bytes";
              break;
            }
            pieces[usable].iov_base = const_cast<uint8_t*>(packet) + kBlockPacketHeader;
            pieces[usable].iov_len = static_cast<size_t>(length);
          }
          WriteGathered(*file, pieces, usable);
          if (OnDownloadProgress) {
            for (int32_t i = 0; i < usable; ++i)
              OnDownloadProgress(info.FileSize,
                                 std::min(info.FileSize, BlockOffset(block + i + 1)));
          }
          block += usable;
          if (!malformed_packet.empty()) throw EMalformedData(malformed_packet);
          if (usable < wanted) {
            connection.SetConnected(false);
            char text[1024];
            std::snprintf(text, sizeof text, kCouldNotConnect, connection.RemoteIP().c_str(),
                          connection.RemotePort());
            connection.SetError(kErrCouldNotConnect, text);
            error = text;
            break;
          }
        }
        streaming = false;
        result = error.empty();
        if (!result && block > 1 && block < info.BlockCount) {
          TResumeRecord record;
          record.Info = info;
          record.NextBlock = block;
          const std::string bytes = EncodeResumeRecord(record);
          file->SetSize(info.FileSize + static_cast<int64_t>(kResumeRecordSize));
          file->SetPosition(info.FileSize);
          file->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        }
      }
    } catch (const EMalformedData& e) {
      if (streaming) connection.SetConnected(false);
      malformed = true;
      error = e.what();
      result = false;
    } catch (const std::exception& e) {
      if (streaming) connection.SetConnected(false);
      error = e.what();
      if (error.empty()) error = "download failed";
      result = false;
    }
    file.reset();
    transfer.reset();
  }

  if (result && OnDownloadComplete) OnDownloadComplete(remote_name);
  if (!error.empty()) {
    if (malformed) throw EMalformedData(Name() + ":" + error);
    connection.RaiseError(kNoErrorCode, error, this);
  }
  return result;
}

}  // namespace larkspire
