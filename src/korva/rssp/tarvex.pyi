import numpy as np
import torch as torch
from torch import nn as nn
from torch import optim as optim

class SSSRRouter(nn.Module):
    """Per-node routing head: maps an SSM fingerprint to p_left in (0, 1).

    Input: a fingerprint map (B, d_model, H, W) or a pixel batch (N, d_model).
    Output: the probability of routing toward the left child, (B, H, W) or (N,).
    """

    head: nn.Sequential
    def __init__(self, d_model: int = 64) -> None: ...
    def forward(self, fingerprints: torch.Tensor) -> torch.Tensor: ...

def train_router(
    node: dict,
    labels: torch.Tensor,
    train_coords: np.ndarray,
    val_coords: np.ndarray,
    fp_map: torch.Tensor,
    d_model: int = 64,
    epochs: int = 200,
    lr: float = 0.001,
    device: str = "cuda",
) -> SSSRRouter | None: ...
