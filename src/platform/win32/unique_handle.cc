#include "platform/win32/unique_handle.h"

#include <memory>

namespace plotspool::platform {

void OpenHandleCloser::operator()(OpenHandle* handle) const {
  std::default_delete<OpenHandle>()(handle);
}

OwnedHandle OwnHandle(UniqueHandle handle) {
  if (!handle.valid()) return nullptr;
  return OwnedHandle(std::make_unique<OpenHandle>(OpenHandle{std::move(handle)}).release());
}

}  // namespace plotspool::platform
