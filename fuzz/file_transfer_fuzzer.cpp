// Fuzzes the file transfer records: the file-information record of a 401 reply, the resume
// record at the end of a partial local file and the length of a download's block packet. Each
// record that decodes must encode back to its own bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/exception.h"
#include "protocol/file_transfer.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace larkspire;
  try {
    const TRemoteFileInfo info = DecodeFileInfo(data, size);
    if (info.FileSize < 0 || info.FileSize > kMaxTransferFileSize ||
        info.BlockCount != BlockCountOf(info.FileSize))
      Fail("a file-information record with sizes that do not agree was taken");
    if (EncodeFileInfo(info).compare(0, kFileInfoSize, reinterpret_cast<const char*>(data),
                                     kFileInfoSize) != 0)
      Fail("a file-information record does not encode back to its bytes");
  } catch (const EMalformedData&) {
  }
  if (size >= kResumeRecordSize) {
    const TResumeRecord record = DecodeResumeRecord(data);
    if (EncodeResumeRecord(record).compare(
            0, kResumeRecordSize, reinterpret_cast<const char*>(data), kResumeRecordSize) != 0)
      Fail("a resume record does not encode back to its bytes");
  }
  if (size >= static_cast<size_t>(kBlockPacketHeader)) (void)BlockPacketLength(data);
  return 0;
}
