#include "Convert/conv_dicom_geometry.h"

#include "Convert/kema_image.h"

DicomGeometry Image_Dicom_Geometry(const ImageHeader& ima) {
  const ImageG1& g1 = ima.g1;
  DicomGeometry d;
  for (int k = 0; k < 3; ++k) {
    d.position[k] = g1.position[k];
    d.row[k] = g1.dir_h[k];
    d.col[k] = g1.dir_v[k];
  }
  if (ima.flags & kFlagRowsReversed) {
    const float height = static_cast<float>(ima.dim_y) * g1.pix_dim[1];
    for (int k = 0; k < 3; ++k) {
      d.position[k] += height * g1.dir_v[k];
      d.col[k] = -g1.dir_v[k];
    }
  }
  d.spacing = {g1.pix_dim[1], g1.pix_dim[0]};
  return d;
}
