#include "common/status.h"

#include <cstring>

namespace quilltap {

Status Status::posix(const std::string& context, int error) {
  std::string description = std::strerror(error);
  return Status(context.empty() ? description : context + ": " + description, description);
}

}  // namespace quilltap
