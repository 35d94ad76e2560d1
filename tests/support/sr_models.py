"""Small, randomly initialised networks that spandrel recognises, saved as checkpoints.

Each builder returns a state dict; `checkpoint_bytes` and `save_checkpoint` turn it into what
TorchUpscaler loads. Weights come from a fixed seed, so a test can rebuild the same network as
its own reference.
"""

from __future__ import annotations

import io
import pathlib

import cupy as cp
import numpy as np
import torch

from quorvex.cli.common import Reporter
from quorvex.pipeline.upscale import TiledModel


def compact(scale: int = 4, num_feat: int = 4, num_conv: int = 1, seed: int = 0) -> torch.nn.Module:
    """Real-ESRGAN's compact VGG-style network (spandrel: "Compact", purpose "SR")."""
    from spandrel.architectures.Compact import Compact

    torch.manual_seed(seed)
    model = Compact(num_in_ch=3, num_out_ch=3, num_feat=num_feat, num_conv=num_conv, upscale=scale)
    with torch.no_grad():
        # PReLU slopes start at 0.25 everywhere; vary them so each layer matters.
        for module in model.modules():
            if isinstance(module, torch.nn.PReLU):
                module.weight.uniform_(0.05, 0.5)
    return model.eval()


def gfpgan(seed: int = 0) -> torch.nn.Module:
    """GFPGAN v1 "clean" (purpose "FaceSR", minimum size 512). spandrel builds it in one fixed
    configuration only, so this is the full-size network (86 M parameters)."""
    from spandrel.architectures.GFPGAN import GFPGAN

    torch.manual_seed(seed)
    return GFPGAN(out_size=512, num_style_feat=512, channel_multiplier=2, decoder_load_path=None,
                  fix_decoder=False, num_mlp=8, input_is_latent=True, different_w=True, narrow=1,
                  sft_half=True).eval()


def restoreformer(seed: int = 0) -> torch.nn.Module:
    """A tiny RestoreFormer (purpose "FaceSR", no minimum size, sides a multiple of 32): one
    resolution level, the smallest channel count its group normalisation allows."""
    from spandrel.architectures.RestoreFormer import RestoreFormer

    torch.manual_seed(seed)
    return RestoreFormer(n_embed=16, embed_dim=8, ch=32, out_ch=3, ch_mult=(1,), num_res_blocks=1,
                         attn_resolutions=(16,), dropout=0.0, in_channels=3, resolution=512,
                         z_channels=8, double_z=False, enable_mid=False, head_size=8).eval()


def lama(seed: int = 0) -> torch.nn.Module:
    """LaMa inpainting: spandrel loads it as a masked-image model, not an image-to-image one."""
    from spandrel.architectures.LaMa import LaMa

    torch.manual_seed(seed)
    return LaMa(in_nc=4, out_nc=3).eval()


def checkpoint_bytes(model: torch.nn.Module) -> bytes:
    buffer = io.BytesIO()
    torch.save(model.state_dict(), buffer)
    return buffer.getvalue()


def save_checkpoint(model: torch.nn.Module, path: pathlib.Path) -> pathlib.Path:
    torch.save(model.state_dict(), path)
    return path


def rrdb(seed=0):
    from spandrel.architectures.ESRGAN import ESRGAN

    torch.manual_seed(seed)
    return ESRGAN(in_nc=3, out_nc=3, num_filters=16, num_blocks=2, scale=2).eval()


class ModelBackend:
    """What the command's runners offer TiledModel, around a torch module."""

    fixed_batch = None

    def __init__(self, model, scale):
        self.model, self.scale = model, scale

    def run(self, batch):
        with torch.no_grad():
            return self.model(batch)


def photo_like(height, width, seed=0):
    """Smooth colour gradients with grain: detail at every scale, as in photographs."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    base = np.stack([0.5 + 0.3 * np.sin(x / 17 + 1), 0.5 + 0.3 * np.cos(y / 11 + 2), 0.5 + 0.3 * np.sin((x + y) / 23)], 2)
    noise = 0.15 * np.random.default_rng(seed).standard_normal((height, width, 3))
    return np.clip(base + noise, 0, 1).astype(np.float32)


def tiled_and_whole(model, image, tile, overlap, scale=2):
    tiled = TiledModel(ModelBackend(model, scale), tile, overlap, 4, Reporter(quiet=True))([cp.asarray(image)]).get()
    with torch.no_grad():
        rgb = torch.from_numpy(image[..., ::-1].copy()).permute(2, 0, 1)[None]
        whole = model(rgb)[0].permute(1, 2, 0).numpy()[..., ::-1]
    return tiled.astype(np.float64), whole.astype(np.float64)


def seam_ratio(error, tile, overlap, scale=2):
    """Mean error within 4 output pixels of a tile's edge (inside the image) over the mean
    elsewhere; the tiles start every tile - overlap pixels, the last one flush with the image."""

    def near(n):
        extent, step = n // scale, tile - overlap
        count = 1 if extent <= tile else -(-(extent - overlap) // step)
        starts = [min(q * step, extent - tile) if extent >= tile else 0 for q in range(count)]
        edges = {e * scale for s in starts for e in (s, s + tile) if 0 < e * scale < n}
        return np.array([any(abs(i + 0.5 - e) < 4 for e in edges) for i in range(n)])

    seam = near(error.shape[0])[:, None] | near(error.shape[1])[None, :]
    return error[seam].mean() / error[~seam].mean()
