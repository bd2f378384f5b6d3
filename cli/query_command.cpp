// query SQL: opens a TLarkspireQuery and prints its rows as an aligned table, CSV or JSON.
// With --page N and/or --page-size M (20 when only --page is given, page 1 when only
// --page-size is) it fetches one page through the query's paging object and prints its rows,
// then a line with the page number, the page count and the total rows, "page 2 of 3, 45 rows
// in all" ("no pages, 0 rows in all" for an empty result): after the table on standard output,
// or on standard error with CSV and JSON so that the data stays machine-readable.
// exec SQL: runs a statement without rows and prints the rows affected.
//
// Both take the SQL as an argument, from a file (-f FILE) or from standard input ("-", or a
// pipe when the argument is left out). Statements read so run in turn as in the shell
// (cli/statement_session.h: rows are printed, changes report the rows affected) and the first
// failure stops the run; with --page or --page-size the input must hold one query.
//
// Every parameter of a statement needs a value: --param NAME=VALUE, or --null NAME for Null.
// Parameter values given with --param NAME=VALUE are texts: they travel as string parameters
// and the server binds them as text (SQLite then converts them by the column's affinity, so
// "--param Id=3" compares equal to an integer column; PostgreSQL casts the text to the column's
// type where it can).
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/error_report.h"
#include "cli/output_options.h"
#include "cli/sql_source.h"
#include "cli/statement_session.h"
#include "cli/statements.h"
#include "cli/terminal_text.h"
#include "cli/value_text.h"
#include "components/query.h"
#include "dataset/ado_xml.h"
#include "dataset/recordset_dataset.h"
#include "platform/exception.h"
#include "platform/variant.h"

namespace larkspire::cli {
namespace {

struct TStatementArgs {
  std::string sql;
  std::string file;
  TParameterArgs parameters;
  TOutputOptions output;
  int32_t page = 0;       // 0: not given
  int32_t page_size = 0;  // 0: not given
};

// Gives every parameter named name the value; raises when the statement has none of that name.
void BindParameter(TLarkspireQuery& query, const std::string& name, const TVariant& value) {
  bool found = false;
  for (int i = 0; i < query.Parameters().Count(); ++i) {
    TParameter& p = query.Parameters()[i];
    if (strcasecmp(p.Name.c_str(), name.c_str()) != 0) continue;
    if (!p.Value.IsEmpty())
      throw EDatabaseError("parameter \":" + name + "\" is given more than once");
    p.DataType = ftWideString;
    p.Value = value;
    found = true;
  }
  if (!found) throw EDatabaseError("the statement has no parameter \":" + name + "\"");
}

// --- Text measures ------------------------------------------------------------------------------

// Decodes one UTF-8 character at i (advancing i); an invalid byte decodes as itself.
uint32_t NextCodePoint(const std::string& text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  int length = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
  if (length <= 1 || i + length > text.size()) {
    ++i;
    return b;
  }
  uint32_t cp = b & (0x7F >> length);
  for (int k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return b;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += length;
  return cp;
}

bool IsWide(uint32_t cp) {
  static const uint32_t kRanges[][2] = {
      {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x2E80, 0x303E},
      {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
      {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
      {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
      {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
  };
  for (const auto& range : kRanges)
    if (cp >= range[0] && cp <= range[1]) return true;
  return false;
}

bool IsZeroWidth(uint32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) ||
         (cp >= 0xFE00 && cp <= 0xFE0F);
}

// Columns the text takes on a terminal: East Asian wide characters count 2, combining marks 0.
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    const uint32_t cp = NextCodePoint(text, i);
    width += IsZeroWidth(cp) ? 0 : IsWide(cp) ? 2 : 1;
  }
  return width;
}

// --- Values
// ---------------------------------------------------------------------------------------

bool IsNumberField(const TField& field) {
  switch (field.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftFMTBcd:
      return true;
    default:
      return false;
  }
}

// The columns of the rows printed: the fields that give each value its text, and the rowset's
// columns behind them.
struct TColumns {
  std::vector<const TField*> fields;
  std::vector<const TRecordsetField*> sources;

  explicit TColumns(TDataSet& dataset) {
    const auto* rowset = dynamic_cast<const TRecordsetDataSet*>(&dataset);
    for (int c = 0; c < dataset.FieldCount(); ++c) {
      fields.push_back(&dataset.Fields(c));
      sources.push_back(rowset != nullptr ? rowset->SourceColumn(dataset.Fields(c)) : nullptr);
    }
  }
  int Count() const { return static_cast<int>(fields.size()); }
};

// The text of a value (not Null), the same in every format.
std::string CellText(const TColumns& columns, int c, const TVariant& value) {
  return ValueText(*columns.fields[c], columns.sources[c], value);
}

// --- Formats
// --------------------------------------------------------------------------------------

// A name or value in the table: line breaks and tabs become blanks, so each row keeps to one
// line, and any other control character is shown escaped.
std::string TableCell(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return TerminalSafe(text);
}

// Prints rows in one format, in parts: the columns once, then each row as a list of values in
// the columns' order, then whatever ends the output. The whole-rowset road hands over the rows
// of an open dataset, the streamed road each row as it arrives.
class TRowPrinter {
 public:
  virtual ~TRowPrinter() = default;
  virtual void Begin(const TColumns& columns) = 0;
  virtual void Row(const std::vector<TVariant>& values) = 0;
  virtual void End() = 0;
};

// The aligned table. Rows are kept as text until the end, so the widths fit every row; past
// kMaxKeptRows rows or kMaxKeptBytes bytes of text the rows kept so far set the widths, they
// are printed, and each later row is printed as it comes in those widths (a wider value then
// pushes the rest of its line to the right).
class TTablePrinter : public TRowPrinter {
 public:
  static constexpr size_t kMaxKeptRows = 10000;
  static constexpr size_t kMaxKeptBytes = 16 << 20;

  TTablePrinter(const TOutputOptions& output, std::ostream& out) : output_(output), out_(out) {}

  void Begin(const TColumns& columns) override {
    columns_ = &columns;
    const int count = columns.Count();
    widths_.assign(count, 0);
    right_.assign(count, false);
    header_.assign(count, std::string());
    for (int c = 0; c < count; ++c) {
      header_[c] = TableCell(columns.fields[c]->FieldName());
      widths_[c] = DisplayWidth(header_[c]);
      right_[c] = IsNumberField(*columns.fields[c]);
    }
  }

  void Row(const std::vector<TVariant>& values) override {
    const int count = columns_->Count();
    std::vector<std::string> row(count);
    for (int c = 0; c < count; ++c) {
      row[c] =
          TableCell(values[c].IsClear() ? output_.null_text : CellText(*columns_, c, values[c]));
      if (!streaming_) {
        widths_[c] = std::max(widths_[c], DisplayWidth(row[c]));
        kept_bytes_ += row[c].size();
      }
    }
    ++count_;
    if (streaming_) {
      PrintLine(row);
      return;
    }
    kept_.push_back(std::move(row));
    if (kept_.size() >= kMaxKeptRows || kept_bytes_ >= kMaxKeptBytes) Flush();
  }

  void End() override {
    if (!streaming_) Flush();
    if (output_.header) out_ << "(" << count_ << (count_ == 1 ? " row)" : " rows)") << "\n";
  }

 private:
  // Prints the header and the rows kept; later rows are printed as they come.
  void Flush() {
    streaming_ = true;
    if (output_.header) {
      PrintLine(header_);
      std::vector<std::string> rule(widths_.size());
      for (size_t c = 0; c < widths_.size(); ++c) rule[c] = std::string(widths_[c], '-');
      PrintLine(rule);
    }
    for (const auto& row : kept_) PrintLine(row);
    kept_.clear();
    kept_.shrink_to_fit();
  }

  void PrintLine(const std::vector<std::string>& cells) {
    std::string line;
    for (size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) line += "  ";
      const size_t width = DisplayWidth(cells[c]);
      const std::string pad(widths_[c] > width ? widths_[c] - width : 0, ' ');
      line += right_[c] ? pad + cells[c] : cells[c] + pad;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out_ << line << "\n";
  }

  const TOutputOptions& output_;
  std::ostream& out_;
  const TColumns* columns_ = nullptr;
  std::vector<size_t> widths_;
  std::vector<bool> right_;
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> kept_;
  size_t kept_bytes_ = 0;
  bool streaming_ = false;
  size_t count_ = 0;
};

// RFC 4180: fields holding a comma, a quote or a line break are quoted, quotes doubled. An empty
// text is written as "" so that it differs from Null, which is an empty field, and "\." is
// quoted, since alone on a line it would end PostgreSQL's COPY input.
void AppendCsvField(std::string& out, const std::string& text) {
  bool plain = !text.empty() && text != "\\.";
  for (char c : text)
    if (c == ',' || c == '"' || c == '\r' || c == '\n') plain = false;
  if (plain) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string CsvField(const std::string& text) {
  std::string field;
  AppendCsvField(field, text);
  return field;
}

// Records end with LF, or CRLF with --crlf.
class TCsvPrinter : public TRowPrinter {
 public:
  TCsvPrinter(const TOutputOptions& output, std::ostream& out) : output_(output), out_(out) {}

  void Begin(const TColumns& columns) override {
    columns_ = &columns;
    if (!output_.header) return;
    for (int c = 0; c < columns.Count(); ++c)
      out_ << (c > 0 ? "," : "") << CsvField(columns.fields[c]->FieldName());
    out_ << output_.CsvLineEnd();
  }

  void Row(const std::vector<TVariant>& values) override {
    line_.clear();
    for (int c = 0; c < columns_->Count(); ++c) {
      if (c > 0) line_ += ',';
      if (!values[c].IsClear())
        AppendCsvField(line_, CellText(*columns_, c, values[c]));
      else if (!output_.null_text.empty())
        AppendCsvField(line_, output_.null_text);
    }
    line_ += output_.CsvLineEnd();
    out_.write(line_.data(), static_cast<std::streamsize>(line_.size()));
  }

  void End() override {}

 private:
  const TOutputOptions& output_;
  std::ostream& out_;
  const TColumns* columns_ = nullptr;
  std::string line_;  // one record, written at once
};

void AppendJsonEscape(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          AppendJsonEscape(out, c);
        } else if (c == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
          // U+0080 to U+009F, the C1 controls: escaped too, so no terminal acts on them.
          AppendJsonEscape(out, static_cast<unsigned char>(text[++i]));
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonValue(const TColumns& columns, int c, const TVariant& value) {
  if (value.IsClear()) return "null";
  const TField& field = *columns.fields[c];
  if (field.DataType() == ftBoolean) return value.AsBoolean() ? "true" : "false";
  const std::string text = CellText(columns, c, value);
  if (IsNumberField(field)) {
    double number;
    // Not-a-number and infinities have no JSON form.
    return TextToFloat(text, number) ? text : "null";
  }
  return JsonString(text);
}

class TJsonPrinter : public TRowPrinter {
 public:
  explicit TJsonPrinter(std::ostream& out) : out_(out) {}

  void Begin(const TColumns& columns) override {
    columns_ = &columns;
    names_.clear();
    for (const TField* field : columns.fields) names_.push_back(JsonString(field->FieldName()));
    out_ << "[";
  }

  void Row(const std::vector<TVariant>& values) override {
    out_ << (first_row_ ? "\n  {" : ",\n  {");
    first_row_ = false;
    for (int c = 0; c < columns_->Count(); ++c)
      out_ << (c > 0 ? ", " : "") << names_[c] << ": " << JsonValue(*columns_, c, values[c]);
    out_ << "}";
  }

  void End() override { out_ << (first_row_ ? "]\n" : "\n]\n"); }

 private:
  std::ostream& out_;
  const TColumns* columns_ = nullptr;
  std::vector<std::string> names_;
  bool first_row_ = true;
};

std::unique_ptr<TRowPrinter> MakePrinter(const TOutputOptions& output, std::ostream& out) {
  if (output.format == "csv") return std::make_unique<TCsvPrinter>(output, out);
  if (output.format == "json") return std::make_unique<TJsonPrinter>(out);
  return std::make_unique<TTablePrinter>(output, out);
}

// Statements read from a file or standard input, one after another on one connection.
int RunStatements(const TClientOptions& options, const TStatementArgs& args,
                  const std::vector<TSqlStatement>& statements) {
  if (args.page > 0 || args.page_size > 0)
    throw EUsageError("--page and --page-size need a single statement");
  TLarkspireConnection connection;
  options.Configure(connection);
  TStatementSession session(connection, args.output, args.parameters, std::cout, std::cerr);
  for (const TSqlStatement& statement : statements) session.Run(statement);
  session.CheckEveryParamUsed();
  return kExitSuccess;
}

int RunQuery(const TClientOptions& options, TStatementArgs args) {
  bool from_input = false;
  const std::vector<TSqlStatement> statements = ReadSqlSource(args.sql, args.file, from_input);
  const bool paged_query = (args.page > 0 || args.page_size > 0) && statements.size() == 1;
  if (from_input && !paged_query) return RunStatements(options, args, statements);
  args.sql = statements[0].text;
  TLarkspireConnection connection;
  options.Configure(connection);
  TLarkspireQuery query;
  query.SetName("Query");
  query.SetConnection(&connection);
  query.SQL().SetText(args.sql);
  BindStatementParameters(query, args.parameters);
  const bool paged = args.page > 0 || args.page_size > 0;
  if (paged) {
    query.Paging().SetPageSize(args.page_size > 0 ? args.page_size : 20);
    query.Paging().GotoPage(args.page > 0 ? args.page : 1);
    if (!query.Active()) throw EDatabaseError("the server returned no rows");
    PrintRows(query, args.output, std::cout);
  } else {
    StreamRows(query, args.output, std::cout, true);
  }
  if (paged) {
    const TLarkspirePaging& paging = query.Paging();
    std::ostream& out = args.output.format == "table" ? std::cout : std::cerr;
    if (paging.PageCount() > 0)
      out << "page " << paging.PageIndex() << " of " << paging.PageCount() << ", ";
    else
      out << "no pages, ";
    out << paging.RecordCount() << (paging.RecordCount() == 1 ? " row" : " rows") << " in all\n";
  }
  return 0;
}

int RunExec(const TClientOptions& options, TStatementArgs args) {
  bool from_input = false;
  const std::vector<TSqlStatement> statements = ReadSqlSource(args.sql, args.file, from_input);
  if (from_input) return RunStatements(options, args, statements);
  args.sql = statements[0].text;
  TLarkspireConnection connection;
  options.Configure(connection);
  TLarkspireQuery query;
  query.SetName("Query");
  query.SetConnection(&connection);
  query.SQL().SetText(args.sql);
  BindStatementParameters(query, args.parameters);
  const int32_t rows = query.ExecSQL();
  std::cout << rows << " rows affected\n";
  return 0;
}

void AddStatementOptions(CLI::App& command, TStatementArgs& args) {
  command.add_option("SQL", args.sql,
                     "The statement (:name marks a parameter); \"-\" or none reads standard input");
  command
      .add_option("-f,--file", args.file, "Read the statements from FILE (each ends with \";\")")
      ->type_name("FILE");
  AddParameterOptions(command, args.parameters,
                      "NAME=VALUE for the parameter :NAME (repeatable; the value is text)");
}

}  // namespace

void AddQueryCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TStatementArgs>();
  CLI::App* query = app.add_subcommand("query", "Run a query and print its rows");
  AddStatementOptions(*query, *args);
  args->output.AddTo(*query);
  query
      ->add_option("--page", args->page,
                   "Fetch only this page (counted from 1) and report the page count")
      ->check(CLI::Range(1, INT32_MAX));
  query
      ->add_option("--page-size", args->page_size,
                   "Rows per page when paging (default 20; implies --page 1)")
      ->check(CLI::Range(1, INT32_MAX));
  query->callback(
      [&options, &run, args] { run = [&options, args] { return RunQuery(options, *args); }; });
}

void AddExecCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TStatementArgs>();
  CLI::App* exec = app.add_subcommand("exec", "Run a statement without rows");
  AddStatementOptions(*exec, *args);
  exec->callback(
      [&options, &run, args] { run = [&options, args] { return RunExec(options, *args); }; });
}

void AddParameterOptions(CLI::App& command, TParameterArgs& args, const std::string& param_help) {
  command.add_option("--param", args.params, param_help)
      ->take_all()
      ->expected(1)
      ->type_name("NAME=VALUE");
  command.add_option("--null", args.nulls, "Bind the parameter :NAME to Null (repeatable)")
      ->take_all()
      ->expected(1)
      ->type_name("NAME");
}

std::string ParameterName(const std::string& given) {
  std::string name = given.substr(0, given.find('='));
  if (!name.empty() && name[0] == ':') name.erase(0, 1);
  return name;
}

void BindStatementParameters(TLarkspireQuery& query, const TParameterArgs& args) {
  for (const std::string& given : args.params) {
    const size_t eq = given.find('=');
    if (eq == std::string::npos || eq == 0)
      throw EDatabaseError("--param needs NAME=VALUE, got \"" + given + "\"");
    BindParameter(query, ParameterName(given), TVariant(given.substr(eq + 1)));
  }
  for (const std::string& name : args.nulls)
    BindParameter(query, ParameterName(name), TVariant::Null());
  for (int i = 0; i < query.Parameters().Count(); ++i) {
    const TParameter& p = query.Parameters()[i];
    if (p.Value.IsEmpty()) throw EDatabaseError("no value for parameter :" + p.Name);
  }
}

void PrintRows(TLarkspireQuery& query, const TOutputOptions& output, std::ostream& out) {
  const TColumns columns(query);
  const std::unique_ptr<TRowPrinter> printer = MakePrinter(output, out);
  printer->Begin(columns);
  std::vector<TVariant> values(columns.Count());
  for (query.First(); !query.Eof(); query.Next()) {
    for (int c = 0; c < columns.Count(); ++c) values[c] = columns.fields[c]->Value();
    printer->Row(values);
  }
  printer->End();
}

bool StreamRows(TLarkspireQuery& query, const TOutputOptions& output, std::ostream& out,
                bool print_without_columns) {
  // The fields that give the values their text come from a dataset opened on the rowset's
  // columns alone (written and read back as an open query reads them), so each value prints
  // exactly as it would from an open query.
  TRecordsetDataSet columns_dataset;
  std::unique_ptr<TColumns> columns;
  std::unique_ptr<TRowPrinter> printer;
  query.ReadForwardOnly(
      [&](TRecordsetRow& row) {
        if (printer != nullptr) printer->Row(row.Values);
      },
      [&](const TRecordsetSchema& schema) {
        if (schema.Fields.empty() && !print_without_columns) return;
        TRecordsetData empty;
        empty.Schema = schema;
        auto recordset = std::make_unique<TRecordset>();
        recordset->OpenFromString(WriteAdoXml(empty), query.CursorType(), ltReadOnly);
        columns_dataset.SetRecordset(std::move(recordset));
        columns = std::make_unique<TColumns>(columns_dataset);
        printer = MakePrinter(output, out);
        printer->Begin(*columns);
      });
  if (printer == nullptr) return false;
  printer->End();
  return true;
}

}  // namespace larkspire::cli
