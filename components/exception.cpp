#include "components/exception.h"

namespace larkspire {

void ThrowLarkspireException(int32_t kind_code, int32_t error_code, std::string error_message,
                             const std::string& message) {
  switch (kind_code) {
    case kErrCouldNotConnect:
    case kErrNoReply:
    case kErrClosedDuringCommand:
    case kErrConnectionRefused:
    case kErrConnectionsLimit:
    case kErrTlsFailed:
    case kErrTlsRequired:
    case kErrDatabaseLost:
      throw ELarkspireConnectionError(error_code, std::move(error_message), message);
    case kErrTransactionLost:
      throw ELarkspireTransactionLostError(error_code, std::move(error_message), message);
    case kErrUpdateConflict:
      throw ELarkspireUpdateConflictError(error_code, std::move(error_message), message);
    case kErrMergeFailed:
      throw ELarkspireMergeError(error_code, std::move(error_message), message);
    case kErrReplyTooLarge:
      throw ELarkspireStatementError(error_code, std::move(error_message), message);
    default:
      break;
  }
  // Every code the server sends of its own is 2xxxx.
  if (kind_code >= 20000 && kind_code < 30000)
    throw ELarkspireStatementError(error_code, std::move(error_message), message);
  throw ELarkspireException(error_code, std::move(error_message), message);
}

void RethrowAtComponentBoundary(const std::string& name) {
  const auto worded = [&name](const char* message) {
    return name.empty() ? std::string(message) : name + ":" + message;
  };
  try {
    throw;
  } catch (const ELarkspireException&) {
    throw;
  } catch (const EMalformedData& e) {
    throw ELarkspireMalformedDataError(kNoErrorCode, e.what(), worded(e.what()));
  } catch (const EZLibError& e) {
    // Only a peer's bytes fail to inflate.
    throw ELarkspireMalformedDataError(kNoErrorCode, e.what(), worded(e.what()));
  } catch (const Exception& e) {
    throw ELarkspireLocalError(kNoErrorCode, e.what(), worded(e.what()));
  }
}

}  // namespace larkspire
