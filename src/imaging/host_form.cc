#include "imaging/host_form.h"

#include <memory>

namespace plotspool {
namespace {

std::unique_ptr<HostForm>& Instance() {
  static std::unique_ptr<HostForm> form;
  return form;
}

}  // namespace

HostForm::HostForm(PassKey) {}
HostForm::~HostForm() = default;

bool HostForm::IsLoaded() { return Instance() != nullptr; }

void HostForm::Unload() { Instance().reset(); }

HostForm& frmSample() {
  std::unique_ptr<HostForm>& form = Instance();
  if (form == nullptr) form = std::make_unique<HostForm>(HostForm::PassKey{});
  return *form;
}

}  // namespace plotspool
