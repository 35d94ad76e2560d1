"""PyTorch super-resolution and face-restoration models, loaded through spandrel, on device images."""

import cupy as cp
import spandrel
import torch


class TorchUpscaler:
    """Runs a spandrel-recognised image-to-image PyTorch model on whole BGR (H, W, C) device images."""
    model: spandrel.ImageModelDescriptor
    device_id: int
    device: torch.device
    def __init__(self, model_path: str | None = None, model_bytes: bytes | None = None, device: str = 'cuda', trust_model: bool = False) -> None:
        """
        Loads a checkpoint, lets spandrel build the network, and moves it to device in inference mode.

        Args:
            model_path, model_bytes: the checkpoint (model_bytes wins over model_path): safetensors, or a pickle read with torch.load weights_only=True, so loading runs no code from the file.
            device: the torch device; device_id is the number after 'cuda:' (else 0).
            trust_model: True allows the full unpickling old checkpoints may need.
        """
    def pre_process(self, input_image: cp.ndarray) -> torch.Tensor:
        """(1, C, H, W) float32 RGB tensor on the model's device. Face models (purpose 'FaceSR') with a minimum size get the image resized to minimum x minimum first."""
    def post_process(self, output_tensor: torch.Tensor) -> cp.ndarray:
        """BGR (H, W, C) device image of a (1, C, H, W) RGB output tensor, values and element type unchanged."""
    def get(self, image: cp.ndarray | list[cp.ndarray]) -> cp.ndarray | list[cp.ndarray]:
        """The model's output for one BGR device image, or a new list of outputs for a list, in order."""
    def get_many(self, images: cp.ndarray | list[cp.ndarray]) -> cp.ndarray:
        """An (N, H, W, C) BGR batch, or a list of device images of one shape, through the network in one run: an (N, H', W', C') BGR device batch. Face models get their images resized as pre_process does."""
