// The direct reader of ADO XML: the rows of a plain UTF-8 document read straight from the text.
#include <array>
#include <cctype>
#include <cstring>
#include <deque>
#include <optional>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dataset/ado_xml_internal.h"
#include "platform/exception.h"

namespace larkspire::adoxml {
namespace {

// The decoded texts of attribute values that held references, owned for as long as the views
// of one tag's attributes into them are used. Texts never move once made: a later value of
// the same tag must not invalidate the views of the earlier ones.
class TDecodedTexts {
 public:
  // Starts a tag: the texts are reused, and earlier views into them become invalid.
  void Clear() { used_ = 0; }
  std::string& Next() {
    if (used_ == texts_.size()) texts_.emplace_back();
    return texts_[used_++];
  }

 private:
  std::deque<std::string> texts_;  // growing a deque at its end moves no element
  size_t used_ = 0;
};

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | code >> 6));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | code >> 12));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | code >> 18));
    out.push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool Decode(std::string_view raw, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < raw.size()) {
    const size_t amp = raw.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, amp - i));
    const size_t semi = raw.find(';', amp);
    if (semi == std::string_view::npos) return false;
    const std::string_view ref = raw.substr(amp + 1, semi - amp - 1);
    if (ref == "amp")
      out.push_back('&');
    else if (ref == "lt")
      out.push_back('<');
    else if (ref == "gt")
      out.push_back('>');
    else if (ref == "apos")
      out.push_back('\'');
    else if (ref == "quot")
      out.push_back('"');
    else if (ref.size() >= 2 && ref[0] == '#') {
      uint32_t code = 0;
      const bool hex = ref[1] == 'x';
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      if (digits.empty() || digits.size() > 8) return false;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      if (error != std::errc() || end != digits.data() + digits.size() || code == 0 ||
          code > 0x10FFFF)
        return false;
      AppendUtf8(out, code);
    } else {
      return false;
    }
    i = semi + 1;
  }
  return true;
}

// --- The direct path: the rows of a plain UTF-8 document -----------------------------------------
//
// The rows make up almost all of a document, and building a tree of them first costs as much as
// reading them. This scanner reads the rows straight from the text; the schema before them is
// still parsed as a tree. It knows only the shape ADO writes: elements, attributes in either
// quote, character and the five predefined entity references, comments and white space. On
// anything else it gives up, and the document goes the tree path, which then decides.

class TDirectScanner {
 public:
  TDirectScanner(std::string_view text, TRowReader& reader)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), reader_(reader) {
    // Rows name their columns mostly in schema order: each attribute name is first compared
    // with the column after the previous one. Names that need the general scan are left out.
    const uint8_t* classes = Classes();
    for (const TRecordsetField& f : reader.Fields()) {
      std::string_view name = f.XmlName;
      for (char c : name)
        if (classes[static_cast<uint8_t>(c)] != 0) name = std::string_view();
      expected_names_.push_back(name);
    }
  }

  // p_ at the '<' of "<rs:data"; true when every row and the rest of the document were read.
  bool Run(size_t data_offset, std::string_view root_name) {
    p_ = begin_ + data_offset + 1;
    std::string_view name;
    bool empty;
    if (!ReadName(name) || name != "rs:data" || !ReadAttributes(attrs_, decoded_, empty))
      return false;
    if (!empty && !ReadData()) return false;
    // After the rows: the document element's end and nothing but white space or comments.
    if (!SkipMisc() || !Expect("</") || !ReadName(name) || name != root_name) return false;
    SkipSpace();
    if (!Expect(">")) return false;
    SkipMisc();
    return p_ == end_;
  }

 private:
  size_t Offset(const char* at) const { return static_cast<size_t>(at - begin_); }

  bool StartsWith(std::string_view s) const {
    return static_cast<size_t>(end_ - p_) >= s.size() && std::memcmp(p_, s.data(), s.size()) == 0;
  }
  bool Expect(std::string_view s) {
    if (!StartsWith(s)) return false;
    p_ += s.size();
    return true;
  }
  void SkipSpace() {
    while (p_ < end_ && IsXmlSpace(*p_)) ++p_;
  }
  // White space, comments and processing instructions; false at the end of the text.
  bool SkipMisc() {
    while (true) {
      SkipSpace();
      if (StartsWith("<!--")) {
        const char* close = Find("-->", p_ + 4);
        if (!close) return false;
        p_ = close + 3;
      } else if (StartsWith("<?")) {
        const char* close = Find("?>", p_ + 2);
        if (!close) return false;
        p_ = close + 2;
      } else {
        return p_ < end_;
      }
    }
  }
  const char* Find(std::string_view s, const char* from) const {
    const std::string_view rest(from, static_cast<size_t>(end_ - from));
    const size_t at = rest.find(s);
    return at == std::string_view::npos ? nullptr : from + at;
  }

  // The first quote, '<' or '&' from p on, or end. spaced is set when a byte before it is a
  // control character or a space (white space among them).
  static const char* FindValueStop(const char* p, const char* end, char quote, bool& spaced) {
#if defined(__SSE2__)
    const __m128i q = _mm_set1_epi8(quote), lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
    const __m128i space = _mm_set1_epi8(' ');
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, lt)),
                                       _mm_cmpeq_epi8(v, amp));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
      const unsigned low =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, space), v)));
      if (mask != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
        if (low & ((1u << at) - 1)) spaced = true;
        return p + at;
      }
      if (low != 0) spaced = true;
      p += 16;
    }
#endif
    for (; p < end; ++p) {
      const char c = *p;
      if (c == quote || c == '<' || c == '&') break;
      if (static_cast<unsigned char>(c) <= ' ') spaced = true;
    }
    return p;
  }

  // Character classes of the scanner.
  // Names hold what the tree's parser takes in a name: ASCII letters, digits, "-", ".", "_",
  // ":" and every byte from 0x80, and begin with none of "-", "." and the digits.
  enum : uint8_t { kSpace = 1, kNameEnd = 2, kBadInName = 4, kBadNameStart = 8 };
  static const uint8_t* Classes() {
    static const auto table = [] {
      std::array<uint8_t, 256> t{};
      for (char c : {' ', '\t', '\r', '\n'}) t[static_cast<uint8_t>(c)] |= kSpace | kNameEnd;
      for (char c : {'/', '>', '='}) t[static_cast<uint8_t>(c)] |= kNameEnd;
      for (int c = 0; c < 0x80; ++c) {
        const bool in_name = std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == ':';
        if (!in_name && !(t[c] & kNameEnd)) t[c] |= kBadInName;
        if (std::isdigit(c) || c == '-' || c == '.') t[c] |= kBadNameStart;
      }
      return t;
    }();
    return table.data();
  }

  bool ReadName(std::string_view& name) {
    const uint8_t* classes = Classes();
    const char* const start = p_;
    const char* p = p_;
    while (p < end_) {
      const uint8_t c = classes[static_cast<uint8_t>(*p)];
      if (c & kNameEnd) break;
      if (c & kBadInName) return false;
      ++p;
    }
    p_ = p;
    if (p == start || (classes[static_cast<uint8_t>(*start)] & kBadNameStart)) return false;
    name = std::string_view(start, static_cast<size_t>(p - start));
    return true;
  }

  // The name of column at p_ when it is there, followed by the end of a name.
  bool ReadExpectedName(size_t column, std::string_view& name) {
    if (column >= expected_names_.size()) return false;
    const std::string_view expected = expected_names_[column];
    if (expected.empty() || static_cast<size_t>(end_ - p_) <= expected.size() ||
        !(Classes()[static_cast<uint8_t>(p_[expected.size()])] & kNameEnd) ||
        !SameBytes(p_, expected.data(), expected.size()))
      return false;
    name = std::string_view(p_, expected.size());
    p_ += expected.size();
    return true;
  }

  // The attributes of a start tag up to its end; empty tells "/>" from ">". In a row, names
  // are matched to columns on the way.
  bool ReadAttributes(std::vector<TAttr>& attrs, TDecodedTexts& decoded, bool& empty,
                      bool row = false) {
    attrs.clear();
    decoded.Clear();
    size_t next_column = 0;
    while (true) {
      const char* before = p_;
      SkipSpace();
      if (p_ >= end_) return false;
      if (*p_ == '/') {
        ++p_;
        empty = true;
        return Expect(">");
      }
      if (*p_ == '>') {
        ++p_;
        empty = false;
        return true;
      }
      if (p_ == before) return false;  // attributes are separated by white space
      TAttr& a = attrs.emplace_back();
      if (row && ReadExpectedName(next_column, a.name)) {
        a.column = static_cast<int>(next_column++);
      } else if (!ReadName(a.name)) {
        return false;
      }
      SkipSpace();
      if (!Expect("=")) return false;
      SkipSpace();
      if (p_ >= end_ || (*p_ != '\'' && *p_ != '"')) return false;
      const char quote = *p_++;
      const char* start = p_;
      bool entities = false, spaced = false;
      while (true) {
        p_ = FindValueStop(p_, end_, quote, spaced);
        if (p_ >= end_) return false;
        if (*p_ == quote) break;
        if (*p_ == '<') return false;
        entities = true;  // '&'
        ++p_;
      }
      const std::string_view raw(start, static_cast<size_t>(p_ - start));
      ++p_;
      if (!entities) {
        a.value = raw;
        a.spaced = spaced;
      } else {
        std::string& text = decoded.Next();
        if (!Decode(raw, text)) return false;
        a.value = text;
      }
    }
  }

  // The end tag of name, after white space or comments.
  bool ExpectEnd(std::string_view name) {
    if (!SkipMisc() || !Expect("</")) return false;
    std::string_view got;
    if (!ReadName(got) || got != name) return false;
    SkipSpace();
    return Expect(">");
  }

  // The children of an element the reader keeps as text (child rows of a shaped document),
  // up to the element's end tag.
  bool ReadOpaqueChildren(std::string_view parent, int depth, std::string& out) {
    std::vector<TAttr> attrs;
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</")) return ExpectEnd(parent);
      if (*p_ != '<') return false;
      ++p_;
      std::string_view name;
      bool empty;
      if (!ReadName(name) || !ReadAttributes(attrs, decoded_, empty)) return false;
      const std::string element(name);
      out.append(static_cast<size_t>(depth), '\t');
      out.push_back('<');
      out.append(element);
      for (const TAttr& a : attrs) AppendAttribute(out, a.name, a.value);
      if (empty) {
        out.append("/>\r\n");
        continue;
      }
      std::string inner;
      if (!ReadOpaqueChildren(element, depth + 1, inner)) return false;
      if (inner.empty()) {
        out.append("/>\r\n");
      } else {
        out.append(">\r\n").append(inner);
        out.append(static_cast<size_t>(depth), '\t');
        out.append("</").append(element).append(">\r\n");
      }
    }
  }

  // One "<z:row .../>" (no children), p_ after white space; the values that held references
  // live in decoded.
  bool ReadEmptyRow(std::vector<TAttr>& attrs, TDecodedTexts& decoded, size_t& offset) {
    offset = Offset(p_);
    std::string_view name;
    bool empty;
    return Expect("<") && ReadName(name) && name == "z:row" &&
           ReadAttributes(attrs, decoded, empty, true) && empty;
  }

  bool ReadBlock(TRowStatus status) {
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</"))
        return ExpectEnd(status == TRowStatus::rsNew ? "rs:insert" : "rs:delete");
      size_t offset;
      if (!ReadEmptyRow(attrs_, decoded_, offset)) return false;
      reader_.AddRow(status, attrs_, offset, std::string());
    }
  }

  bool ReadUpdate() {
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</")) return ExpectEnd("rs:update");
      std::string_view name;
      bool empty;
      if (!Expect("<") || !ReadName(name) || name != "rs:original" ||
          !ReadAttributes(changed_, decoded_, empty) || empty)
        return false;
      // The original row's values are read into texts of their own, which reading the changed
      // row leaves alone.
      size_t original_offset, changed_offset;
      if (!SkipMisc() || !ReadEmptyRow(original_, original_decoded_, original_offset) ||
          !ExpectEnd("rs:original"))
        return false;
      if (!SkipMisc() || !ReadEmptyRow(changed_, decoded_, changed_offset)) return false;
      reader_.AddUpdate(original_, original_offset, changed_, changed_offset);
    }
  }

  bool ReadData() {
    bool reserved = false;
    while (true) {
      if (!SkipMisc()) return false;
      if (StartsWith("</")) return ExpectEnd("rs:data");
      if (*p_ != '<') return false;
      const size_t offset = Offset(p_);
      ++p_;
      std::string_view name;
      bool empty;
      if (!ReadName(name) || !ReadAttributes(attrs_, decoded_, empty, name == "z:row"))
        return false;
      if (name == "z:row") {
        std::string opaque;
        if (!empty) {
          // Child rows: the attributes read so far stay valid only until the next tag, so
          // convert the row first and attach the children after.
          reader_.AddRow(TRowStatus::rsUnmodified, attrs_, offset, std::string());
          if (!ReadOpaqueChildren("z:row", 2, opaque)) return false;
          reader_.SetLastOpaque(std::move(opaque));
          continue;
        }
        reader_.AddRow(TRowStatus::rsUnmodified, attrs_, offset, std::string());
        // Rows are much alike: room for as many as would fill the rest like the first one.
        if (!reserved) {
          reserved = true;
          const size_t row_size = std::max<size_t>(Offset(p_) - offset, 32);
          reader_.ReserveRows(static_cast<size_t>(end_ - p_) / row_size + 1);
        }
      } else if (name == "rs:insert" || name == "rs:delete") {
        if (!empty && !ReadBlock(name == "rs:insert" ? TRowStatus::rsNew : TRowStatus::rsDeleted))
          return false;
      } else if (name == "rs:update") {
        if (!empty && !ReadUpdate()) return false;
      } else {
        return false;
      }
    }
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  TRowReader& reader_;
  std::vector<TAttr> attrs_, changed_, original_;
  TDecodedTexts decoded_, original_decoded_;
  std::vector<std::string_view> expected_names_;  // per column; empty: scanned generally
};

}  // namespace

bool DecodeReferences(std::string_view raw, std::string& out) {
  return Decode(raw, out);
}

bool ReadDocumentHead(std::string_view text, size_t data_at, std::string& root_name,
                      TRecordsetSchema& schema) {
  // The document element's name: the first tag that is not a declaration or comment.
  size_t lt = 0;
  while (true) {
    lt = text.find('<', lt);
    if (lt == std::string_view::npos || lt + 1 >= text.size()) return false;
    if (text[lt + 1] != '?' && text[lt + 1] != '!') break;
    ++lt;
  }
  size_t name_end = lt + 1;
  while (name_end < text.size() && !IsXmlSpace(text[name_end]) && text[name_end] != '>' &&
         text[name_end] != '/')
    ++name_end;
  root_name.assign(text.substr(lt + 1, name_end - lt - 1));
  if (root_name.empty() || lt >= data_at) return false;

  std::string head(text.substr(0, data_at));
  head.append("</").append(root_name).append(">");
  pugi::xml_document doc;
  if (!doc.load_buffer_inplace(head.data(), head.size(), kParseOptions, pugi::encoding_utf8))
    return false;
  const pugi::xml_node root = doc.document_element();
  if (!root || root.name() != root_name || root.child("rs:data")) return false;
  ReadSchema(root, schema);
  return true;
}

std::optional<TRecordsetData> ReadAdoXmlDirect(std::string_view text) {
  // Plain UTF-8 only (a UTF-8 byte order mark is skipped).
  if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) text.remove_prefix(3);
  if (text.size() < 2 || text[0] == '\0' || text[1] == '\0' ||
      static_cast<unsigned char>(text[0]) >= 0xFE)
    return std::nullopt;
  // A NUL byte is no XML character (and would cut a value short in the tree).
  if (const void* nul = std::memchr(text.data(), '\0', text.size()))
    Malformed("not well-formed XML: a NUL byte at offset " +
              std::to_string(static_cast<const char*>(nul) - text.data()));
  size_t data_at = 0;
  while (true) {
    data_at = text.find("<rs:data", data_at);
    if (data_at == std::string_view::npos || data_at + 8 >= text.size()) return std::nullopt;
    const char next = text[data_at + 8];
    if (IsXmlSpace(next) || next == '>' || next == '/') break;
    data_at += 8;
  }
  std::string root_name;
  TRecordsetData data;
  try {
    if (!ReadDocumentHead(text, data_at, root_name, data.Schema)) return std::nullopt;
    TRowReader reader(data);
    TDirectScanner scanner(text, reader);
    if (!scanner.Run(data_at, root_name)) return std::nullopt;
  } catch (const EMalformedData&) {
    return std::nullopt;  // the tree path words the error
  }
  data.Generation = 1;
  return data;
}

}  // namespace larkspire::adoxml
