// Removal of ring artefacts centred on the rotation axis from output slices,
// estimated in polar coordinates over eight radial scales.
//
// A ring is a feature that depends on the distance from the axis only, so in
// a polar frame centred on the axis it is a function of the radius alone. The
// correction takes the radial high-pass of the polar image, averages it over
// 16 angular sectors where the image is locally smooth, repeats that on eight
// successively halved radial scales and subtracts the summed sector profiles
// from the slice.
#pragma once

#include "driver/params.h"

// Ring correction of an output volume's float slices, one after the other:
// each slice becomes a 16-bit N x N image (N the larger side, made even)
// scaled so that the volume's largest magnitude is 29000, centred on the
// rotation axis through two offsets, is corrected in place (three passes
// for fine detector elements or small slices, else one) and comes back as
// floats. Not used (correct does nothing) without -N or for slices under
// 10 x 10. Sets the correction up for the volume and releases it at its end.
class SliceRingCorrector {
 public:
  explicit SliceRingCorrector(const ReconParams& p);
  ~SliceRingCorrector();
  SliceRingCorrector(const SliceRingCorrector&) = delete;
  SliceRingCorrector& operator=(const SliceRingCorrector&) = delete;
  bool used() const { return used_; }
  // `slice`: xSize x ySize floats, rows of xSize.
  void correct(float* slice) const;

 private:
  bool used_ = false;
  int width_, height_;
  int n_ = 0;
  float magnitude_ = 0;
  float columnOffset_ = 0, rowOffset_ = 0;
  int passes_ = 1;
};
