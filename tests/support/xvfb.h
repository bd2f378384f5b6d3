// TXvfb: a virtual X display with a white root window for a test, when Xvfb is installed; it
// picks a free display number itself and is stopped by the destructor.
//
// Thread-safety: one thread.
#ifndef LARKSPIRE_TESTS_SUPPORT_XVFB_H_
#define LARKSPIRE_TESTS_SUPPORT_XVFB_H_

#include <sys/types.h>

#include <string>

namespace larkspire::test {

class TXvfb {
 public:
  TXvfb(int width, int height);
  ~TXvfb();
  TXvfb(const TXvfb&) = delete;
  TXvfb& operator=(const TXvfb&) = delete;

  // ":N", or empty when Xvfb is missing or did not start.
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace larkspire::test

#endif  // LARKSPIRE_TESTS_SUPPORT_XVFB_H_
