"""The results box, configuration box, per-class IoU table and save confirmation in plain Python.

Same behaviour and the same bytes as the native functions of korva.utils.display (a NaN or
infinite score draws an empty bar; the suggested commands quote their paths for the shell),
so that the benchmark can time the two against each other and the tests can compare them.
"""

import math
import shlex

RESET = "\x1b[0m"
BOLD = "\x1b[1m"
DIM = "\x1b[2m"
CYAN = "\x1b[96m"
GREEN = "\x1b[92m"
YELLOW = "\x1b[93m"
BLUE = "\x1b[94m"
MAGENTA = "\x1b[95m"
RED = "\x1b[91m"
WHITE = "\x1b[97m"
GRAY = "\x1b[90m"


def _c(text, *codes):
    return "".join(codes) + (text if type(text) is str else str(text)) + RESET


def _argument_type(name, expected, value):
    extra = ". Subclasses of built-in types are not accepted." if isinstance(value, expected) else ""
    return TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__}){extra}"
    )


def _require(name, expected, value, none_ok=False):
    if type(value) is not expected and not (none_ok and value is None):
        raise _argument_type(name, expected, value)


def _number(value):
    if type(value) is float:
        return value
    if not (hasattr(type(value), "__float__") or hasattr(type(value), "__index__")):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)


def _non_finite(value):
    """Whether a number-like value is NaN or infinite."""
    if not hasattr(type(value), "__float__"):
        return False
    try:
        return not math.isfinite(float(value))
    except Exception:
        return False


def _bar_cells(value):
    """int(value * 20); a NaN or infinite score has no cells."""
    try:
        return int(value * 20)
    except (ValueError, OverflowError):
        if not _non_finite(value):
            raise
        return 0


def print_results_box(metrics: "dict", routing: "str" = None):
    """
    Print a styled results box.
    metrics: dict with keys like 'OA', 'mIoU', 'Dice', 'Precision', 'Recall', 'AA', 'kappa'
    """
    _require("metrics", dict, metrics)
    _require("routing", str, routing, none_ok=True)
    title = f"Test Results [{routing}]" if routing else "Test Results"
    w = 42
    print(f"\n{BOLD}{GREEN}{'─' * w}{RESET}")
    print(f"{BOLD}{GREEN}  {title}{RESET}")
    print(f"{BOLD}{GREEN}{'─' * w}{RESET}")

    colour_rules = {
        "OA": lambda v: GREEN if v >= 0.90 else (YELLOW if v >= 0.75 else RED),
        "mIoU": lambda v: GREEN if v >= 0.65 else (YELLOW if v >= 0.45 else RED),
        "AA": lambda v: GREEN if v >= 0.65 else (YELLOW if v >= 0.45 else RED),
        "kappa": lambda v: GREEN if v >= 0.85 else (YELLOW if v >= 0.65 else RED),
        "Dice": lambda v: GREEN if v >= 0.70 else YELLOW,
        "Precision": lambda v: GREEN if v >= 0.70 else YELLOW,
        "Recall": lambda v: GREEN if v >= 0.70 else YELLOW,
    }
    for key, val in metrics.items():
        col = colour_rules.get(key, lambda v: WHITE)(val)
        bar_len = _bar_cells(val)
        bar = "█" * bar_len + "░" * (20 - bar_len)
        print(f"  {key:<12} {_c(f'{val:.4f}', col, BOLD)}  {_c(bar, col)}")
    print(f"{BOLD}{GREEN}{'─' * w}{RESET}\n")


def _unpack_pair(item):
    """label, value = item, with these words for a wrong number of values."""
    if type(item) is tuple or type(item) is list:
        n = len(item)
        if n > 2:
            raise ValueError("too many values to unpack (expected 2)")
        if n < 2:
            raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")
        return item[0], item[1]
    it = iter(item)
    got = []
    for _ in range(2):
        try:
            got.append(next(it))
        except StopIteration:
            n = len(got)
            raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack") from None
    try:
        next(it)
    except StopIteration:
        return got[0], got[1]
    raise ValueError("too many values to unpack (expected 2)")


def print_config_box(title: "str", items: "list[tuple[str, str]]"):
    """
    Print a styled ═══ config box.
    items: list of (label, value) tuples.
    """
    _require("title", str, title)
    _require("items", list, items)
    W = 60
    print(f"\n{BOLD}{'═' * W}{RESET}")
    print(f"  {BOLD}{CYAN}{title}{RESET}")
    for item in items:
        label, value = _unpack_pair(item)
        print(f"  {label:<14}: {value}")
    print(f"{BOLD}{'═' * W}{RESET}")


def print_per_class_iou(class_ious: "dict", pixel_counts: "dict" = None):
    """
    Print per-class IoU with colour coding.
    If pixel_counts is provided (dict {class_id: int}), show pixel counts and
    flag classes with fewer than 20 pixels.

    IoU colour thresholds: green ≥ 0.8, yellow ≥ 0.5, red < 0.5
    """
    _require("class_ious", dict, class_ious)
    _require("pixel_counts", dict, pixel_counts, none_ok=True)
    print(f"\n{BOLD}  Per-class IoU:{RESET}")
    for c, iou in class_ious.items():
        col = GREEN if iou >= 0.8 else (YELLOW if iou >= 0.5 else RED)
        bar = "█" * _bar_cells(iou)
        if pixel_counts is not None:
            px = pixel_counts.get(c, 0)
            warning = f"  {YELLOW}⚠ few pixels{RESET}" if px < 20 else ""
            pad = " " * (20 - len(bar))
            print(f"  Class {c:2d}  {_c(f'{iou:.4f}', col)}  {_c(bar, col)}{pad}  {GRAY}({px:>5d} px){RESET}{warning}")
        else:
            print(f"  Class {c:2d}  {_c(f'{iou:.4f}', col)}  {_c(bar, col)}")
    print()


def print_save_and_next(
    out_dir: "str", save_file: "str", data_path: "str", gt_path: "str", train_ratio: "float", val_ratio: "float"
):
    """Print save confirmation and suggest next commands."""
    _number(train_ratio)
    _number(val_ratio)
    for name, value in (("out_dir", out_dir), ("save_file", save_file), ("data_path", data_path), ("gt_path", gt_path)):
        _require(name, str, value)
    model_path = out_dir + "/" + save_file
    data, gt, model, out = shlex.quote(data_path), shlex.quote(gt_path), shlex.quote(model_path), shlex.quote(out_dir)
    print(f"\n{GREEN}{BOLD}  Saved →{RESET} {model_path}")
    print(f"\n{BOLD}{CYAN}  What's next?{RESET}")
    print(f"\n{GRAY}  # Evaluate all routing modes:{RESET}")
    print("  korva predict \\")
    print(f"    --data  {data} \\")
    print(f"    --gt    {gt} \\")
    print(f"    --model {model} \\")
    print(f"    --routing all --out-dir {out}")
    print(f"\n{GRAY}  # Visualize predictions:{RESET}")
    print("  korva visualize \\")
    print(f"    --data  {data} \\")
    print(f"    --gt    {gt} \\")
    print(f"    --model {model} \\")
    print(f"    --out-dir {out}\n")


_METRICS = {"OA": 0.9234, "mIoU": 0.6512, "AA": 0.7012, "kappa": 0.8123, "Dice": 0.7755, "Precision": 0.6821, "Recall": 0.8012}
_CONFIG = [
    ("Dataset", "IndianPines"),
    ("Classes", 16),
    ("Train ratio", 0.1),
    ("Val ratio", 0.05),
    ("Epochs", 200),
    ("Batch size", 256),
    ("Learning rate", 0.001),
    ("d_model", 64),
    ("Forests", 5),
    ("Loss", "focal"),
]
_IOUS = {c: (0.31 + 0.043 * c) % 1.0 for c in range(1, 17)}
_COUNTS = {c: 15 + 97 * c for c in range(1, 17)}

#: Representative calls for the benchmark: (function name, positional arguments, keyword arguments).
CASES = [
    ("print_results_box", (_METRICS,), {"routing": "all"}),
    ("print_config_box", ("Training configuration", _CONFIG), {}),
    ("print_per_class_iou", (_IOUS,), {}),
    ("print_per_class_iou", (_IOUS, _COUNTS), {}),
    ("print_save_and_next", ("runs/indian_pines", "model.pt", "data/Indian_pines_corrected.mat", "data/Indian_pines_gt.mat", 0.1, 0.05), {}),
]
