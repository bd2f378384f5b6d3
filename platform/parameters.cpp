#include "platform/parameters.h"

#include <strings.h>

#include "platform/exception.h"

namespace larkspire {

TParameter& TParameters::CreateParameter(const std::string& name, TFieldType data_type,
                                         TParameterDirection direction, int size,
                                         const TVariant& value) {
  return *items_.emplace_back(
      std::make_unique<TParameter>(name, data_type, direction, size, value));
}

TParameter* TParameters::FindParam(const std::string& name) {
  for (auto& p : items_)
    if (strcasecmp(p->Name.c_str(), name.c_str()) == 0) return p.get();
  return nullptr;
}

const TParameter* TParameters::FindParam(const std::string& name) const {
  return const_cast<TParameters*>(this)->FindParam(name);
}

TParameter& TParameters::ParamByName(const std::string& name) {
  TParameter* p = FindParam(name);
  if (p == nullptr) throw EDatabaseError("Parameter '" + name + "' not found");
  return *p;
}

void TParameters::Assign(const TParameters& other) {
  items_.clear();
  for (const auto& p : other.items_) items_.push_back(std::make_unique<TParameter>(*p));
}

}  // namespace larkspire
