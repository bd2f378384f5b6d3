// Parameters in SQL text: the ":name" placeholders of a query.
//
// The scan runs once over the text. A double quote, a single quote or a back quote switches a
// quoted state on and off; nothing inside quotes is a placeholder. Outside quotes "::" is passed
// over (it is a literal colon pair, as in a cast "x::int") and ":" followed by anything else
// starts a name. The name runs to the first blank, comma, ")", ";", carriage return or line feed
// met outside quotes, or to the end of the text; quotes inside it switch the quoted state as
// anywhere else, so a quoted name (:"my name") may hold blanks. A name that begins with a quote
// is taken without its quotes. Each placeholder gives one parameter in order of appearance,
// repeated names included. The text itself is what the server receives; it is not rewritten.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_DATASET_PARAM_PARSER_H_
#define LARKSPIRE_DATASET_PARAM_PARSER_H_

#include <string>
#include <vector>

#include "platform/parameters.h"

namespace larkspire {

// The placeholder names of the text, in order, repeated names included.
std::vector<std::string> ParseParameterNames(const std::string& sql);

// Empties params and adds one parameter per placeholder: direction pdInput, type ftUnknown,
// size 0, no value (Empty). Returns the number of parameters made.
int ParseSQLParameters(const std::string& sql, TParameters& params);

// Replaces, from left to right, every "?" of the text by ":para1", ":para2", ... wherever it
// stands, quoted text included.
std::string NumberQuestionMarks(const std::string& sql);

}  // namespace larkspire

#endif  // LARKSPIRE_DATASET_PARAM_PARSER_H_
