// The checks the ADO XML fuzz targets make on one document: the fast reader and the tree reader
// must agree (both refuse it, or both read the same rows), and what was read must read back the
// same after it is written again. A disagreement aborts, so the fuzzer keeps the input.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_FUZZ_ADO_XML_CHECK_H_
#define LARKSPIRE_FUZZ_ADO_XML_CHECK_H_

#include <optional>
#include <string_view>

#include "dataset/recordset.h"

namespace larkspire::fuzz {

// Reads text with every reader and compares; answers the rows read, or nullopt when the
// document was refused (EMalformedData).
std::optional<TRecordsetData> CheckAdoXmlReaders(std::string_view text);

// Writes data and reads the document back: the rows must be the same (the XML text of child
// rowsets is compared without its white space, and is left so in data).
void CheckAdoXmlRoundTrip(TRecordsetData& data);

}  // namespace larkspire::fuzz

#endif  // LARKSPIRE_FUZZ_ADO_XML_CHECK_H_
