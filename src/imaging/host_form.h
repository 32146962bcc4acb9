// The hidden host form frmSample with its two controls, the imaging control oleImgEdit1 and the
// picture box Picture1. One instance for the process, created with fresh controls on first
// reference and destroyed with them on Unload, so nothing of one job's image outlives it.
// Single-threaded use only.
#ifndef PLOTSPOOL_IMAGING_HOST_FORM_H_
#define PLOTSPOOL_IMAGING_HOST_FORM_H_

#include <string>

#include "imaging/imaging_control.h"
#include "imaging/picture_box.h"

namespace plotspool {

class HostForm {
 public:
  // Only frmSample() creates the form.
  class PassKey {
    PassKey() = default;
    friend HostForm& frmSample();
  };
  explicit HostForm(PassKey);
  HostForm(const HostForm&) = delete;
  HostForm& operator=(const HostForm&) = delete;
  ~HostForm();

  // References to the controls stay valid until the form is unloaded.
  ImagingControl& oleImgEdit1() { return image_edit_; }
  PictureBox& Picture1() { return picture_; }
  const std::string& Caption() const { return caption_; }
  // The service never shows the form.
  bool Visible() const { return false; }

  // True while the form exists; never creates it.
  static bool IsLoaded();
  // Destroys the form and both controls (with the image and the picture they hold); does
  // nothing when the form is not loaded. Any reference obtained before is invalid afterwards.
  static void Unload();

 private:
  std::string caption_ = "Image Edit";
  // Creation order: the picture box first, then the imaging control.
  PictureBox picture_;
  ImagingControl image_edit_;
};

// The form, created and loaded (hidden) first when it is not loaded.
HostForm& frmSample();

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_HOST_FORM_H_
