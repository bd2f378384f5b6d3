#include "support/file_peer.h"

#include <zlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/exception.h"
#include "protocol/error_codes.h"
#include "protocol/memory_stream.h"
#include "protocol/remote_command.h"

namespace larkspire::test {

namespace {

std::string Encode(TRemoteCommand& command) {
  TMemoryStream stream;
  command.SaveToStream(stream);
  return stream.Bytes();
}

std::string FailedReply(const std::string& message) {
  TRemoteCommand reply;
  reply.Code = cmdReply;
  reply.Success = false;
  reply.Value = kErrNoSuchPath;
  reply.Message = message;
  return Encode(reply);
}

std::string DataReply(const std::string& data) {
  TRemoteCommand reply;
  reply.Code = cmdReply;
  reply.Success = true;
  if (!data.empty()) reply.SetDataText(data);
  return Encode(reply);
}

}  // namespace

TFilePeer::TFilePeer(TFileContent content) : content_(std::move(content)) {
  peer_ = std::make_unique<TScriptedPeer>([this](TPeerConnection& connection) {
    std::string body;
    if (!connection.ReadFrame(body) || !connection.WriteFrame(AcceptedHandshake())) return;
    while (connection.ReadFrame(body)) {
      TFileRequest request;
      try {
        TRemoteCommand decoded;
        TMemoryStream stream;
        stream.WriteBuffer(body.data(), static_cast<int64_t>(body.size()));
        decoded.LoadFromStream(stream);
        request.Code = decoded.Code;
        request.Data = decoded.Data.Bytes();
        request.Params = decoded.Params.Bytes();
        request.Option = decoded.Option;
        request.Value = decoded.Value;
        request.Password = decoded.Password;
        request.ConnectionName = decoded.ConnectionName;
      } catch (const std::exception&) {
        return;
      }
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      bool close = false;
      const std::string reply = Answer(connection, request, close);
      if (close) return;
      if (request.Code != cmdDownload && !connection.WriteFrame(reply)) return;
    }
  });
}

TFileContent TFilePeer::ContentOf(std::string bytes, double stamp1, double stamp2) {
  TFileContent content;
  content.Info.FileSize = static_cast<int64_t>(bytes.size());
  content.Info.BlockCount = BlockCountOf(content.Info.FileSize);
  content.Info.Stamp1 = stamp1;
  content.Info.Stamp2 = stamp2;
  auto shared = std::make_shared<std::string>(std::move(bytes));
  content.Block = [shared](int32_t block) {
    const size_t offset = static_cast<size_t>(BlockOffset(block));
    return offset >= shared->size() ? std::string() : shared->substr(offset, kFileBlockSize);
  };
  return content;
}

std::string TFilePeer::Answer(TPeerConnection& connection, const TFileRequest& request,
                              bool& close) {
  std::unique_lock lock(mutex_);
  if (request.Code == cmdListFiles) {
    return failure_.empty() ? DataReply(listing_) : FailedReply(failure_);
  }
  if (request.Code == cmdFileInfo) {
    if (!failure_.empty()) return FailedReply(failure_);
    return DataReply(raw_info_set_ ? raw_info_ : EncodeFileInfo(content_.Info));
  }
  if (request.Code != cmdDownload) return FailedReply("Unknown command");

  const TFileContent content = content_;
  const int32_t break_in = break_in_block_;
  const int32_t bad_length = bad_length_block_;
  lock.unlock();
  if (request.Value < 1) {
    close = true;
    return "";
  }
  for (int32_t block = request.Value; block <= content.Info.BlockCount; ++block) {
    const std::string bytes = content.Block(block);
    std::string packet(kBlockPacketSize, '\0');
    const auto length = static_cast<int32_t>(bytes.size()) + (block == bad_length ? 1 : 0);
    WriteBlockPacketHeader(packet.data(), block, length);
    packet.replace(kBlockPacketHeader, bytes.size(), bytes);
    if (block == break_in) {
      connection.WriteRaw(packet.substr(0, kBlockPacketSize / 2));
      close = true;
      return "";
    }
    if (!connection.WriteRaw(packet)) {
      close = true;
      return "";
    }
  }
  return "";
}

void TFilePeer::SetContent(TFileContent content) {
  std::lock_guard lock(mutex_);
  content_ = std::move(content);
}

void TFilePeer::SetBreakInBlock(int32_t block) {
  std::lock_guard lock(mutex_);
  break_in_block_ = block;
}

void TFilePeer::SetBadLengthBlock(int32_t block) {
  std::lock_guard lock(mutex_);
  bad_length_block_ = block;
}

void TFilePeer::SetListing(std::string listing) {
  std::lock_guard lock(mutex_);
  listing_ = std::move(listing);
}

void TFilePeer::SetFailure(std::string message) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(message);
}

void TFilePeer::SetRawInfo(std::string bytes) {
  std::lock_guard lock(mutex_);
  raw_info_ = std::move(bytes);
  raw_info_set_ = true;
}

std::vector<TFileRequest> TFilePeer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<int32_t> TFilePeer::DownloadValues() const {
  std::lock_guard lock(mutex_);
  std::vector<int32_t> values;
  for (const TFileRequest& request : requests_)
    if (request.Code == cmdDownload) values.push_back(request.Value);
  return values;
}

std::string PatternBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 23);
  }
  return bytes;
}

uint32_t Checksum(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t FileChecksum(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  return Checksum(ReadWholeFile(path));
}

}  // namespace larkspire::test
