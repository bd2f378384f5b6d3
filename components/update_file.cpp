#include "components/update_file.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Writes the whole buffer at offset; raises EStreamError when the file refuses.
void WriteAt(TFileStream& file, const void* data, size_t size, int64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = ::pwrite(file.Handle(), bytes, size, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0)
      throw EStreamError(std::string("Cannot write the file: ") +
                         (written < 0 ? std::strerror(errno) : "nothing written"));
    bytes += written;
    size -= static_cast<size_t>(written);
    offset += written;
  }
}

// Writes the pieces in order from offset on with gathered writes.
void WriteGathered(TFileStream& file, const TBlockPiece* pieces, int count, int64_t offset) {
  iovec vectors[64];
  while (count > 0) {
    const int batch = std::min(count, 64);
    for (int i = 0; i < batch; ++i) {
      vectors[i].iov_base = const_cast<uint8_t*>(pieces[i].Data);
      vectors[i].iov_len = pieces[i].Size;
    }
    iovec* vector = vectors;
    int left_pieces = batch;
    while (left_pieces > 0) {
      const ssize_t written = ::pwritev(file.Handle(), vector, left_pieces, offset);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0)
        throw EStreamError(std::string("Cannot write the file: ") +
                           (written < 0 ? std::strerror(errno) : "nothing written"));
      offset += written;
      auto left = static_cast<size_t>(written);
      while (left_pieces > 0 && left >= vector->iov_len) {
        left -= vector->iov_len;
        ++vector;
        --left_pieces;
      }
      if (left_pieces > 0) {
        vector->iov_base = static_cast<char*>(vector->iov_base) + left;
        vector->iov_len -= left;
      }
    }
    pieces += batch;
    count -= batch;
  }
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// The local side of a download: the file, sized FileSize + 32 from the moment the request is
// sent, with the resume record at FileSize saying which block comes next. The record is moved on
// after each batch of blocks is written, so a download cut anywhere (a broken link, a full disk,
// a killed process) leaves a file that the next download resumes and that no reader takes for a
// complete copy. Only Finish cuts the record off.
class TLocalDownload : public IDownloadSink {
 public:
  TLocalDownload(const std::string& path, const TRemoteFileInfo& info,
                 const TLarkspireUpdateFileProgress& progress)
      : info_(info), progress_(progress) {
    ForceFolderOf(path);
    file_ = std::make_unique<TFileStream>(
        path, FileExists(path) ? TFileMode::fmOpenReadWrite : TFileMode::fmCreate);
    if (file_->Size() != info.FileSize + static_cast<int64_t>(kResumeRecordSize)) return;
    uint8_t bytes[kResumeRecordSize];
    file_->SetPosition(info.FileSize);
    file_->ReadBuffer(bytes, sizeof bytes);
    const TResumeRecord record = DecodeResumeRecord(bytes);
    // A record of another version of the file, or one damaged past its stamps, starts over.
    if (record.Info.Stamp1 == info.Stamp1 && record.Info.Stamp2 == info.Stamp2 &&
        record.Info.FileSize == info.FileSize && record.Info.BlockCount == info.BlockCount &&
        record.NextBlock >= 1 && record.NextBlock <= info.BlockCount) {
      start_block_ = record.NextBlock;
    }
  }

  int32_t StartBlock() const { return start_block_; }

  void Started(int32_t first_block) override {
    file_->SetSize(info_.FileSize + static_cast<int64_t>(kResumeRecordSize));
    WriteRecord(first_block);
  }

  void WriteBlocks(int32_t first_block, const TBlockPiece* pieces, int count) override {
    WriteGathered(*file_, pieces, count, BlockOffset(first_block));
    const int32_t next = first_block + count;
    if (next <= info_.BlockCount) WriteRecord(next);
    if (!progress_) return;
    for (int32_t block = first_block; block < next; ++block)
      progress_(info_.FileSize, std::min(info_.FileSize, BlockOffset(block + 1)));
  }

  // Every block is in place: the file becomes exactly the remote file.
  void Finish() { file_->SetSize(info_.FileSize); }

 private:
  void WriteRecord(int32_t next_block) {
    TResumeRecord record;
    record.Info = info_;
    record.NextBlock = next_block;
    const std::string bytes = EncodeResumeRecord(record);
    WriteAt(*file_, bytes.data(), bytes.size(), info_.FileSize);
  }

  const TRemoteFileInfo info_;
  const TLarkspireUpdateFileProgress& progress_;
  std::unique_ptr<TFileStream> file_;
  int32_t start_block_ = 1;
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
    const TLarkspireReply reply = connection.Exchange(request);
    result = reply->Success;
    if (result)
      list.SetText(AnsiToWide(reply->GetDataText()));
    else
      failure = AnsiToWide(reply->Message);
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
    const TLarkspireReply reply = connection.Exchange(request);
    result = reply->Success;
    if (result) {
      try {
        info_ = DecodeFileInfo(reply->Data.Memory(), static_cast<size_t>(reply->Data.Size()));
      } catch (...) {
        RethrowAtComponentBoundary(Name());
      }
    } else {
      failure = AnsiToWide(reply->Message);
    }
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

  TDownloadResult result = TDownloadResult::NotSent;
  std::string error;       // the remembered error text (UTF-8)
  bool malformed = false;  // it came from the server's bytes
  try {
    TLocalDownload local(local_path, info, OnDownloadProgress);
    if (OnDownloadBegin) OnDownloadBegin(remote_name, info.FileSize, local.StartBlock() > 1);
    TRemoteCommand request;
    request.Code = cmdDownload;
    request.SetDataText(WideToAnsi(remote_name));
    request.Value = local.StartBlock();
    result = connection.Download(request, info, local);
    if (result == TDownloadResult::Complete) local.Finish();
    if (result == TDownloadResult::Broken) error = connection.ErrorText();
  } catch (const ELarkspireMalformedDataError& e) {
    malformed = true;
    error = e.ErrorMessage();
    result = TDownloadResult::NotSent;
  } catch (const ELarkspireException& e) {
    error = e.ErrorMessage();
    result = TDownloadResult::NotSent;
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "download failed";
    result = TDownloadResult::NotSent;
  }

  if (result == TDownloadResult::Complete && OnDownloadComplete) OnDownloadComplete(remote_name);
  if (!error.empty()) {
    if (malformed) throw ELarkspireMalformedDataError(kNoErrorCode, error, Name() + ":" + error);
    connection.RaiseError(kNoErrorCode, error, this);
  }
  return result == TDownloadResult::Complete;
}

}  // namespace larkspire
