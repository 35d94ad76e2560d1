// Area-average resampling kernels of float32 images, defined and compiled here for callers who
// launch them (2-D grids covering the output). Of the package's own functions, resize's
// INTER_AREA runs area_kernel's sampler (in every element type, from resize_kernel_code); the
// affine warps average shrinking footprints with the warp sampler's exact overlap over the whole
// footprint (outside pixels count as zero), a rule of their own; area_affine_kernel's rule
// (below) is used by nothing else.
#include "quorvex/kernel.hpp"
#include "quorvex/resize_sampling.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Each output pixel averages the source pixels its footprint overlaps, weighted by the overlap:
// resize's INTER_AREA sampler itself (resize_sampling.hpp), here as a float32 kernel that forms
// the ratios (input / output size, one float division each) on the device.
const std::string area_kernel_code = qv::resize_sampling_code +
#include "quorvex/transform/interporation/area_kernel.cuh.inc"
    ;

// Samples an RGB image through a matrix that maps output pixel centres to input positions.
// The footprint is one output pixel's extent in the input (the matrix rows' lengths), so a
// shrinking warp averages instead of skipping pixels. Edge weights come from the unclipped
// footprint: where it reaches past the border, the outermost pixel inside counts for more.
const char *area_affine_kernel_code =
#include "quorvex/transform/interporation/area_affine_kernel.cuh.inc"
    ;

}  // namespace

NB_MODULE(area, m) {
    m.doc() =
        "Area-average resampling kernels (float32, interleaved rows) for callers to launch: area_kernel "
        "is resize's INTER_AREA sampler, area_affine_kernel a warp with a footprint sized by the "
        "matrix's scale.";
    qv::add_kernel(m, "area_kernel", area_kernel_code.c_str());
    qv::add_kernel(m, "area_affine_kernel", area_affine_kernel_code);
}
