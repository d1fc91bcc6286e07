"""korva/utils/display
All CLI visual candy: ASCII art, progress bars, styled prints.
"""

import subprocess as subprocess
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias

# What the functions convert: an int parameter takes any object with __int__ or __index__ (numpy
# integers among them), a float parameter any object with __float__ or __index__. A str, list or
# dict parameter takes exactly that type at run time; list and dict are written with Any elements,
# since they are invariant and the functions accept any elements.
_Int: TypeAlias = SupportsInt | SupportsIndex
_Float: TypeAlias = SupportsFloat | SupportsIndex

RESET: str
BOLD: str
DIM: str
CYAN: str
GREEN: str
YELLOW: str
BLUE: str
MAGENTA: str
RED: str
WHITE: str
GRAY: str

KORVA_LOGO: str
KORVA_PREDICT: str
KORVA_FLOWER: str
KORVA_TRAINING: str
KORVA_DONE: str

BAR_WIDTH: int

def _c(text: object, *codes: str) -> str: ...
def epoch_bar(
    epoch: _Int,
    total: _Int,
    loss: _Float,
    val_loss: _Float | None = None,
    oa: _Float | None = None,
    miou: _Float | None = None,
    aa: _Float | None = None,
    kappa: _Float | None = None,
    interval: _Int = 20,
    prefix: str = "  ",
) -> None: ...
def forest_banner(forest_idx: _Int, num_forests: _Int, seed: _Int, node_id: str) -> str: ...
def node_banner(
    node_id: str,
    node_classes: list[Any],
    num_classes: _Int,
    epochs: _Int,
    num_forests: _Int,
    loss_type: str,
    focal_gamma: _Float,
    train_pixels: _Int,
    val_pixels: _Int,
) -> str: ...
def gpu_stats() -> str: ...
def forest_done_line(
    forest_idx: _Int,
    num_forests: _Int,
    best_miou: _Float,
    best_epoch: _Int,
    best_oa: _Float,
    best_aa: _Float,
    best_kappa: _Float,
    elapsed: str,
) -> str: ...
def print_logo() -> None: ...
def print_predict_start() -> None: ...
def print_visualize_start() -> None: ...
def print_training_start() -> None: ...
def print_training_done() -> None: ...
def print_config_box(title: str, items: list[Any]) -> None: ...
def print_results_box(metrics: dict[Any, Any], routing: str | None = None) -> None: ...
def print_per_class_iou(class_ious: dict[Any, Any], pixel_counts: dict[Any, Any] | None = None) -> None: ...
def print_save_and_next(
    out_dir: str, save_file: str, data_path: str, gt_path: str, train_ratio: _Float, val_ratio: _Float
) -> None: ...
