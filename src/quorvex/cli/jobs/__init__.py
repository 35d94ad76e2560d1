"""What the command does, apart from where and how it runs.

A job is one command's work (upscale, swap), given by its options (cli.options):

- `check_options()` and `check_models()` check what can be checked without loading a model
  (the options; the model files and their libraries); cli.plan checks the inputs and outputs
  between the two;
- `load(reporter, device_id)` loads the models once on a device and returns its worker;
- `summary(...)` says what a run did, in the job's own words.

A worker processes one item at a time, whichever runner hands it over:

- `image(source, target, bar)`: one image file into target; the same in parts, for runners
  that read ahead and write behind: `read(source)` (a media.ImageInput) and
  `process(given, target, bar)` (the device image media.write_image takes);
- `frame(image, bar)`: one device frame (a video's or a live source's) into a new one;
- `frame_size((width, height))`: the size `frame` gives for that input size;
- `count`: what it has done so far in the job's own unit (tiles, faces);
- `keeps_range`: whether `frame` keeps values beyond 0..1 (a video's super-white and sub-black).

The plan of items (cli.plan) and the runners (cli.runners) take any job.
"""

from __future__ import annotations


def job_for(args):
    """The job of `upscale` or `swap` options (cli.options)."""
    if args.command == "upscale":
        from .upscale import UpscaleJob

        return UpscaleJob(args)
    if args.command == "swap":
        from .swap import SwapJob

        return SwapJob(args)
    raise ValueError(f"no job for the command {args.command!r}")
