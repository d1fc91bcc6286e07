"""Every function of both modules, called as typed code calls them.

mypy --strict must accept `accepted()` as it is and flag each call of REJECTED, which the
`type: ignore` comments say (strict mode reports an ignore that is not needed). The suite also
runs `accepted()` and each call of REJECTED, which must raise TypeError.
"""

from collections import Counter
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import torch

from korva.rssp import tarvex
from korva.utils import display as d


def accepted() -> None:
    epoch: np.int64 = np.int64(3)
    total: int = 10
    loss: np.float32 = np.float32(0.25)
    score: float = 0.75
    d.epoch_bar(epoch, total, loss, val_loss=None, oa=score, miou=np.float64(0.5), aa=1, kappa=score,
                interval=np.int32(5), prefix="")  # fmt: skip
    d.epoch_bar(True, 4.5, 1)

    classes: list[int] = [1, 2]
    names: list[str] = ["grass", "water"]
    banner: str = d.node_banner("root", classes, np.int64(3), 40, 2, "focal", np.float64(2.0), 120, 30)
    banner += d.node_banner("root.L", names, 3, 40, 2, "ce", 0, 120, 30)
    banner += d.forest_banner(np.uint8(0), 2, 7, "root")
    done: str = d.forest_done_line(0, 2, np.float32(0.6), np.int64(12), 0.9, 0.8, 0.7, "1.0s")
    gpu: str = d.gpu_stats()

    settings: list[tuple[str, object]] = [("Epochs", 40), ("Learning rate", 0.01)]
    d.print_config_box("Training configuration", settings)
    d.print_config_box("Empty", [])
    metrics: dict[str, float] = {"OA": 0.9, "mIoU": 0.7}
    d.print_results_box(metrics, routing="all")
    d.print_results_box({"kappa": np.float64(0.8)})
    ious: dict[int, float] = {0: 0.9, 1: 0.4}
    counts: dict[int, int] = {0: 100, 1: 5}
    d.print_per_class_iou(ious, counts)
    d.print_per_class_iou({np.int64(2): np.float32(0.5)}, None)
    d.print_save_and_next("runs/a", "model.pt", "data.npy", "gt.npy", np.float32(0.1), 1)

    coloured: str = d._c(banner + done + gpu, d.BOLD, d.RED) + d.KORVA_LOGO
    assert coloured and d.BAR_WIDTH == 24
    d.print_logo()
    d.print_predict_start()
    d.print_visualize_start()
    d.print_training_start()
    d.print_training_done()

    router: tarvex.SSSRRouter = tarvex.SSSRRouter(np.int64(4))
    pixels: torch.Tensor = router(torch.zeros(3, 4))
    fingerprint_map: torch.Tensor = router.forward(torch.zeros(1, 4, 2, 2))
    assert pixels.shape == (3,) and fingerprint_map.shape == (1, 2, 2)
    node: dict[str, dict[str, list[int]]] = {"left": {"classes": [0]}, "right": {"classes": [1]}}
    labels: torch.Tensor = torch.tensor([[0, 1], [1, 0]])
    coords: npt.NDArray[np.intp] = np.argwhere(np.ones((2, 2), dtype=bool))
    fp_map: torch.Tensor = torch.randn(2, 2, 4)
    trained: tarvex.SSSRRouter | None = tarvex.train_router(node, labels, coords, coords, fp_map,
                                                            d_model=np.int64(4), epochs=2, lr=np.float32(0.01),
                                                            device="cpu")  # fmt: skip
    assert trained is None or not trained.training


# Calls that the runtime refuses: each line must be flagged by the stubs.
REJECTED: list[Callable[[], Any]] = [
    lambda: d.node_banner("n", (1, 2), 3, 40, 2, "ce", 2.0, 1, 1),  # type: ignore[arg-type]
    lambda: d.print_config_box("t", (("a", 1),)),  # type: ignore[arg-type]
    lambda: d.print_results_box([("OA", 0.9)]),  # type: ignore[arg-type]
    lambda: d.print_results_box({}, routing=1),  # type: ignore[arg-type]
    lambda: d.epoch_bar("3", 10, 0.5),  # type: ignore[arg-type]
    lambda: d.epoch_bar(3, 10, None),  # type: ignore[arg-type]
    lambda: d.epoch_bar(3, 10, 0.5, prefix=None),  # type: ignore[arg-type]
    lambda: d.forest_banner(0, 2, 7, None),  # type: ignore[arg-type]
    lambda: d.forest_done_line(0, 2, 0.5, 1, 0.5, 0.5, 0.5, 1.5),  # type: ignore[arg-type]
    lambda: d.print_per_class_iou(None),  # type: ignore[arg-type]
    lambda: d.print_save_and_next("a", "b", "c", "d", "0.1", 0.1),  # type: ignore[arg-type]
    lambda: d._c("text", 1),  # type: ignore[arg-type]
    lambda: tarvex.SSSRRouter("64"),  # type: ignore[arg-type]
    lambda: tarvex.train_router([], torch.zeros(1), np.zeros(1), np.zeros(1), torch.zeros(1)),  # type: ignore[arg-type]
    lambda: tarvex.train_router({}, torch.zeros(1), np.zeros(1), np.zeros(1), torch.zeros(1), device=0),  # type: ignore[arg-type]
]

# What the runtime refuses but the types cannot say: a dict subclass is a dict to a type checker.
UNFLAGGED: list[Callable[[], Any]] = [
    lambda: d.print_results_box(Counter({"OA": 1})),
]
