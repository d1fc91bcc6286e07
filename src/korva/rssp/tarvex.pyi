from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

import numpy.typing as npt
import torch as torch
from torch import nn as nn
from torch import optim as optim

# As in korva.utils.display: int parameters take any object with __int__ or __index__, float
# parameters any object with __float__ or __index__; the node record must be exactly a dict.

class SSSRRouter(nn.Module):
    """Per-node routing head: maps an SSM fingerprint to p_left in (0, 1).

    Input: a fingerprint map (B, d_model, H, W) or a pixel batch (N, d_model).
    Output: the probability of routing toward the left child, (B, H, W) or (N,).
    """

    head: nn.Sequential
    def __init__(self, d_model: SupportsInt | SupportsIndex = 64) -> None: ...
    def forward(self, fingerprints: torch.Tensor) -> torch.Tensor: ...
    # Inherited from nn.Module, whose call runs the hooks and forward: written here with
    # forward's types, so that router(x) is a tensor to a type checker.
    def __call__(self, fingerprints: torch.Tensor) -> torch.Tensor: ...

def train_router(
    node: dict[Any, Any],
    labels: torch.Tensor,
    train_coords: npt.NDArray[Any],
    val_coords: npt.NDArray[Any],
    fp_map: torch.Tensor,
    d_model: SupportsInt | SupportsIndex = 64,
    epochs: SupportsInt | SupportsIndex = 200,
    lr: SupportsFloat | SupportsIndex = 0.001,
    device: str = "cuda",
) -> SSSRRouter | None: ...
