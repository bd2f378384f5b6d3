// The binary forms of one parameter value and of a parameter list inside a payload stream.
//
// Value forms by type tag: String/WideString as a 32-bit byte count and code-page bytes;
// Smallint/Integer/Word as a signed 32-bit integer; Boolean as one byte; Float/DateTime as a
// double; BCD as the value times 10 000 in a signed 64-bit integer; Largeint as a signed 64-bit
// integer; every other tag carries nothing and reads back Null.
//
// Readers never read past the stream nor allocate from a count larger than the bytes left:
// such input raises EMalformedData saying what was wrong and where.
//
// Thread-safety: free functions over a stream used by one thread.
#ifndef LARKSPIRE_PROTOCOL_PARAM_ENCODING_H_
#define LARKSPIRE_PROTOCOL_PARAM_ENCODING_H_

#include <cstdint>
#include <string>

#include "platform/parameters.h"
#include "platform/stream.h"
#include "platform/variant.h"

namespace larkspire {

// Appends the value form of tag at the stream's position. A value that does not convert raises
// the conversion error (EVariantError).
void WriteParamValue(const TVariant& value, TStream& stream, uint8_t tag);
// Reads the value form of tag at the stream's position (Null for tags without a form).
TVariant ReadParamValue(TStream& stream, uint8_t tag);

// Appends the list: a signed 32-bit count, then one record per parameter.
void WriteParameterList(const TParameters& parameters, TStream& stream);
// Reads a list at the stream's position and appends one parameter per record (size 0). A
// malformed list (a count or length beyond the bytes left, a direction that is not one, a
// record cut short) raises EMalformedData and appends nothing.
void ReadParameterList(TParameters& parameters, TStream& stream);

// Little helpers for payload fields: little-endian integers and 32-bit-length texts. The
// readers raise EMalformedData naming `what` when the stream ends early.
void WriteInt32(TStream& stream, int32_t value);
void WriteInt64(TStream& stream, int64_t value);
void WriteByte(TStream& stream, uint8_t value);
void WriteText(TStream& stream, const std::string& bytes);
int32_t ReadInt32(TStream& stream, const char* what);
int64_t ReadInt64(TStream& stream, const char* what);
uint8_t ReadByte(TStream& stream, const char* what);
// A text of a 32-bit length; a negative length reads as empty.
std::string ReadText(TStream& stream, const char* what);

}  // namespace larkspire

#endif  // LARKSPIRE_PROTOCOL_PARAM_ENCODING_H_
