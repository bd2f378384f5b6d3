#include "dataset/ado_xml_row_stream.h"

#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dataset/ado_xml_internal.h"
#include "platform/exception.h"

namespace larkspire {
namespace {

using adoxml::IsXmlSpace;
using adoxml::Malformed;

bool IsNameByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x80 || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
         c == '-' || c == '.' || c == '_' || c == ':';
}

}  // namespace

struct TAdoXmlRowStream::TState {
  enum TPhase { kHead, kDataTag, kRows, kAfterData, kDone, kFailed };
  // What a step over the buffer found: done, or the text ends before the construct does.
  enum TStep { kOk, kMore };

  TSchemaHandler on_schema;
  TRowHandler on_row;
  TPhase phase = kHead;
  std::string buffer;     // text not yet read, from pos on
  size_t pos = 0;         // the first byte not yet read
  uint64_t consumed = 0;  // the document offset of buffer[0]
  size_t head_scan = 0;   // where the search for "<rs:data" goes on
  // After an element found incomplete: the buffer size at which it is read again. Waiting until
  // the unread text has doubled keeps the work linear for an element of any size.
  size_t retry_at = 0;
  TRecordsetData data;
  std::optional<adoxml::TRowReader> reader;
  std::string root_name;
  std::vector<adoxml::TAttr> attrs;
  std::deque<std::string> decoded;  // texts of values with references; never moved
  size_t decoded_used = 0;
  int64_t rows = 0;

  uint64_t Offset(const char* at) const {
    return consumed + static_cast<uint64_t>(at - buffer.data());
  }
  std::string At(const char* at) const { return " at offset " + std::to_string(Offset(at)); }

  void Run() {
    if (buffer.size() < retry_at) return;
    retry_at = 0;
    while (true) {
      const char* const end = buffer.data() + buffer.size();
      const char* p = buffer.data() + pos;
      switch (phase) {
        case kHead:
          if (!FindData()) return;
          break;
        case kDataTag: {
          std::string_view name;
          bool empty;
          if (ReadStartTag(p, end, name, empty) == kMore) {
            retry_at = pos + 2 * (buffer.size() - pos);
            return;
          }
          pos = static_cast<size_t>(p - buffer.data());
          phase = empty ? kAfterData : kRows;
          break;
        }
        case kRows:
          if (RowsItem(p, end) == kMore) {
            retry_at = pos + 2 * (buffer.size() - pos);
            return;
          }
          break;
        case kAfterData:
          if (SkipMisc(p, end) == kMore || end - p < 2) return;
          if (p[0] != '<' || p[1] != '/')
            Malformed("expected the end of <" + root_name + ">" + At(p));
          if (EndTag(p, end, root_name) == kMore) return;
          pos = static_cast<size_t>(p - buffer.data());
          phase = kDone;
          break;
        case kDone:
          if (SkipMisc(p, end) == kMore) return;
          if (p < end) Malformed("content after the document element" + At(p));
          pos = buffer.size();
          return;
        case kFailed:
          Malformed("the rowset document was already found malformed");
      }
    }
  }

  // Finds "<rs:data" and reads the schema before it.
  bool FindData() {
    size_t data_at = head_scan;
    while (true) {
      data_at = buffer.find("<rs:data", data_at);
      if (data_at == std::string::npos || data_at + 8 >= buffer.size()) {
        head_scan = buffer.size() >= 8 ? buffer.size() - 8 : 0;
        return false;
      }
      const char next = buffer[data_at + 8];
      if (IsXmlSpace(next) || next == '>' || next == '/') break;
      data_at += 8;
    }
    std::string_view text(buffer);
    size_t skip = 0;
    if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) skip = 3;
    if (!adoxml::ReadDocumentHead(text.substr(skip), data_at - skip, root_name, data.Schema))
      Malformed("the text before <rs:data> is not a document element holding an s:Schema");
    reader.emplace(data);
    if (on_schema) on_schema(data.Schema);
    pos = data_at;
    phase = kDataTag;
    return true;
  }

  // White space, comments and processing instructions.
  TStep SkipMisc(const char*& p, const char* end) {
    while (true) {
      while (p < end && IsXmlSpace(*p)) ++p;
      pos = static_cast<size_t>(p - buffer.data());
      if (end - p < 4) return p == end || *p != '<' ? kOk : kMore;
      const char* close_text;
      if (std::memcmp(p, "<!--", 4) == 0)
        close_text = "-->";
      else if (*p == '<' && p[1] == '?')
        close_text = "?>";
      else
        return kOk;
      const std::string_view rest(p + 2, static_cast<size_t>(end - p - 2));
      const size_t close = rest.find(close_text);
      if (close == std::string_view::npos) return kMore;
      p += 2 + close + std::strlen(close_text);
    }
  }

  TStep ReadName(const char*& p, const char* end, std::string_view& name) {
    const char* start = p;
    while (p < end && IsNameByte(*p)) ++p;
    if (p == end) return kMore;
    if (p == start || (*p != '/' && *p != '>' && *p != '=' && !IsXmlSpace(*p)) ||
        (*start >= '0' && *start <= '9') || *start == '-' || *start == '.')
      Malformed("not a well-formed name" + At(start));
    name = std::string_view(start, static_cast<size_t>(p - start));
    return kOk;
  }

  // "</name>" at p.
  TStep EndTag(const char*& p, const char* end, std::string_view expected) {
    const char* start = p;
    p += 2;
    std::string_view name;
    if (ReadName(p, end, name) == kMore) return kMore;
    while (p < end && IsXmlSpace(*p)) ++p;
    if (p == end) return kMore;
    if (*p != '>' || name != expected)
      Malformed("expected </" + std::string(expected) + ">" + At(start));
    ++p;
    return kOk;
  }

  // A start tag at p ('<'): its name and attributes (into attrs); empty tells "/>" from ">".
  TStep ReadStartTag(const char*& p, const char* end, std::string_view& name, bool& empty) {
    const char* start = p;
    ++p;
    if (ReadName(p, end, name) == kMore) return kMore;
    attrs.clear();
    decoded_used = 0;
    while (true) {
      const char* before = p;
      while (p < end && IsXmlSpace(*p)) ++p;
      if (p == end) return kMore;
      if (*p == '>') {
        empty = false;
        ++p;
        return kOk;
      }
      if (*p == '/') {
        if (end - p < 2) return kMore;
        if (p[1] != '>') Malformed("expected \"/>\"" + At(p));
        empty = true;
        p += 2;
        return kOk;
      }
      if (p == before)
        Malformed("attributes of <" + std::string(name) + "> must be separated by white space" +
                  At(start));
      adoxml::TAttr& a = attrs.emplace_back();
      if (ReadName(p, end, a.name) == kMore) return kMore;
      while (p < end && IsXmlSpace(*p)) ++p;
      if (p == end) return kMore;
      if (*p != '=') Malformed("expected '=' after attribute " + std::string(a.name) + At(p));
      ++p;
      while (p < end && IsXmlSpace(*p)) ++p;
      if (p == end) return kMore;
      if (*p != '\'' && *p != '"') Malformed("expected a quoted value" + At(p));
      const char quote = *p++;
      const char* close =
          static_cast<const char*>(std::memchr(p, quote, static_cast<size_t>(end - p)));
      if (close == nullptr) return kMore;
      const std::string_view raw(p, static_cast<size_t>(close - p));
      bool references = false, spaced = false;
      for (char c : raw) {
        if (static_cast<unsigned char>(c) <= ' ') spaced = true;
        if (c == '&') references = true;
        if (c == '<') Malformed("'<' in the value of attribute " + std::string(a.name) + At(p));
      }
      if (references) {
        if (decoded_used == decoded.size()) decoded.emplace_back();
        std::string& text = decoded[decoded_used++];
        if (!adoxml::DecodeReferences(raw, text))
          Malformed("a malformed reference in the value of attribute " + std::string(a.name) +
                    At(p));
        a.value = text;
      } else {
        a.value = raw;
        a.spaced = spaced;
      }
      p = close + 1;
    }
  }

  // One thing inside rs:data: a row, a comment, or the end of rs:data.
  TStep RowsItem(const char* p, const char* end) {
    if (SkipMisc(p, end) == kMore || p == end) return kMore;
    if (*p != '<') Malformed("text inside rs:data" + At(p));
    if (end - p < 2) return kMore;
    if (p[1] == '/') {
      if (EndTag(p, end, "rs:data") == kMore) return kMore;
      pos = static_cast<size_t>(p - buffer.data());
      phase = kAfterData;
      return kOk;
    }
    const char* start = p;
    std::string_view name;
    bool empty;
    if (ReadStartTag(p, end, name, empty) == kMore) return kMore;
    if (name != "z:row") {
      if (name == "rs:insert" || name == "rs:update" || name == "rs:delete")
        Malformed(std::string(name) + At(start) + ": pending changes cannot be read forward-only");
      Malformed("unexpected element <" + std::string(name) + "> inside rs:data" + At(start));
    }
    if (!empty)
      Malformed("z:row" + At(start) + " has child rows, which a forward-only read does not take");
    reader->AddRow(TRowStatus::rsUnmodified, attrs, Offset(start), std::string());
    std::unique_ptr<TRecordsetRow> row = reader->TakeLastRow();
    pos = static_cast<size_t>(p - buffer.data());
    ++rows;
    if (on_row) on_row(*row);
    return kOk;
  }
};

TAdoXmlRowStream::TAdoXmlRowStream(TSchemaHandler on_schema, TRowHandler on_row)
    : state_(std::make_unique<TState>()) {
  state_->on_schema = std::move(on_schema);
  state_->on_row = std::move(on_row);
}

TAdoXmlRowStream::~TAdoXmlRowStream() = default;

void TAdoXmlRowStream::Feed(std::string_view text) {
  TState& s = *state_;
  if (s.phase == TState::kFailed) Malformed("the rowset document was already found malformed");
  try {
    if (const void* nul = std::memchr(text.data(), '\0', text.size()))
      Malformed("not well-formed XML: a NUL byte at offset " +
                std::to_string(s.consumed + s.buffer.size() +
                               static_cast<uint64_t>(static_cast<const char*>(nul) - text.data())));
    if (s.consumed == 0 && s.buffer.empty() && !text.empty() &&
        static_cast<unsigned char>(text[0]) >= 0xFE)
      Malformed("the document is not UTF-8, which a forward-only read needs");
    // What was read goes; the rest (a part of one element) moves to the front.
    if (s.pos > 0) {
      s.buffer.erase(0, s.pos);
      s.consumed += s.pos;
      s.head_scan -= std::min(s.head_scan, s.pos);
      s.retry_at -= std::min(s.retry_at, s.pos);
      s.pos = 0;
    }
    s.buffer.append(text);
    s.Run();
  } catch (...) {
    s.phase = TState::kFailed;
    throw;
  }
}

void TAdoXmlRowStream::Finish() {
  TState& s = *state_;
  if (s.retry_at != 0) {
    s.retry_at = 0;
    try {
      s.Run();
    } catch (...) {
      s.phase = TState::kFailed;
      throw;
    }
  }
  if (s.phase == TState::kDone) {
    for (size_t i = s.pos; i < s.buffer.size(); ++i)
      if (!IsXmlSpace(s.buffer[i])) {
        s.phase = TState::kFailed;
        Malformed("content after the document element at offset " + std::to_string(s.consumed + i));
      }
    return;
  }
  const uint64_t offset = s.consumed + s.buffer.size();
  const bool empty = offset == 0;
  const TState::TPhase phase = s.phase;
  s.phase = TState::kFailed;
  switch (phase) {
    case TState::kHead:
      Malformed(empty ? std::string("the document is empty")
                      : "the document ends at offset " + std::to_string(offset) +
                            " without an rs:data element");
    case TState::kDataTag:
    case TState::kRows:
      Malformed("the document ends at offset " + std::to_string(offset) + " inside rs:data");
    case TState::kAfterData:
      Malformed("the document ends at offset " + std::to_string(offset) + " before the end of <" +
                s.root_name + ">");
    default:
      Malformed("the rowset document was already found malformed");
  }
}

bool TAdoXmlRowStream::HasSchema() const {
  return state_->reader.has_value();
}

const TRecordsetSchema& TAdoXmlRowStream::Schema() const {
  return state_->data.Schema;
}

int64_t TAdoXmlRowStream::RowCount() const {
  return state_->rows;
}

}  // namespace larkspire
