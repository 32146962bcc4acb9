// The parts of files.h that every back end does alike, on top of what each implements.
#include "platform/files.h"

#include "base/error.h"
#include "platform/temporary_names.h"

namespace plotspool::platform {

bool RemoveFileIfExists(const std::string& path) {
  try {
    RemoveFile(path);
    return true;
  } catch (const RuntimeError&) {
    // Gone already or not ours to remove: either way no longer a temporary of this process.
    ForgetTemporaryName(path);
    return false;
  }
}

}  // namespace plotspool::platform
