// The delta of a recordset's pending changes, as command 301 sends it, and the merge of the rows
// the server returns for it.
//
// The delta is an ADO XML document whose rs:data holds only the change blocks: the first
// rs:delete, the first rs:insert and every rs:update, in that order (anything else that is not a
// plain row stays before them). Its change kinds are "3" per deleted, "2" per inserted and "1"
// per updated row, in that order. The server answers an insert with rows (its assigned keys
// filled in) that replace the recordset's pending changes.
//
// The ...FromEveryRow and ...ByReloading forms are the first way this was done (the whole
// document written, parsed and cut or spliced); they stay as the reference that the direct forms
// are checked against.
//
// Thread-safety: pure functions over the data passed in.
#ifndef LARKSPIRE_DATASET_RECORDSET_DELTA_H_
#define LARKSPIRE_DATASET_RECORDSET_DELTA_H_

#include <string>

#include "dataset/recordset.h"

namespace larkspire {

// Cuts the delta out of a whole row document; returns the change kinds. A document without
// rs:data, or no XML at all, raises EMalformedData.
std::string CutDeltaDocument(const std::string& document, std::string& delta);

// The delta of the recordset's pending changes, written from the changed rows alone; returns the
// change kinds. A closed recordset raises EMalformedData, as a document without rows does.
std::string WriteRecordsetDelta(const TRecordset& recordset, std::string& delta);
std::string WriteRecordsetDeltaFromEveryRow(const TRecordset& recordset, std::string& delta);

// Replaces the recordset's pending changes by every child of the reply's rs:data, read under the
// recordset's own schema, and stands on the first row. A reply that is not a row document, or
// whose rows do not fit the schema, raises EMalformedData and leaves the recordset as it was.
void MergeReturnedRows(TRecordset& recordset, const std::string& reply);
// The whole document with the reply's rows spliced in place of the pending changes, to be
// loaded again. A reply that is not a row document raises EMalformedData.
std::string MergeReturnedRowsByReloading(const TRecordset& recordset, const std::string& reply);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_RECORDSET_DELTA_H_
