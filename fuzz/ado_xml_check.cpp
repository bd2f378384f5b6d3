#include "fuzz/ado_xml_check.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dataset/ado_xml.h"
#include "dataset/ado_xml_row_stream.h"
#include "platform/exception.h"

namespace larkspire::fuzz {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "ADO XML check failed: %s\n", what.c_str());
  std::abort();
}

// The UTF-16LE form of valid UTF-8 text with a byte order mark, or nullopt for text that is not
// valid UTF-8 (which has no UTF-16 form to compare with).
std::optional<std::string> Utf16Of(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string out("\xFF\xFE", 2);
  auto put = [&out](uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    uint32_t code = 0;
    size_t length = 0;
    if (lead < 0x80) {
      code = lead, length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      code = lead & 0x1F, length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      code = lead & 0x0F, length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      code = lead & 0x07, length = 4;
    } else {
      return std::nullopt;
    }
    if (i + length > text.size()) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = code << 6 | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return std::nullopt;
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 | (code >> 10));
      put(0xDC00 | (code & 0x3FF));
    } else {
      put(code);
    }
    i += length;
  }
  return out;
}

// Child rowsets of a shaped document are kept as XML text and written back indented anew, so
// the white space around stray text in them may change: compare them without white space.
std::string WithoutSpace(const std::string& xml) {
  std::string out;
  for (char c : xml)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  return out;
}

void NormaliseOpaque(TRecordsetData& data) {
  for (std::string& schema : data.Schema.OpaqueSchema) schema = WithoutSpace(schema);
  for (auto& row : data.Rows) row->Opaque = WithoutSpace(row->Opaque);
}

std::optional<TRecordsetData> Read(std::string_view text, std::string* error) {
  try {
    return ReadAdoXml(text);
  } catch (const EMalformedData& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace

// The streamed reader takes less than the others (plain rows only), but what it reads, cut
// anywhere, must be what they read.
void CheckStreamedReader(std::string_view text, const std::optional<TRecordsetData>& whole) {
  TRecordsetData streamed;
  try {
    TAdoXmlRowStream reader(
        [&streamed](const TRecordsetSchema& schema) { streamed.Schema = schema; },
        [&streamed](TRecordsetRow& row) {
          streamed.Rows.push_back(std::make_unique<TRecordsetRow>(std::move(row)));
        });
    const size_t piece = text.size() % 13 + 1;
    for (size_t at = 0; at < text.size(); at += piece) reader.Feed(text.substr(at, piece));
    reader.Finish();
  } catch (const EMalformedData&) {
    return;
  }
  if (!whole) Fail("the streamed reader read what the whole-document readers refused");
  if (!(streamed.Schema == whole->Schema)) Fail("the streamed reader read another schema");
  if (streamed.Rows.size() != whole->Rows.size()) Fail("the streamed reader read other rows");
  for (size_t i = 0; i < streamed.Rows.size(); ++i)
    if (!streamed.Rows[i]->SameContent(*whole->Rows[i]))
      Fail("the streamed reader read a row differently");
}

std::optional<TRecordsetData> CheckAdoXmlReaders(std::string_view text) {
  std::string fast_error, tree_error;
  // The public reader takes the fast path wherever it can.
  std::optional<TRecordsetData> fast = Read(text, &fast_error);
  // A UTF-16 document always goes through the tree reader.
  if (const std::optional<std::string> wide = Utf16Of(text)) {
    std::optional<TRecordsetData> tree = Read(*wide, &tree_error);
    if (fast.has_value() != tree.has_value())
      Fail(fast ? "the tree reader refused what the fast reader read: " + tree_error
                : "the fast reader refused what the tree reader read: " + fast_error);
    if (fast && !fast->SameContent(*tree)) Fail("the readers read different rows");
  }
  // The in-place reader (the server's and the recordset's) must read the same as well.
  std::string buffer(text);
  std::optional<TRecordsetData> in_place;
  try {
    in_place = ReadAdoXmlInPlace(buffer);
  } catch (const EMalformedData&) {
  }
  if (fast.has_value() != in_place.has_value()) Fail("the in-place reader disagrees");
  if (fast && !fast->SameContent(*in_place)) Fail("the in-place reader read different rows");
  CheckStreamedReader(text, fast);
  return fast;
}

void CheckAdoXmlRoundTrip(TRecordsetData& data) {
  std::string written;
  try {
    written = WriteAdoXml(data);
  } catch (const EDatabaseError&) {
    return;  // a value its column cannot carry: refused, not written wrongly
  }
  std::string error;
  std::optional<TRecordsetData> again = Read(written, &error);
  if (!again) Fail("a written document does not read back: " + error);
  NormaliseOpaque(data);
  NormaliseOpaque(*again);
  if (!again->SameContent(data)) Fail("a written document reads back different rows");
}

}  // namespace larkspire::fuzz
