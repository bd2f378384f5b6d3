// Fields of a dataset: the typed view of one column of the current row, and the definitions
// (name, type, size) a dataset builds for its columns when it opens.
//
// A TField reads and writes its value through its dataset (TDataSet::GetFieldValue and
// SetFieldValue), so the same field object serves every row. Each subclass stores one kind of
// value (TStringField a String, TIntegerField an Integer, TFloatField a Double, TBCDField a
// Currency, ...) and converts what it is given to that kind; a value that does not convert
// raises EDatabaseError naming the field. Text forms: integers in decimal, floats as the
// shortest text with at most 15 significant digits ("12.5"), currency as its exact decimal text,
// Booleans "True"/"False", dates as platform/datetime.h writes them, Null as empty text. Text
// given to a numeric field must be a whole decimal number ("1e3" is 1000; "abc" and "12a" are
// refused); empty text clears a non-string field.
//
// Fields created with the dataset's columns at open are destroyed at close; fields added in code
// before the first open are persistent and stay bound by FieldName across opens.
//
// Thread-safety: fields belong to their dataset's thread.
#ifndef LARKSPIRE_DATASET_FIELD_H_
#define LARKSPIRE_DATASET_FIELD_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/parameters.h"
#include "platform/variant.h"

namespace larkspire {

class TDataSet;

// How a provider uses a field when it resolves updates.
enum TProviderFlag : unsigned { pfInUpdate = 1, pfInWhere = 2, pfInKey = 4, pfHidden = 8 };
using TProviderFlags = unsigned;

// The definition of one column of an open dataset.
struct TFieldDef {
  std::string Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;       // characters of strings, bytes of binaries, scale of BCD
  int Precision = 0;  // digits of BCD
  bool Required = false;
};

// The column definitions in column order; FieldNo of a definition is its index + 1.
class TFieldDefs {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  const TFieldDef& operator[](int index) const { return items_.at(index); }
  TFieldDef& Add(TFieldDef def) { return items_.emplace_back(std::move(def)); }
  // Index of the definition of that name, ignoring case; -1 when there is none.
  int IndexOf(const std::string& name) const;
  void Clear() { items_.clear(); }

 private:
  std::vector<TFieldDef> items_;
};

class TField {
 public:
  TField(const std::string& field_name, TFieldType data_type, int size = 0);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;
  virtual ~TField();

  TDataSet* DataSet() const { return dataset_; }
  // The component name of a persistent field ("SimpleQueryid"); FieldName is the column.
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  const std::string& FieldName() const { return field_name_; }
  // Raises EDatabaseError while the dataset is open.
  void SetFieldName(const std::string& name);
  TFieldType DataType() const { return data_type_; }
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool read_only) { read_only_ = read_only; }
  bool Visible() const { return visible_; }
  void SetVisible(bool visible) { visible_ = visible; }
  // The caption for users; FieldName when none was set.
  std::string DisplayLabel() const { return display_label_.empty() ? field_name_ : display_label_; }
  void SetDisplayLabel(const std::string& label) { display_label_ = label; }
  // The name used in messages: the display label.
  std::string DisplayName() const { return DisplayLabel(); }
  TProviderFlags ProviderFlags() const { return provider_flags_; }
  void SetProviderFlags(TProviderFlags flags) { provider_flags_ = flags; }
  // Position in the dataset's field list; -1 while the field belongs to no dataset.
  int Index() const { return index_; }
  // 1-based number of the column definition the field is bound to; 0 while unbound.
  int FieldNo() const { return field_no_; }
  bool IsPersistent() const { return persistent_; }

  // The value in the current row (the edit buffer while editing); Null without a row.
  TVariant Value() const;
  // Converts the value to this field's kind and stores it in the current row's edit buffer.
  void SetValue(const TVariant& value);
  // The value before the row's pending change.
  TVariant OldValue() const;
  bool IsNull() const { return Value().IsClear(); }
  void Clear() { SetValue(TVariant::Null()); }

  // Getters give the empty text, 0 or false for Null; setters convert as the field's kind does.
  std::string AsString() const { return TextOf(Value()); }
  void SetAsString(const std::string& text) { SetValue(ParseText(text)); }
  int32_t AsInteger() const;
  void SetAsInteger(int32_t value) { SetValue(TVariant(value)); }
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t value) { SetValue(TVariant(value)); }
  double AsFloat() const;
  void SetAsFloat(double value) { SetValue(TVariant(value)); }
  bool AsBoolean() const;
  void SetAsBoolean(bool value) { SetValue(TVariant(value)); }
  // Days since 1899-12-30.
  double AsDateTime() const;
  void SetAsDateTime(double days) { SetValue(TVariant::FromDateTime(days)); }
  // The value times 10 000.
  int64_t AsCurrency() const;
  void SetAsCurrency(int64_t scaled) { SetValue(TVariant::FromCurrency(scaled)); }
  TBytes AsBytes() const;
  void SetAsBytes(const TBytes& bytes) { SetValue(TVariant(bytes)); }

  // The text for display: the value formatted by the field's display format, if it has one.
  std::string DisplayText() const { return DisplayTextOf(Value()); }

  // The field's text of a value of its column (used for rows other than the current one too).
  virtual std::string TextOf(const TVariant& value) const;
  virtual std::string DisplayTextOf(const TVariant& value) const { return TextOf(value); }
  // The value this field stores for the given one; raises EDatabaseError when it does not
  // convert. Empty and Null give Null.
  virtual TVariant Convert(const TVariant& value) const;

  // Called with the converted value before it is stored; may raise to refuse it.
  std::function<void(TField&, const TVariant&)> OnValidate;
  // Called after a value was stored.
  std::function<void(TField&)> OnChange;

 protected:
  // The value a text stands for; by default the text itself, converted.
  virtual TVariant ParseText(const std::string& text) const;
  [[noreturn]] void RaiseInvalid(const std::string& text, const char* kind) const;

 private:
  friend class TDataSet;

  TDataSet* dataset_ = nullptr;
  std::string name_;
  std::string field_name_;
  TFieldType data_type_;
  int size_;
  bool required_ = false;
  bool read_only_ = false;
  bool visible_ = true;
  std::string display_label_;
  TProviderFlags provider_flags_ = pfInUpdate | pfInWhere;
  int index_ = -1;
  int field_no_ = 0;
  bool persistent_ = false;
};

// A field of any kind that keeps values as they come (ftVariant, ftUnknown).
class TVariantField : public TField {
 public:
  explicit TVariantField(const std::string& field_name, TFieldType data_type = ftVariant)
      : TField(field_name, data_type) {}
};

// Text: ftString, ftFixedChar, ftWideString, ftGuid. Size is in characters (20 by default); the
// column decides what fits, the field cuts nothing.
class TStringField : public TField {
 public:
  explicit TStringField(const std::string& field_name, int size = 20,
                        TFieldType data_type = ftString)
      : TField(field_name, data_type, size) {}
  TVariant Convert(const TVariant& value) const override;

 protected:
  TVariant ParseText(const std::string& text) const override { return TVariant(text); }
};

// Base of the number fields: an optional display format such as "￥0.00" or "#,##0.00".
class TNumericField : public TField {
 public:
  using TField::TField;
  const std::string& DisplayFormat() const { return display_format_; }
  void SetDisplayFormat(const std::string& format) { display_format_ = format; }
  std::string DisplayTextOf(const TVariant& value) const override;

 private:
  std::string display_format_;
};

// ftInteger, ftSmallint, ftWord: an Integer within the type's range.
class TIntegerField : public TNumericField {
 public:
  explicit TIntegerField(const std::string& field_name, TFieldType data_type = ftInteger);
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;

 private:
  int64_t min_, max_;
};

// ftAutoInc: an integer the database assigns.
class TAutoIncField : public TIntegerField {
 public:
  explicit TAutoIncField(const std::string& field_name) : TIntegerField(field_name, ftAutoInc) {}
};

// ftLargeint: an Int64.
class TLargeintField : public TNumericField {
 public:
  explicit TLargeintField(const std::string& field_name) : TNumericField(field_name, ftLargeint) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;
};

// ftFloat, ftCurrency: a Double.
class TFloatField : public TNumericField {
 public:
  explicit TFloatField(const std::string& field_name, TFieldType data_type = ftFloat)
      : TNumericField(field_name, data_type) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;
};

// ftBCD: a Currency (four decimals, exact). Size is the scale, Precision the digits.
class TBCDField : public TNumericField {
 public:
  explicit TBCDField(const std::string& field_name, int size = 4)
      : TNumericField(field_name, ftBCD, size) {}
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;

 private:
  int precision_ = 0;
};

// ftFMTBcd: a decimal that may not fit a Currency; kept as the column gives it (a Currency or
// its exact decimal text) so no digit is lost.
class TFMTBCDField : public TNumericField {
 public:
  explicit TFMTBCDField(const std::string& field_name, int size = 8)
      : TNumericField(field_name, ftFMTBcd, size) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;
};

// ftBoolean. Text "True"/"False"; given text matches either, ignoring case, as a prefix.
class TBooleanField : public TField {
 public:
  explicit TBooleanField(const std::string& field_name) : TField(field_name, ftBoolean) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;

 protected:
  TVariant ParseText(const std::string& text) const override;
};

// ftDateTime, ftDate, ftTime, ftTimeStamp: a DateTime. A date field shows the date alone, a time
// field the time of day alone.
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(const std::string& field_name, TFieldType data_type = ftDateTime)
      : TField(field_name, data_type) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;

 protected:
  TVariant ParseText(const std::string& text) const override;
};

// ftBlob and other binary kinds: Bytes. Text is the bytes as they are.
class TBlobField : public TField {
 public:
  explicit TBlobField(const std::string& field_name, TFieldType data_type = ftBlob, int size = 0)
      : TField(field_name, data_type, size) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;

 protected:
  TVariant ParseText(const std::string& text) const override;
};

// ftMemo, ftFmtMemo: long text, kept as a String.
class TMemoField : public TBlobField {
 public:
  explicit TMemoField(const std::string& field_name, TFieldType data_type = ftMemo)
      : TBlobField(field_name, data_type) {}
  std::string TextOf(const TVariant& value) const override;
  TVariant Convert(const TVariant& value) const override;

 protected:
  TVariant ParseText(const std::string& text) const override { return TVariant(text); }
};

// ftBytes, ftVarBytes: binary of a bounded size.
class TBytesField : public TBlobField {
 public:
  explicit TBytesField(const std::string& field_name, int size = 16, TFieldType data_type = ftBytes)
      : TBlobField(field_name, data_type, size) {}
};

// The field class a column of this type gets when the dataset creates its fields.
std::unique_ptr<TField> CreateField(const TFieldDef& def);

// The type's name as messages use it ("String", "Integer").
std::string FieldTypeName(TFieldType type);

// A number formatted by a display format: literal text around digit placeholders ("0" always
// shows a digit, "#" only a significant one), "." for the decimals, "," for thousands
// separators, quoted literals, up to three sections "positive;negative;zero".
std::string FormatFloat(const std::string& format, double value);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_FIELD_H_
