#include "error.h"

#include <cstring>

namespace quillet {

Error Error::from_errno(int err) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be `buf`.
  const char* text = strerror_r(err, buf, sizeof buf);
  return Error(ErrorKind::Io, std::string(text) + " (os error " + std::to_string(err) + ")", err);
}

}  // namespace quillet
