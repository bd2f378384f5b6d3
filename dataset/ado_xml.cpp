#include "dataset/ado_xml.h"

#include <optional>
#include <utility>

#include "dataset/ado_xml_internal.h"

namespace larkspire {

// The direct reader takes the common case; what it does not know goes the tree path, which also
// words every error.
TRecordsetData ReadAdoXml(std::string_view text) {
  if (std::optional<TRecordsetData> direct = adoxml::ReadAdoXmlDirect(text))
    return std::move(*direct);
  return adoxml::ReadAdoXmlTree(text);
}

TRecordsetData ReadAdoXmlInPlace(std::string& buffer) {
  if (std::optional<TRecordsetData> direct = adoxml::ReadAdoXmlDirect(buffer))
    return std::move(*direct);
  return adoxml::ReadAdoXmlTreeInPlace(buffer);
}

}  // namespace larkspire
