#include "server/sql/backends/postgres/postgres_database.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "platform/datetime.h"
#include "server/rowsets/rowset_builder.h"
#include "server/rowsets/rowset_writer.h"
#include "server/sql/backends/postgres/postgres_dialect.h"
#include "server/sql/sql_parameters.h"
#include "server/sql/sql_text.h"

namespace larkspire::server {

namespace {

// Type OIDs of the built-in types (pg_type.dat).
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kChar = 18,
  kName = 19,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kText = 25,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kMoney = 790,
  kBpchar = 1042,
  kVarchar = 1043,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kTimetz = 1266,
  kNumeric = 1700,
  kUuid = 2950,
};

constexpr const char* kStatementSavepoint = "lk_statement";

// The pause before a broken connection is made again, after the first failed attempt and at
// most.
constexpr std::chrono::milliseconds kFirstReconnectPause{200};
constexpr std::chrono::milliseconds kLongestReconnectPause{5000};

// What every connection gets unless its locator says otherwise (the locator comes last, so its
// own settings win): each host has 5 s to accept; keep-alives after 30 s of silence, and data
// left unacknowledged for 60 s, tell a host that vanished without closing its connections.
constexpr const char* kDefaultKeywords[] = {
    "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
    "keepalives_count", "tcp_user_timeout", "dbname"};
constexpr const char* kDefaultValues[] = {"5", "1", "30", "10", "3", "60000"};

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// libpq's text of a failed connection, one line: an attempt for each host, and its hints.
std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : Trimmed(text)) {
    if (c == '\n') {
      line += "; ";
    } else if (c != '\t') {
      line += c;
    }
  }
  return line;
}

std::string ResultError(PGconn* connection, PGresult* result) {
  if (result) {
    const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
    if (primary && *primary) {
      std::string message = primary;
      if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) {
        message += " (" + std::string(detail) + ")";
      }
      return message;
    }
  }
  // libpq's own text: "FATAL:  terminating connection ...", maybe over several lines.
  std::string message = Trimmed(PQerrorMessage(connection));
  for (const char* prefix : {"FATAL:  ", "ERROR:  "}) {
    if (message.rfind(prefix, 0) == 0) message.erase(0, std::string(prefix).size());
  }
  if (auto newline = message.find('\n'); newline != std::string::npos) message.erase(newline);
  return message.empty() ? "the PostgreSQL server gave no answer" : message;
}

// Reads what the server sent to a connection between statements; false once that shows the
// server closed it. A server that goes away may say why first (a notice, which libpq hands to
// the notice processor), so the socket is read for as long as it has bytes, a few times at most.
bool ReadIdleInput(PGconn* connection) {
  for (int round = 0; round < 4; ++round) {
    pollfd ready{PQsocket(connection), POLLIN, 0};
    if (ready.fd < 0) return false;
    if (::poll(&ready, 1, 0) <= 0) return true;  // nothing waiting (or poll failed): as it was
    if (PQconsumeInput(connection) == 0 || PQstatus(connection) != CONNECTION_OK) return false;
  }
  return true;
}

// "%.17g" keeps every bit of a double; PostgreSQL spells the special values itself.
std::string DoubleText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// Moves a date and time of day by offset seconds, to the microsecond (calendar arithmetic, so
// the date number encodes the shifted parts exactly).
void ShiftParts(TDateTimeParts& parts, int offset) {
  using namespace std::chrono;
  const sys_days day = year_month_day(year(parts.year), month(static_cast<unsigned>(parts.month)),
                                      std::chrono::day(static_cast<unsigned>(parts.day)));
  const seconds at = day.time_since_epoch() + hours(parts.hour) + minutes(parts.minute) +
                     seconds(parts.second) + seconds(offset);
  const sys_days shifted = floor<days>(sys_seconds(at));
  const year_month_day date(shifted);
  const hh_mm_ss<seconds> time(sys_seconds(at) - shifted);
  parts.year = static_cast<int>(date.year());
  parts.month = static_cast<int>(static_cast<unsigned>(date.month()));
  parts.day = static_cast<int>(static_cast<unsigned>(date.day()));
  parts.hour = static_cast<int>(time.hours().count());
  parts.minute = static_cast<int>(time.minutes().count());
  parts.second = static_cast<int>(time.seconds().count());
}

// Parses PostgreSQL's ISO output of date, timestamp[tz] and time: "2026-01-02",
// "2026-01-02 03:04:05.123456+01", "03:04:05". Fractions are kept to the microsecond. A
// timestamp with an offset (timestamptz) is brought to UTC; a time with an offset is refused.
bool ParseDateTimeText(const char* text, bool time_only, double& days) {
  TDateTimeParts parts;
  const char* p = text;
  auto number = [&](int digits, int& out) {
    out = 0;
    for (int k = 0; k < digits; ++k, ++p) {
      if (*p < '0' || *p > '9') return false;
      out = out * 10 + (*p - '0');
    }
    return true;
  };
  if (!time_only) {
    // Years may have more than four digits; BC dates and infinity are not date numbers.
    int year = 0, n = 0;
    while (*p >= '0' && *p <= '9') year = year * 10 + (*p++ - '0'), ++n;
    if (n < 4 || *p++ != '-' || !number(2, parts.month) || *p++ != '-' || !number(2, parts.day)) {
      return false;
    }
    parts.year = year;
    if (*p == ' ' || *p == 'T') {
      ++p;
    } else if (*p != '\0') {
      return false;
    }
  }
  if (*p != '\0') {
    if (!number(2, parts.hour) || *p++ != ':' || !number(2, parts.minute)) return false;
    if (*p == ':') {
      ++p;
      if (!number(2, parts.second)) return false;
    }
    if (*p == '.') {
      ++p;
      int micros = 0, digits = 0;
      while (*p >= '0' && *p <= '9') {
        if (digits < 6) micros = micros * 10 + (*p - '0');
        ++digits;
        ++p;
      }
      for (; digits < 6; ++digits) micros *= 10;
      parts.millisecond = micros / 1000;
      parts.microsecond = micros % 1000;
    }
    // An offset "+HH", "+HH:MM" or "+HH:MM:SS": the instant is kept, in UTC.
    int offset = 0;
    if (*p == '+' || *p == '-') {
      if (time_only) return false;
      const int sign = *p++ == '-' ? -1 : 1;
      int hours = 0, minutes = 0, seconds = 0;
      if (!number(2, hours)) return false;
      if (*p == ':' && (++p, !number(2, minutes))) return false;
      if (*p == ':' && (++p, !number(2, seconds))) return false;
      offset = sign * (hours * 3600 + minutes * 60 + seconds);
    }
    if (*p != '\0') return false;
    if (parts.hour == 24) return false;
    if (offset != 0) ShiftParts(parts, -offset);
  }
  try {
    days = EncodeDateTime(parts);
  } catch (const EVariantError&) {
    return false;
  }
  return true;
}

bool HexToBytes(const char* text, int length, TBytes& bytes) {
  if (length < 2 || text[0] != '\\' || text[1] != 'x' || length % 2 != 0) return false;
  bytes.resize((length - 2) / 2);
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = digit(text[2 + 2 * i]), low = digit(text[3 + 2 * i]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

void KindOfType(Oid type, int modifier, TColumnInfo& column) {
  switch (type) {
    case kBool:
      column.Kind = TColumnKind::ckBoolean;
      break;
    case kInt2:
      column.Kind = TColumnKind::ckSmallInt;
      break;
    case kInt4:
      column.Kind = TColumnKind::ckInteger;
      break;
    case kInt8:
    case kOid:
      column.Kind = TColumnKind::ckBigInt;
      break;
    case kFloat4:
      column.Kind = TColumnKind::ckSingle;
      break;
    case kFloat8:
      column.Kind = TColumnKind::ckDouble;
      break;
    case kMoney:
      column.Kind = TColumnKind::ckCurrency;
      break;
    case kNumeric:
      column.Kind = TColumnKind::ckDecimal;
      if (modifier >= 4) {
        column.Precision = ((modifier - 4) >> 16) & 0xffff;
        column.Scale = (modifier - 4) & 0xffff;
      } else {
        column.Precision = kUnboundedDecimalPrecision;
        column.Scale = kUnboundedDecimalScale;
      }
      break;
    case kDate:
      column.Kind = TColumnKind::ckDate;
      break;
    case kTimestamp:
      column.Kind = TColumnKind::ckDateTime;
      break;
    case kTimestamptz:
      column.Kind = TColumnKind::ckDateTime;
      column.Utc = true;
      break;
    case kTime:
      column.Kind = TColumnKind::ckTime;
      break;
    case kTimetz:
      // A time of day has no date to carry its offset into UTC, and PostgreSQL tells
      // 12:00+02 from 10:00+00: the value goes as its text, offset and all.
      column.Kind = TColumnKind::ckText;
      break;
    case kBytea:
      column.Kind = TColumnKind::ckBinary;
      break;
    case kVarchar:
      column.Kind = TColumnKind::ckText;
      column.Size = modifier >= 4 ? modifier - 4 : 0;
      break;
    case kBpchar:
      column.Kind = TColumnKind::ckText;
      column.Size = modifier >= 4 ? modifier - 4 : 0;
      column.FixedLength = column.Size > 0;
      break;
    case kChar:
      column.Kind = TColumnKind::ckText;
      column.Size = 1;
      column.FixedLength = true;
      break;
    case kName:
      column.Kind = TColumnKind::ckText;
      column.Size = 63;
      break;
    case kUuid:
      column.Kind = TColumnKind::ckText;
      column.Size = 36;
      break;
    default:
      column.Kind = TColumnKind::ckText;
      break;  // text, json, arrays, ...
  }
}

// An integer as PostgreSQL writes it ("-12"); anything else takes the general parser.
bool ParseInteger(std::string_view text, int64_t& value) {
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc() && result.ptr == text.data() + text.size()) return true;
  return TextToInt64(std::string(text), value);
}

// A float as PostgreSQL writes it ("-1.5", "1e+100"); "NaN" and "Infinity" are no float of
// ours (the column then becomes text).
bool ParseFloat(std::string_view text, double& value) {
  const size_t digit = !text.empty() && text[0] == '-' ? 1 : 0;
  if (digit < text.size() && text[digit] >= '0' && text[digit] <= '9') {
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc() && result.ptr == text.data() + text.size()) return true;
  }
  return TextToFloat(std::string(text), value);
}

// A plain decimal exact to four places ("-370.50", "12.340000") as a currency scaled by
// 10 000: false for anything else (more places, more than 14 whole digits, an exponent).
bool ScaledCurrency(std::string_view text, int64_t& scaled) {
  size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  int64_t whole = 0;
  size_t whole_digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++whole_digits) {
    whole = whole * 10 + (text[i] - '0');
  }
  if (whole_digits == 0 || whole_digits > 14) return false;
  int64_t fraction = 0;
  int places = 0;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (places < 4) {
        fraction = fraction * 10 + (text[i] - '0');
        ++places;
      } else if (text[i] != '0') {
        return false;
      }
    }
  }
  if (i != text.size()) return false;
  for (; places < 4; ++places) fraction *= 10;
  scaled = whole * 10000 + fraction;
  if (negative) scaled = -scaled;
  return true;
}

// A decimal: a currency when it is exact to four places, its digits otherwise.
bool SetDecimal(TRowsetBuilder& rows, int i, std::string_view text) {
  int64_t scaled = 0;
  if (ScaledCurrency(text, scaled)) {
    rows.SetCurrency(i, scaled);
    return true;
  }
  TVariant v;
  if (!DecimalFromText(std::string(text), v)) return false;
  if (v.Type() == TVarType::vtCurrency) {
    rows.SetCurrency(i, v.AsCurrency());
  } else {
    rows.SetDecimalText(i, text);
  }
  return true;
}

// One value of the result in text format, written as its column's kind.
void SetCell(TRowsetBuilder& rows, int i, const char* data, int length) {
  const TColumnInfo& column = rows.Column(i);
  const std::string_view value(data, static_cast<size_t>(length));
  switch (column.Kind) {
    case TColumnKind::ckSmallInt:
    case TColumnKind::ckInteger:
    case TColumnKind::ckBigInt: {
      int64_t v = 0;
      if (ParseInteger(value, v)) return rows.SetInteger(i, v);
      break;
    }
    case TColumnKind::ckSingle:
    case TColumnKind::ckDouble: {
      double d = 0;
      if (ParseFloat(value, d)) return rows.SetFloat(i, d);
      break;
    }
    case TColumnKind::ckCurrency: {
      // money shows a currency sign and group separators: keep the number.
      std::string digits;
      for (char c : value) {
        if ((c >= '0' && c <= '9') || c == '.' || c == '-') digits += c;
      }
      TVariant v;
      if (DecimalFromText(digits, v) && v.Type() == TVarType::vtCurrency)
        return rows.SetCurrency(i, v.AsCurrency());
      break;
    }
    case TColumnKind::ckDecimal:
      if (SetDecimal(rows, i, value)) return;
      break;
    case TColumnKind::ckBoolean:
      if (value == "t") return rows.SetBoolean(i, true);
      if (value == "f") return rows.SetBoolean(i, false);
      break;
    case TColumnKind::ckDateTime:
    case TColumnKind::ckDate:
    case TColumnKind::ckTime: {
      double days = 0;
      if (ParseDateTimeText(data, column.Kind == TColumnKind::ckTime, days))
        return rows.SetDateTime(i, days);
      break;
    }
    case TColumnKind::ckText:
      return rows.SetText(i, value);
    case TColumnKind::ckBinary: {
      TBytes bytes;
      if (HexToBytes(data, length, bytes)) return rows.SetBytes(i, bytes.data(), bytes.size());
      break;
    }
  }
  rows.SetMismatch(i, std::string(value));
}

// The values of a statement's placeholders as libpq takes them (null: NULL).
struct TBoundValues {
  std::vector<TSqlValue> Values;
  std::vector<Oid> Types;
  std::vector<const char*> Pointers;
  std::vector<int> Lengths;
  std::vector<int> Formats;

  explicit TBoundValues(const std::vector<const TParameter*>& values);
  TBoundValues(const TBoundValues&) = delete;
  TBoundValues& operator=(const TBoundValues&) = delete;
};

TBoundValues::TBoundValues(const std::vector<const TParameter*>& values) {
  const size_t count = values.size();
  Values.resize(count);
  Types.assign(count, 0);
  Pointers.assign(count, nullptr);
  Lengths.assign(count, 0);
  Formats.assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (values[i] == nullptr) continue;
    TSqlValue& value = Values[i] = SqlValueOf(*values[i]);
    const TFieldType type = values[i]->DataType;
    switch (value.Kind) {
      case TSqlValue::svNull:
        continue;
      case TSqlValue::svInteger: {
        const bool small = (type == ftSmallint || type == ftInteger || type == ftWord) &&
                           value.Integer >= INT32_MIN && value.Integer <= INT32_MAX;
        Types[i] = small ? kInt4 : kInt8;
        value.Text = std::to_string(value.Integer);
        break;
      }
      case TSqlValue::svBoolean:
        Types[i] = kBool;
        value.Text = value.Integer ? "true" : "false";
        break;
      case TSqlValue::svDouble:
        Types[i] = kFloat8;
        value.Text = DoubleText(value.Double);
        break;
      case TSqlValue::svDecimal:
        Types[i] = kNumeric;
        break;
      case TSqlValue::svDateTime:
        Types[i] = kTimestamp;
        break;
      case TSqlValue::svText:
        break;  // unknown: the statement decides the type
      case TSqlValue::svBlob:
        Types[i] = kBytea;
        Formats[i] = 1;
        Pointers[i] = reinterpret_cast<const char*>(value.Blob.data());
        Lengths[i] = static_cast<int>(value.Blob.size());
        if (Pointers[i] == nullptr) Pointers[i] = "";
        continue;
    }
    Pointers[i] = value.Text.c_str();
    Lengths[i] = static_cast<int>(value.Text.size());
  }
}

// The request's parameter of each name a statement uses, in the statement's order. Raises
// EServerDatabaseError for a name the request does not carry.
std::vector<const TParameter*> NamedValues(const TRewrittenSql& rewritten,
                                           const TParameters& parameters) {
  std::vector<const TParameter*> values;
  values.reserve(rewritten.Names.size());
  // Many placeholders (a statement of many rows) are found through a map of the names.
  std::unordered_map<std::string, const TParameter*> by_name;
  const bool mapped = rewritten.Names.size() > 16;
  if (mapped) {
    by_name.reserve(static_cast<size_t>(parameters.Count()));
    for (int i = 0; i < parameters.Count(); ++i) {
      by_name.emplace(LowerAscii(BareParameterName(parameters[i].Name)), &parameters[i]);
    }
  }
  for (const std::string& name : rewritten.Names) {
    const TParameter* parameter = nullptr;
    if (mapped) {
      const auto found = by_name.find(LowerAscii(BareParameterName(name)));
      if (found != by_name.end()) parameter = found->second;
    } else {
      parameter = FindSqlParameter(parameters, name);
    }
    if (parameter == nullptr) {
      throw EServerDatabaseError("The statement uses the parameter :" + name +
                                 ", which the request does not carry");
    }
    values.push_back(parameter);
  }
  return values;
}

// Appends text as a JSON string.
void AppendJsonString(std::string& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20) {
      out.append("\\u00");
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 15]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
}

// What the catalog says of one table column.
struct TColumnFacts {
  std::string Schema, Table, Column;
  bool NotNull = false, Key = false, AutoIncrement = false;
};

}  // namespace

// Owns a PGresult.
class TPostgresDatabase::TResult {
 public:
  explicit TResult(PGresult* result = nullptr) : result_(result) {}
  TResult(TResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  TResult& operator=(TResult&& other) noexcept {
    std::swap(result_, other.result_);
    return *this;
  }
  ~TResult() { PQclear(result_); }
  PGresult* get() const { return result_; }

 private:
  PGresult* result_;
};

TPostgresDatabase::TPostgresDatabase(const std::string& conninfo) {
  constexpr size_t kCount = std::size(kDefaultKeywords);
  static_assert(std::size(kDefaultValues) + 1 == kCount);
  const char* keywords[kCount + 1];
  const char* values[kCount + 1];
  for (size_t i = 0; i < kCount; ++i) {
    keywords[i] = kDefaultKeywords[i];
    values[i] = i + 1 < kCount ? kDefaultValues[i] : conninfo.c_str();
  }
  keywords[kCount] = values[kCount] = nullptr;
  connection_ = PQconnectdbParams(keywords, values, 1);
  if (connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK) {
    // libpq's text names the hosts and ports it tried, never the password; the locator may
    // hold one and is left out.
    std::string message = connection_ ? OneLine(PQerrorMessage(connection_)) : "out of memory";
    PQfinish(connection_);
    connection_ = nullptr;
    throw EServerDatabaseLost("cannot connect to the PostgreSQL database: " + message +
                              "; try again");
  }
  try {
    Configure();
  } catch (...) {
    PQfinish(connection_);
    connection_ = nullptr;
    throw;
  }
}

void TPostgresDatabase::Configure() {
  PQsetNoticeProcessor(
      connection_, [](void*, const char*) {}, nullptr);
  if (PQsetClientEncoding(connection_, "UTF8") != 0) {
    throw EServerDatabaseError("cannot use UTF-8 with the PostgreSQL database: " +
                               Trimmed(PQerrorMessage(connection_)));
  }
  ExecuteScript("SET DateStyle = 'ISO, YMD'; SET bytea_output = 'hex'");
  timeout_ = -1;
  std::lock_guard lock(cancel_mutex_);
  if (cancel_ != nullptr) PQfreeCancel(cancel_);
  cancel_ = PQgetCancel(connection_);
}

void TPostgresDatabase::Interrupt() {
  std::lock_guard lock(cancel_mutex_);
  if (cancel_ == nullptr) return;
  char error[256];
  PQcancel(cancel_, error, sizeof error);
}

void TPostgresDatabase::EnsureConnected() {
  if (PQstatus(connection_) == CONNECTION_OK) {
    // What the server sent since the last statement is read: the end of the connection when
    // the server stopped or was stopped.
    const bool in_transaction = PQtransactionStatus(connection_) != PQTRANS_IDLE;
    if (ReadIdleInput(connection_)) return;
    // Going on in a new connection would run this statement outside the transaction its
    // client believes open: the loss is reported first (InTransaction now says false).
    if (in_transaction) Fail(ResultError(connection_, nullptr));
  }
  // The server went away (a restart, a standby promoted, an administrator's kill): connect
  // again, libpq choosing the host, unless the pause after the last failed attempt lasts.
  const auto now = std::chrono::steady_clock::now();
  if (now < reconnect_at_) {
    throw EServerDatabaseLost(
        "the connection to the PostgreSQL database was lost and no host took a new one (" +
        reconnect_error_ + "); try again");
  }
  PQreset(connection_);
  if (PQstatus(connection_) != CONNECTION_OK) {
    reconnect_error_ = OneLine(PQerrorMessage(connection_));
    reconnect_pause_ =
        std::min(std::max(reconnect_pause_ * 2, kFirstReconnectPause), kLongestReconnectPause);
    reconnect_at_ = std::chrono::steady_clock::now() + reconnect_pause_;
    throw EServerDatabaseLost(
        "the connection to the PostgreSQL database was lost: " + reconnect_error_ + "; try again");
  }
  reconnect_pause_ = std::chrono::milliseconds(0);
  reconnect_at_ = {};
  Configure();
}

void TPostgresDatabase::Fail(const std::string& message) {
  if (PQstatus(connection_) == CONNECTION_BAD) {
    throw EServerDatabaseLost("the connection to the PostgreSQL database was lost: " + message +
                              "; try again");
  }
  throw EServerDatabaseError(message);
}

bool TPostgresDatabase::LooksAlive() {
  return PQstatus(connection_) == CONNECTION_OK && ReadIdleInput(connection_);
}

std::string TPostgresDatabase::Where() {
  const char* host = PQhost(connection_);
  const char* port = PQport(connection_);
  return std::string(host ? host : "") + ":" + (port ? port : "");
}

TPostgresDatabase::~TPostgresDatabase() {
  if (cancel_ != nullptr) PQfreeCancel(cancel_);
  PQfinish(connection_);
}

void TPostgresDatabase::ExecuteScript(const std::string& sql) {
  EnsureConnected();
  TResult result(PQexec(connection_, sql.c_str()));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    Fail(ResultError(connection_, result.get()));
  }
}

bool TPostgresDatabase::InTransaction() {
  PGTransactionStatusType status = PQtransactionStatus(connection_);
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

void TPostgresDatabase::Rollback() {
  timeout_ = -1;
  // A broken connection took its transaction with it.
  if (PQstatus(connection_) == CONNECTION_BAD) return;
  IDatabase::Rollback();
}

void TPostgresDatabase::RollbackToSavepoint(const std::string& name) {
  timeout_ = -1;
  if (PQstatus(connection_) == CONNECTION_BAD) return;
  IDatabase::RollbackToSavepoint(name);
}

void TPostgresDatabase::ResetSession() {
  if (PQstatus(connection_) != CONNECTION_OK) {
    throw EServerDatabaseLost("the connection to the PostgreSQL database was lost");
  }
  // The time-out the last borrower set (a rollback forgets it, DISCARD ALL undoes it).
  const int32_t timeout = timeout_;
  if (PQtransactionStatus(connection_) != PQTRANS_IDLE) Rollback();
  ExecuteScript("DISCARD ALL");
  // What Configure sets, and the statement time-out the last borrower used (the next one most
  // likely uses the same), back in one round trip; libpq follows the encoding the server reports.
  std::string settings =
      "SET client_encoding = 'UTF8'; SET DateStyle = 'ISO, YMD'; SET bytea_output = 'hex'";
  if (timeout >= 0) {
    settings += "; SET statement_timeout = " + std::to_string(int64_t{timeout} * 1000);
  }
  timeout_ = -1;
  ExecuteScript(settings);
  timeout_ = timeout;
}

void TPostgresDatabase::SetRole(const std::string& role) {
  char* quoted = PQescapeIdentifier(connection_, role.data(), role.size());
  if (quoted == nullptr) {
    throw EServerDatabaseError("the role name \"" + role +
                               "\" cannot be quoted: " + Trimmed(PQerrorMessage(connection_)));
  }
  const std::string statement = std::string("SET ROLE ") + quoted;
  PQfreemem(quoted);
  ExecuteScript(statement);
}

void TPostgresDatabase::SetTimeout(int32_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > 2000000) seconds = 2000000;  // statement_timeout counts milliseconds in an int
  if (seconds == timeout_) return;
  ExecuteScript("SET statement_timeout = " + std::to_string(int64_t{seconds} * 1000));
  timeout_ = seconds;
}

TPostgresDatabase::TResult TPostgresDatabase::Run(const std::string& sql,
                                                  const std::vector<const TParameter*>& values,
                                                  const TStatementOptions& options) {
  EnsureConnected();
  SetTimeout(options.TimeoutSeconds);
  const TBoundValues bound(values);
  const int count = static_cast<int>(values.size());

  // Inside a transaction a failed statement would abort it; a savepoint keeps it usable.
  const bool guarded = PQtransactionStatus(connection_) == PQTRANS_INTRANS;
  if (guarded) ExecuteScript(std::string("SAVEPOINT ") + kStatementSavepoint);
  TResult result(PQexecParams(connection_, sql.c_str(), count, bound.Types.data(),
                              bound.Pointers.data(), bound.Lengths.data(), bound.Formats.data(),
                              0));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    std::string message = ResultError(connection_, result.get());
    if (guarded && PQtransactionStatus(connection_) == PQTRANS_INERROR) {
      try {
        ExecuteScript(std::string("ROLLBACK TO SAVEPOINT ") + kStatementSavepoint +
                      "; RELEASE SAVEPOINT " + kStatementSavepoint);
      } catch (const EServerDatabaseError&) {
      }
    }
    Fail(message);
  }
  if (guarded) ExecuteScript(std::string("RELEASE SAVEPOINT ") + kStatementSavepoint);
  return result;
}

TPostgresDatabase::TResult TPostgresDatabase::RunNamed(const std::string& sql,
                                                       const TParameters& parameters,
                                                       const TStatementOptions& options) {
  const TRewrittenSql rewritten = RewriteNamedParameters(sql);
  return Run(rewritten.Text, NamedValues(rewritten, parameters), options);
}

TRecordsetData TPostgresDatabase::RowsetOf(PGresult* result, const TStatementOptions& options,
                                           TRowsetXmlWriter* stream, bool describe_tables) {
  if (PQresultStatus(result) != PGRES_TUPLES_OK) return TRecordsetData();
  const int fields = PQnfields(result);
  std::vector<TColumnInfo> columns(fields);
  std::set<Oid> tables;
  for (int i = 0; i < fields; ++i) {
    columns[i].Name = PQfname(result, i);
    KindOfType(PQftype(result, i), PQfmod(result, i), columns[i]);
    if (PQftable(result, i) != InvalidOid && PQftablecol(result, i) > 0) {
      tables.insert(PQftable(result, i));
    }
  }

  if (describe_tables && !tables.empty()) {
    // One look at the catalog for every table the columns come from.
    std::string list = "{";
    for (Oid table : tables) list += (list.size() > 1 ? "," : "") + std::to_string(table);
    list += "}";
    TParameters arguments;
    arguments.CreateParameter("tables", ftString, pdInput, 0, TVariant(list));
    TResult facts =
        Run("SELECT a.attrelid, a.attnum, a.attname, a.attnotnull, "
            "a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', "
            "false), coalesce(a.attnum = ANY (i.indkey), false), n.nspname, c.relname "
            "FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
            "JOIN pg_namespace n ON n.oid = c.relnamespace "
            "LEFT JOIN pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
            "LEFT JOIN pg_index i ON i.indrelid = a.attrelid AND i.indisprimary "
            "WHERE a.attrelid = ANY ($1::oid[]) AND a.attnum > 0 AND NOT a.attisdropped",
            {&arguments[0]}, options);
    std::map<std::pair<Oid, int>, TColumnFacts> by_column;
    for (int r = 0; r < PQntuples(facts.get()); ++r) {
      TColumnFacts f;
      Oid table = static_cast<Oid>(std::strtoul(PQgetvalue(facts.get(), r, 0), nullptr, 10));
      int number = std::atoi(PQgetvalue(facts.get(), r, 1));
      f.Column = PQgetvalue(facts.get(), r, 2);
      f.NotNull = PQgetvalue(facts.get(), r, 3)[0] == 't';
      f.AutoIncrement = PQgetvalue(facts.get(), r, 4)[0] == 't';
      f.Key = PQgetvalue(facts.get(), r, 5)[0] == 't';
      f.Schema = PQgetvalue(facts.get(), r, 6);
      f.Table = PQgetvalue(facts.get(), r, 7);
      by_column[{table, number}] = std::move(f);
    }
    for (int i = 0; i < fields; ++i) {
      auto found = by_column.find({PQftable(result, i), PQftablecol(result, i)});
      if (found == by_column.end()) continue;
      const TColumnFacts& f = found->second;
      columns[i].BaseSchema = f.Schema;
      columns[i].BaseTable = f.Table;
      columns[i].BaseColumn = f.Column;
      columns[i].NotNull = f.NotNull;
      columns[i].KeyColumn = f.Key;
      columns[i].AutoIncrement = f.AutoIncrement;
    }
  }

  TRowsetBuilder rows(std::move(columns), stream);
  int count = PQntuples(result);
  if (options.MaxRecords > 0 && count > options.MaxRecords) count = options.MaxRecords;
  for (int r = 0; r < count; ++r) {
    rows.AddRow();
    for (int i = 0; i < fields; ++i) {
      if (PQgetisnull(result, r, i)) continue;
      SetCell(rows, i, PQgetvalue(result, r, i), PQgetlength(result, r, i));
    }
    rows.Flush(true);  // the kinds come from the result's types
  }
  return rows.Finish();
}

TRecordsetData TPostgresDatabase::OpenQuery(const std::string& sql, const TParameters& parameters,
                                            const TStatementOptions& options) {
  TResult result = RunNamed(sql, parameters, options);
  return RowsetOf(result.get(), options);
}

void TPostgresDatabase::StreamQuery(const std::string& sql, const TParameters& parameters,
                                    const TStatementOptions& options, TRowsetXmlWriter& writer) {
  TResult result = RunNamed(sql, parameters, options);
  StreamResult(result.get(), options, writer);
}

void TPostgresDatabase::StreamResult(PGresult* result, const TStatementOptions& options,
                                     TRowsetXmlWriter& writer) {
  if (PQresultStatus(result) != PGRES_TUPLES_OK) {
    writer.WriteWhole(TRecordsetData());
    return;
  }
  try {
    RowsetOf(result, options, &writer);
  } catch (const TRowsetRestart&) {
    // A value its type's kind cannot hold ("NaN", "infinity"): the rowset is built whole.
    writer.Reset();
    writer.WriteWhole(RowsetOf(result, options));
  }
}

int64_t TPostgresDatabase::ExecuteStatement(const std::string& sql, const TParameters& parameters,
                                            const TStatementOptions& options) {
  TResult result = RunNamed(sql, parameters, options);
  const char* tuples = PQcmdTuples(result.get());
  return tuples && *tuples ? std::strtoll(tuples, nullptr, 10) : 0;
}

TRoutine TPostgresDatabase::FindRoutine(const std::string& text, const TParameters& parameters,
                                        const TStatementOptions& options) {
  const TRoutineName name = ParseRoutineName(text);
  TParameters lookup;
  lookup.CreateParameter("name", ftString, pdInput, 0, TVariant(name.Name));
  lookup.CreateParameter("schema", ftString, pdInput, 0, TVariant(name.Schema));
  TResult candidates =
      Run("SELECT p.oid, p.prokind, n.nspname, p.proname, p.pronargs FROM pg_proc p "
          "JOIN pg_namespace n ON n.oid = p.pronamespace WHERE p.proname = $1 AND "
          "CASE WHEN $2 = '' THEN pg_function_is_visible(p.oid) ELSE n.nspname = $2 END "
          "ORDER BY p.oid",
          {&lookup[0], &lookup[1]}, options);
  const int count = PQntuples(candidates.get());
  if (count == 0) {
    throw EServerDatabaseError("No stored procedure or function named \"" + text + "\" exists");
  }
  std::vector<std::vector<TRoutineArgument>> overloads;
  for (int c = 0; c < count; ++c) {
    TParameters which;
    which.CreateParameter("oid", ftString, pdInput, 0,
                          TVariant(std::string(PQgetvalue(candidates.get(), c, 0))));
    TResult listed =
        Run("SELECT coalesce(a.name, ''), coalesce(a.mode, 'i') FROM pg_proc p, "
            "unnest(p.proargnames, p.proargmodes::text[]) WITH ORDINALITY AS a(name, mode, ord) "
            "WHERE p.oid = $1::oid ORDER BY a.ord",
            {&which[0]}, options);
    std::vector<TRoutineArgument>& arguments = overloads.emplace_back();
    for (int r = 0; r < PQntuples(listed.get()); ++r) {
      arguments.push_back({PQgetvalue(listed.get(), r, 0), PQgetvalue(listed.get(), r, 1)[0]});
    }
  }
  const int chosen = static_cast<int>(ChooseOverload(overloads, PassedParameters(parameters)));
  TRoutine routine;
  routine.IsProcedure = PQgetvalue(candidates.get(), chosen, 1)[0] == 'p';
  routine.Schema = PQgetvalue(candidates.get(), chosen, 2);
  routine.Name = PQgetvalue(candidates.get(), chosen, 3);
  routine.Arguments = std::move(overloads[chosen]);
  return routine;
}

TRecordsetData TPostgresDatabase::CallProcedure(const std::string& name, TParameters& parameters,
                                                const TStatementOptions& options) {
  const TRoutine routine = FindRoutine(name, parameters, options);
  const TRoutineCall call = BuildRoutineCall(routine, parameters);
  TResult result = Run(call.Sql, call.Values, options);
  TRecordsetData rows = RowsetOf(result.get(), options);
  FillOutputParameters(rows, routine.IsProcedure, parameters);
  return rows;
}

void TPostgresDatabase::StreamProcedure(const std::string& name, TParameters& parameters,
                                        const TStatementOptions& options,
                                        TRowsetXmlWriter& writer) {
  bool outputs = false;
  for (int p = 0; p < parameters.Count(); ++p) {
    const TParameterDirection direction = parameters[p].Direction;
    outputs |= direction == pdOutput || direction == pdInputOutput || direction == pdReturnValue;
  }
  // Output values are read from the first row as the whole rowset holds it.
  if (outputs) return writer.WriteWhole(CallProcedure(name, parameters, options));
  const TRoutine routine = FindRoutine(name, parameters, options);
  const TRoutineCall call = BuildRoutineCall(routine, parameters);
  TResult result = Run(call.Sql, call.Values, options);
  StreamResult(result.get(), options, writer);
}

void TPostgresDatabase::InsertRows(const std::string& table,
                                   const std::vector<std::string>& columns,
                                   const std::string& returning,
                                   const std::vector<TParameters>& runs,
                                   const TStatementOptions& options, TBatchResult& result) {
  if (runs.empty()) return;
  // Each column's type without its modifier: the insert itself then checks a length or
  // rounds a scale, as it does for a value of unknown type.
  TParameters lookup;
  lookup.CreateParameter("table", ftWideString, pdInput, 0, TVariant(table));
  TResult described =
      Run("SELECT attname, format_type(atttypid, NULL) FROM pg_attribute WHERE attrelid = "
          "$1::regclass AND attnum > 0 AND NOT attisdropped",
          {&lookup[0]}, options);
  std::map<std::string, std::string> types;
  for (int r = 0; r < PQntuples(described.get()); ++r) {
    types[PQgetvalue(described.get(), r, 0)] = PQgetvalue(described.get(), r, 1);
  }
  // The rows as a JSON array of arrays of texts (null for NULL), and the type each column's
  // values were bound as (0: unknown, the column's own).
  std::vector<Oid> bound_as(columns.size(), 0);
  bool mixed = false;
  std::string json = "[";
  for (size_t r = 0; r < runs.size(); ++r) {
    std::vector<const TParameter*> values;
    for (int p = 0; p < runs[r].Count(); ++p) values.push_back(&runs[r][p]);
    if (values.size() != columns.size()) mixed = true;
    const TBoundValues bound(values);
    json += r ? ",[" : "[";
    for (size_t c = 0; c < values.size() && c < columns.size(); ++c) {
      if (c) json += ',';
      Oid& type = bound_as[c];
      const Oid given = bound.Types[c];
      if (r == 0) {
        type = given;
      } else if (type != given) {
        const bool integers =
            (type == kInt4 || type == kInt8) && (given == kInt4 || given == kInt8);
        if (integers) {
          type = kInt8;
        } else {
          mixed = true;
        }
      }
      if (bound.Pointers[c] == nullptr) {
        json += "null";
      } else if (bound.Formats[c] == 1) {
        static const char kHex[] = "0123456789abcdef";
        json += "\"\\\\x";
        const auto* bytes = reinterpret_cast<const uint8_t*>(bound.Pointers[c]);
        for (int b = 0; b < bound.Lengths[c]; ++b) {
          json += kHex[bytes[b] >> 4];
          json += kHex[bytes[b] & 15];
        }
        json += '"';
      } else {
        AppendJsonString(json, std::string_view(bound.Pointers[c], bound.Lengths[c]));
      }
    }
    json += ']';
  }
  json += ']';
  // Each value is cast as its parameter would have been bound: to the type it was bound as,
  // or from its text to the column's own type; the insert then assigns it to the column.
  std::string names, casts;
  for (size_t c = 0; c < columns.size() && !mixed; ++c) {
    std::string type;
    switch (bound_as[c]) {
      case kBool:
        type = "boolean";
        break;
      case kInt4:
        type = "integer";
        break;
      case kInt8:
        type = "bigint";
        break;
      case kFloat8:
        type = "double precision";
        break;
      case kNumeric:
        type = "numeric";
        break;
      case kTimestamp:
        type = "timestamp";
        break;
      case kBytea:
        type = "bytea";
        break;
      default: {
        const auto found = types.find(columns[c]);
        if (found == types.end()) {
          mixed = true;
          continue;
        }
        type = found->second;
      }
    }
    names += (c ? ", " : "") + Dialect().QuoteIdentifier(columns[c]);
    casts += (c ? ", (e->>" : "(e->>") + std::to_string(c) + ")::" + type;
  }
  if (mixed) {
    // Rows whose values were bound differently (or a column the catalog does not show): one
    // statement a row.
    IDatabase::InsertRows(table, columns, returning, runs, options, result);
    return;
  }
  TParameters rows;
  rows.CreateParameter("rows", ftWideString, pdInput, 0, TVariant(std::move(json)));
  // The rows are inserted, and answered, in the order of the array.
  TResult inserted = Run("INSERT INTO " + table + " (" + names + ") SELECT " + casts +
                             " FROM json_array_elements($1::json) WITH ORDINALITY AS lk_rows(e, n) "
                             "ORDER BY n RETURNING " +
                             returning,
                         {&rows[0]}, options);
  TRecordsetData answered = RowsetOf(inserted.get(), options, nullptr, false);
  const bool complete = answered.Rows.size() == runs.size();
  for (size_t r = 0; r < runs.size(); ++r) {
    if (complete) result.Rows.push_back(std::move(answered.Rows[r]->Values));
    result.RunEnds.push_back(result.Rows.size());
  }
}

void TPostgresDatabase::ExecuteBatch(const std::string& sql, const std::vector<TParameters>& runs,
                                     const TStatementOptions& options, TBatchResult& result) {
  if (runs.empty()) return;
  EnsureConnected();
  SetTimeout(options.TimeoutSeconds);
  const TRewrittenSql rewritten = RewriteNamedParameters(sql);
  if (PQenterPipelineMode(connection_) != 1) {
    Fail("cannot send statements together: " + Trimmed(PQerrorMessage(connection_)));
  }
  // Leaves pipeline mode when a failure cut the reading short: one more sync, then the results
  // still to come are read and dropped (a bounded number: two for each run, and the syncs).
  struct TPipeline {
    PGconn* connection;
    ~TPipeline() {
      if (PQpipelineStatus(connection) == PQ_PIPELINE_OFF) return;
      PQpipelineSync(connection);
      for (int i = 0; i < 10000 && PQstatus(connection) == CONNECTION_OK; ++i) {
        if (PQexitPipelineMode(connection) == 1) return;
        PQclear(PQgetResult(connection));
      }
    }
  } pipeline{connection_};

  // Sent in groups, each closed by a sync, so that neither side waits on a full socket
  // while the other is still sending.
  constexpr size_t kRunsPerSync = 200;
  std::string error;
  for (size_t first = 0; first < runs.size() && error.empty(); first += kRunsPerSync) {
    const size_t last = std::min(runs.size(), first + kRunsPerSync);
    for (size_t r = first; r < last; ++r) {
      const TBoundValues bound(NamedValues(rewritten, runs[r]));
      if (PQsendQueryParams(connection_, rewritten.Text.c_str(),
                            static_cast<int>(bound.Values.size()), bound.Types.data(),
                            bound.Pointers.data(), bound.Lengths.data(), bound.Formats.data(),
                            0) != 1) {
        Fail(ResultError(connection_, nullptr));
      }
    }
    if (PQpipelineSync(connection_) != 1) Fail(ResultError(connection_, nullptr));
    for (size_t r = first; r < last; ++r) {
      TResult answer(PQgetResult(connection_));
      if (answer.get() == nullptr) Fail(ResultError(connection_, nullptr));
      const ExecStatusType status = PQresultStatus(answer.get());
      TResult end(PQgetResult(connection_));           // each statement's results end with a null
      if (status == PGRES_PIPELINE_ABORTED) continue;  // after the failed one
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        if (error.empty()) error = ResultError(connection_, answer.get());
        continue;
      }
      TRecordsetData rows = RowsetOf(answer.get(), options, nullptr, false);
      for (auto& row : rows.Rows) result.Rows.push_back(std::move(row->Values));
      result.RunEnds.push_back(result.Rows.size());
    }
    TResult sync(PQgetResult(connection_));
    if (sync.get() == nullptr || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
      Fail(ResultError(connection_, sync.get()));
    }
  }
  if (PQexitPipelineMode(connection_) != 1) Fail(ResultError(connection_, nullptr));
  if (!error.empty()) throw EServerDatabaseError(error);
}

const ISqlDialect& TPostgresDatabase::Dialect() const {
  return TPostgresDialect::Instance();
}

}  // namespace larkspire::server
