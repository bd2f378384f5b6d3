// Field types, parameter directions and the parameter collection that queries and the wire
// encoding share.
//
// Thread-safety: plain values, used by one thread at a time.
#ifndef LARKSPIRE_PLATFORM_PARAMETERS_H_
#define LARKSPIRE_PLATFORM_PARAMETERS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace larkspire {

// The ordinals travel on the wire as one-byte type tags.
enum TFieldType : uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd
};

enum TParameterDirection : uint8_t { pdUnknown, pdInput, pdOutput, pdInputOutput, pdReturnValue };

class TParameter {
 public:
  TParameter(std::string name, TFieldType data_type, TParameterDirection direction, int size,
             TVariant value)
      : Name(std::move(name)),
        DataType(data_type),
        Direction(direction),
        Size(size),
        Value(std::move(value)) {}
  TParameter() = default;

  std::string Name;  // UTF-8
  TFieldType DataType = ftUnknown;
  TParameterDirection Direction = pdInput;
  int Size = 0;
  TVariant Value;
};

// An ordered collection of parameters, found by name ignoring case.
class TParameters {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TParameter& operator[](int index) { return *items_.at(index); }
  const TParameter& operator[](int index) const { return *items_.at(index); }
  TParameter& AddParameter() { return *items_.emplace_back(std::make_unique<TParameter>()); }
  TParameter& CreateParameter(const std::string& name, TFieldType data_type,
                              TParameterDirection direction, int size, const TVariant& value);
  // Null when there is no parameter of that name.
  TParameter* FindParam(const std::string& name);
  const TParameter* FindParam(const std::string& name) const;
  // Raises EDatabaseError "Parameter 'x' not found" when missing.
  TParameter& ParamByName(const std::string& name);
  void Delete(int index) { items_.erase(items_.begin() + index); }
  void Clear() { items_.clear(); }
  // Copies names, types, directions, sizes and values.
  void Assign(const TParameters& other);

  TParameters() = default;
  TParameters(const TParameters& other) { Assign(other); }
  TParameters& operator=(const TParameters& other) {
    if (this != &other) Assign(other);
    return *this;
  }

 private:
  std::vector<std::unique_ptr<TParameter>> items_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_PARAMETERS_H_
