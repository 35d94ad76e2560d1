// The package's own functions and constants that modules call one another through, looked up on
// first use (importing their module) and kept: one table for every module, as qv::Import is for
// the libraries. A module calls qv::sibling::resize(image, size) as Python would call resize.
#pragma once

#include "quorvex/python.hpp"

namespace quorvex::sibling {

inline Lookup bgr_to_rgb("quorvex.color.bgr", "bgr_to_rgb");
inline Lookup rgb_to_bgr("quorvex.color.bgr", "rgb_to_bgr");
inline Lookup load_emap("quorvex.face.emap", "load_emap");
inline Lookup QvFace("quorvex.face.schema", "QvFace");
inline Lookup GaussianBlur("quorvex.filter.gaussian", "GaussianBlur");
inline Lookup affine_transform("quorvex.transform.affine", "affine_transform");
inline Lookup affine_transform_batch("quorvex.transform.affine", "affine_transform_batch");
inline Lookup crop_from_kps("quorvex.transform.affine", "crop_from_kps");
inline Lookup get_inverse_matrix("quorvex.transform.affine", "get_inverse_matrix");
inline Lookup inter_auto("quorvex.transform.resize", "INTER_AUTO");
inline Lookup resize("quorvex.transform.resize", "resize");
inline Lookup to_blob("quorvex.utils.blob", "to_blob");
inline Lookup to_blobs("quorvex.utils.blob", "to_blobs");
inline Lookup to_cupy("quorvex.utils.dlpack", "to_cupy");
inline Lookup to_numpy("quorvex.utils.dlpack", "to_numpy");
inline Lookup to_tensor("quorvex.utils.dlpack", "to_tensor");
inline Lookup to_float16("quorvex.utils.dtypes", "to_float16");
inline Lookup to_float32("quorvex.utils.dtypes", "to_float32");
inline Lookup to_uint16("quorvex.utils.dtypes", "to_uint16");
inline Lookup to_uint8("quorvex.utils.dtypes", "to_uint8");

}  // namespace quorvex::sibling
