// IProviderSupport: the interface through which a dataset provider resolves updates against a
// dataset's own connection (transactions, statements, key fields).
//
// Thread-safety: as the dataset that implements it (main thread only).
#ifndef LARKSPIRE_COMPONENTS_PROVIDER_SUPPORT_H_
#define LARKSPIRE_COMPONENTS_PROVIDER_SUPPORT_H_

#include <string>

#include "dataset/dataset.h"
#include "platform/parameters.h"

namespace larkspire {

class IProviderSupport {
 public:
  virtual void PSStartTransaction() = 0;
  virtual void PSEndTransaction(bool commit) = 0;
  virtual void PSExecute() = 0;
  // Runs a statement whose parameters are "?" marks, bound by position; returns the rows
  // affected. result_set is left untouched.
  virtual int PSExecuteStatement(const std::string& sql, const TParameters& params,
                                 TDataSet** result_set = nullptr) = 0;
  // The key fields, separated by ";".
  virtual std::string PSGetKeyFields() = 0;

 protected:
  ~IProviderSupport() = default;
};

}  // namespace larkspire

#endif  // LARKSPIRE_COMPONENTS_PROVIDER_SUPPORT_H_
