#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

void OpenHandleCloser::operator()(OpenHandle* handle) const {
  std::default_delete<OpenHandle>()(handle);
}

OwnedHandle OwnHandle(UniqueFd fd) {
  if (!fd.valid()) return nullptr;
  return OwnedHandle(std::make_unique<OpenHandle>(OpenHandle{std::move(fd)}).release());
}

}  // namespace plotspool::platform
