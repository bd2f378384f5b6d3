// larkspire-fuzz-corpus OUT_DIR TEST_DATA_DIR: writes the seed inputs of every fuzz target into
// OUT_DIR/<target>/, made with the same encoders and the same kinds of messages as the tests
// send: the requests of every command and the replies the in-process server gives them, the
// parameter lists and plug-in containers of every value type, the rowsets and deltas of the
// test data and of real query replies, the file transfer records and a conversation of every
// datagram kind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dataset/recordset.h"
#include "fuzz/frame_body.h"
#include "fuzz/server_harness.h"
#include "platform/exception.h"
#include "platform/parameters.h"
#include "protocol/file_transfer.h"
#include "protocol/memory_stream.h"
#include "protocol/notification.h"
#include "protocol/paging_record.h"
#include "protocol/param_encoding.h"
#include "protocol/plugin_data.h"
#include "protocol/query_description.h"
#include "protocol/remote_command.h"
#include "transport/datagram_packets.h"

namespace larkspire::fuzz {
namespace {

namespace fs = std::filesystem;

class TCorpusWriter {
 public:
  explicit TCorpusWriter(fs::path root) : root_(std::move(root)) {}
  void Add(const std::string& target, const std::string& bytes) {
    const fs::path folder = root_ / target;
    fs::create_directories(folder);
    std::ofstream(folder / ("seed-" + std::to_string(++count_)), std::ios::binary) << bytes;
  }
  int Count() const { return count_; }

 private:
  fs::path root_;
  int count_ = 0;
};

void Put(TStream& stream, const std::string& bytes) {
  stream.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
}

TParameters EveryTypeParameters() {
  TParameters parameters;
  parameters.CreateParameter("name", ftString, pdInput, 0, TVariant("Widget%"));
  parameters.CreateParameter("wide", ftWideString, pdInput, 0, TVariant("宽字符"));
  parameters.CreateParameter("small", ftSmallint, pdInput, 0, TVariant(int32_t{-7}));
  parameters.CreateParameter("id", ftInteger, pdInputOutput, 0, TVariant(int32_t{3}));
  parameters.CreateParameter("word", ftWord, pdInput, 0, TVariant(int32_t{65535}));
  parameters.CreateParameter("flag", ftBoolean, pdInput, 0, TVariant(true));
  parameters.CreateParameter("price", ftFloat, pdOutput, 0, TVariant(12.5));
  parameters.CreateParameter("when", ftDateTime, pdInput, 0, TVariant::FromDateTime(46000.5));
  parameters.CreateParameter("amount", ftBCD, pdInput, 0, TVariant::FromCurrency(123456));
  parameters.CreateParameter("big", ftLargeint, pdReturnValue, 0, TVariant(int64_t{1} << 40));
  parameters.CreateParameter("blob", ftBlob, pdInput, 0, TVariant::Null());
  return parameters;
}

std::string ParameterListBytes(const TParameters& parameters) {
  TLarkspireMemoryStream stream;
  WriteParameterList(parameters, stream);
  return stream.Bytes();
}

TQueryDescription Description(const std::string& sql, uint8_t command_type,
                              const TParameters& parameters) {
  TQueryDescription description;
  description.CommandText = sql;
  description.CommandType = command_type;
  description.Parameters = parameters;
  return description;
}

std::string DescriptionBytes(const TQueryDescription& description, const TPagingRecord* paging) {
  TLarkspireMemoryStream stream;
  WriteQueryDescription(description, stream);
  if (paging) WritePagingRecord(*paging, stream);
  return stream.Bytes();
}

void FillPluginData(TLarkspirePluginData& data) {
  data.Param("a").SetAsInteger(2);
  data.Param("b").SetAsInt64(int64_t{3} << 33);
  data.Param("Text").SetAsString("héllo");
  data.Param("ok").SetAsBoolean(true);
  data.Param("x").SetAsDouble(1.25);
  data.Param("ext").SetAsExtended(3.5L);
  TMemoryStream bytes;
  bytes.Write("\x00\x01\x02\xFF", 4);
  data.Param("blob").SetAsStream(bytes);
}

std::string PluginDataBytes(const TLarkspirePluginData& data) {
  TLarkspireMemoryStream stream;
  data.WriteToStream(stream);
  return stream.Bytes();
}

// One request of every command, as the components build them.
std::vector<std::unique_ptr<TRemoteCommand>> Requests(const std::string& delta) {
  std::vector<std::unique_ptr<TRemoteCommand>> requests;
  auto add = [&requests](uint16_t code) -> TRemoteCommand& {
    auto& request = requests.emplace_back(std::make_unique<TRemoteCommand>());
    request->Code = code;
    return *request;
  };
  add(cmdClientName).SetDataText("Front desk");
  TParameters none;
  TParameters one;
  one.CreateParameter("name", ftString, pdInput, 0, TVariant("%a%"));
  TRemoteCommand& exec = add(cmdExecSQL);
  Put(exec.Data,
      DescriptionBytes(Description("update products set PurPrice = :price where ProId = :id",
                                   cmdText, EveryTypeParameters()),
                       nullptr));
  TRemoteCommand& open = add(cmdOpenQuery);
  Put(open.Data,
      DescriptionBytes(Description("select * from products where ProName like :name", cmdText, one),
                       nullptr));
  TRemoteCommand& table = add(cmdOpenQuery);
  Put(table.Data, DescriptionBytes(Description("products", cmdTable, none), nullptr));
  TPagingRecord paging;
  paging.PageSize = 5;
  paging.PageIndex = 2;
  TRemoteCommand& paged = add(cmdOpenQuery);
  paged.Option = 1;
  Put(paged.Data,
      DescriptionBytes(
          Description("select ProId, ProName from products order by ProId desc", cmdText, none),
          &paging));
  TRemoteCommand& apply = add(cmdApplyUpdates);
  apply.Value = 2;
  apply.SetDataText(delta);
  add(cmdBeginTrans);
  add(cmdCommitTrans);
  add(cmdRollbackTrans);
  TRemoteCommand& list = add(cmdListFiles);
  list.SetDataText("docs");
  list.Option = kListRecursive;
  add(cmdFileInfo).SetDataText("docs/blocks.bin");
  TRemoteCommand& download = add(cmdDownload);
  download.SetDataText("readme.txt");
  download.Value = 1;
  TRemoteCommand& call = add(cmdCallPlugin);
  call.SetDataText("PluginSample");
  TLarkspirePluginData arguments;
  FillPluginData(arguments);
  arguments.WriteToStream(call.Params);
  TRemoteCommand& reply = add(cmdReply);
  reply.Success = true;
  reply.Value = 20004;
  reply.Message = "no such table: product";
  reply.Password = "secret";
  reply.ConnectionName = "demo";
  return requests;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A datagram record of the datagram target: flags, 2-byte length, bytes.
void AddDatagram(std::string& input, uint8_t flags, const std::vector<uint8_t>& bytes) {
  input += static_cast<char>(flags);
  input += static_cast<char>(bytes.size() & 0xFF);
  input += static_cast<char>(bytes.size() >> 8);
  input.append(bytes.begin(), bytes.end());
}

std::vector<uint8_t> Datagram(size_t size, uint8_t kind, uint8_t sub, uint32_t sender) {
  std::vector<uint8_t> bytes(size, 0);
  PutHeader(bytes.data(), kind, sub, sender, 0);
  return bytes;
}

std::vector<uint8_t> DataPacket(uint8_t sub, uint8_t message, uint32_t ticket, uint32_t count,
                                uint32_t index, const std::string& payload) {
  std::vector<uint8_t> bytes = Datagram(kDataHeaderSize + payload.size(), pkData, sub, 77);
  bytes[datagram_offset::kDataMsgNo] = message;
  PutU32(bytes.data() + datagram_offset::kDataTicket, ticket);
  PutU32(bytes.data() + datagram_offset::kDataCount, count);
  PutU32(bytes.data() + datagram_offset::kDataIndex, index);
  PutU16(bytes.data() + datagram_offset::kDataLength, static_cast<uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), bytes.begin() + kDataHeaderSize);
  return bytes;
}

std::string DatagramConversation(bool second_peer) {
  const uint8_t peer = second_peer ? 2 : 0;
  std::string input;
  std::vector<uint8_t> link = Datagram(kLinkRequestSize, pkLinkRequest, 0, 77);
  const std::string text = second_peer ? "refuse" : "client-1";
  std::copy(text.begin(), text.end(), link.begin() + datagram_offset::kValue);
  AddDatagram(input, peer, link);
  AddDatagram(input, peer | 1, DataPacket(ckText, 1, 1, 1, 1, "hello"));
  const std::string block(kPacketPayloadSize, 'z');
  AddDatagram(input, peer | 1, DataPacket(ckStream, 2, 2, 3, 2, block));
  AddDatagram(input, peer | 1, DataPacket(ckStream, 2, 3, 3, 1, block));
  AddDatagram(input, peer | 1, DataPacket(ckStream, 2, 4, 3, 3, "tail"));
  std::vector<uint8_t> ack = Datagram(kAckSize, pkDataAck, 0, 77);
  PutU32(ack.data() + datagram_offset::kAckTicket, 1);
  AddDatagram(input, peer | 1, ack);
  AddDatagram(input, peer | 1, Datagram(kDatagramHeaderSize, pkKeepAlive, 0, 77));
  AddDatagram(input, peer, Datagram(kLoadSize, pkLoad, 0, 77));
  AddDatagram(input, peer, Datagram(kLoadSize, pkLoad, 1, 77));
  AddDatagram(input, peer, Datagram(kRecordSize, pkRecord, 0, 77));
  AddDatagram(input, peer, Datagram(kLinkReplySize, pkLinkReply, lsAccepted, 77));
  AddDatagram(input, peer, {20, 'r', 'a', 'w'});
  AddDatagram(input, peer | 1, Datagram(kDatagramHeaderSize, pkUnlinkRequest, 0, 77));
  return input;
}

// What a hostile peer sends: more channels than one address may hold, huge and scattered
// counts and indexes, truncated and repeated packets, a message past the memory caps.
std::string HostileDatagrams() {
  std::string input;
  for (uint8_t port = 0; port < 8; ++port) {
    AddDatagram(input, static_cast<uint8_t>(port << 2), Datagram(20, pkLinkRequest, 0, 77));
  }
  AddDatagram(input, 32, Datagram(20, pkLinkRequest, 0, 78));
  const std::string block(kPacketPayloadSize, 'h');
  for (uint32_t index : {65536u, 60000u, 1u, 5u, 9u, 300u, 1u, 0u, 70000u}) {
    AddDatagram(input, 1, DataPacket(ckStream, 1, index + 1, 65536, index, block));
  }
  // Short payloads keep the input within the fuzzer's length; the buffers grow by the index.
  for (uint32_t index = 1; index <= 300; ++index) {
    AddDatagram(input, static_cast<uint8_t>(1 | (index % 4) << 2),
                DataPacket(ckStream, 2, index, 1024, index, block.substr(0, 100)));
  }
  std::vector<uint8_t> cut = DataPacket(ckStream, 3, 1, 2, 1, block);
  cut.resize(17);
  AddDatagram(input, 1, cut);
  for (uint32_t index = 1; index <= 4; ++index) {
    AddDatagram(input, 33, DataPacket(ckText, 1, index, 4, index, block));
  }
  return input;
}

void Generate(TCorpusWriter& out, const fs::path& test_data) {
  TServerHarness& harness = TServerHarness::Instance();

  // Rowsets and deltas: the test data, and a real reply with a delta made from it.
  for (const auto& entry : fs::directory_iterator(test_data / "ado-xml")) {
    if (entry.path().extension() != ".xml") continue;
    const std::string name = entry.path().filename().string();
    out.Add(name.rfind("pending-", 0) == 0 ? "ado_xml_delta_fuzzer" : "ado_xml_rowset_fuzzer",
            ReadFile(entry.path()));
  }
  TRemoteCommand query;
  query.Code = cmdOpenQuery;
  Put(query.Data,
      DescriptionBytes(
          Description("select * from products where ProId <= 4 order by ProId", cmdText, {}),
          nullptr));
  TRemoteCommand rows;
  harness.Execute(query, rows);
  if (!rows.Success) throw Exception("the seed query failed: " + rows.Message);
  const std::string rowset = rows.GetDataText();
  out.Add("ado_xml_rowset_fuzzer", rowset);
  TRecordset recordset;
  recordset.OpenFromString(rowset, ctKeyset, ltBatchOptimistic);
  recordset.SetValue("ProName", TVariant("renamed"));
  recordset.Update();
  recordset.MoveNext();
  recordset.Delete();
  recordset.AddNew();
  recordset.SetValue("ProCode", TVariant("09990001"));
  recordset.Update();
  out.Add("ado_xml_delta_fuzzer", recordset.SaveToString());
  auto pending = recordset.Clone(ltBatchOptimistic);
  pending->SetFilter(TFilterGroup::fgPendingRecords);
  const std::string delta = pending->SaveToString();
  out.Add("ado_xml_delta_fuzzer", delta);

  // Every request in every form, and the server's reply to it.
  for (auto& request : Requests(delta)) {
    for (TBodyForm form : {bfRaw, bfFieldBlock, bfFieldBlockWithLength}) {
      const std::string input = InputOfCommand(*request, form);
      out.Add("remote_command_fuzzer", input);
      out.Add("server_request_fuzzer", input);
    }
    TRemoteCommand reply;
    harness.Execute(*request, reply);
    if (std::getenv("LARKSPIRE_FUZZ_CORPUS_VERBOSE"))
      std::fprintf(stderr, "command %u: %s %s\n", request->Code, reply.Success ? "ok" : "failed",
                   reply.Message.c_str());
    out.Add("remote_command_fuzzer", InputOfCommand(reply, bfFieldBlock));
  }

  out.Add("parameter_list_fuzzer", ParameterListBytes(EveryTypeParameters()));
  out.Add("parameter_list_fuzzer", ParameterListBytes({}));
  TLarkspirePluginData plugin_data;
  FillPluginData(plugin_data);
  out.Add("plugin_data_fuzzer", PluginDataBytes(plugin_data));
  out.Add("plugin_data_fuzzer", PluginDataBytes(TLarkspirePluginData()));

  TPagingRecord paging;
  paging.PageSize = 20;
  paging.PageIndex = 1;
  out.Add("query_description_fuzzer",
          DescriptionBytes(
              Description("select * from products where ProName like :name and ProId = :id",
                          cmdText, EveryTypeParameters()),
              &paging));
  out.Add(
      "query_description_fuzzer",
      DescriptionBytes(Description("get_price", cmdStoredProc, EveryTypeParameters()), nullptr));

  TRemoteFileInfo info;
  info.FileSize = 70000;
  info.BlockCount = BlockCountOf(info.FileSize);
  info.Stamp1 = 46000.25;
  info.Stamp2 = 46001.5;
  TResumeRecord resume;
  resume.Info = info;
  resume.NextBlock = 2;
  out.Add("file_transfer_fuzzer", EncodeResumeRecord(resume));
  out.Add("file_transfer_fuzzer", EncodeFileInfo(TRemoteFileInfo()));
  std::string packet(kBlockPacketSize, '\0');
  WriteBlockPacketHeader(packet.data(), 3, 4464);
  out.Add("file_transfer_fuzzer", packet.substr(0, 64));

  std::string records;
  EncodeNotificationRecord(
      {"table:products", R"({"inserted":1,"updated":0,"deleted":0})", 1, false}, records);
  EncodeNotificationRecord({"orders", "", 9, true}, records);
  out.Add("notification_fuzzer", records);
  out.Add("notification_fuzzer", EncodeNotifyRequest("orders", "order 42"));
  out.Add("notification_fuzzer", "UPDATE \"main\".products SET ProName = 'a;b' WHERE ProId = 1");
  out.Add("datagram_fuzzer", DatagramConversation(false));
  out.Add("datagram_fuzzer", DatagramConversation(true));
  out.Add("datagram_fuzzer", HostileDatagrams());
}

}  // namespace
}  // namespace larkspire::fuzz

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUT_DIR TEST_DATA_DIR\n", argv[0]);
    return 2;
  }
  try {
    larkspire::fuzz::TCorpusWriter out(argv[1]);
    larkspire::fuzz::Generate(out, argv[2]);
    std::printf("%d seed inputs written to %s\n", out.Count(), argv[1]);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "larkspire-fuzz-corpus: %s\n", e.what());
    return 1;
  }
}
