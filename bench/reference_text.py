"""Plain-Python transcription of the colour function, the progress bar, the banners and
the GPU line of korva.utils.display, with representative calls for bench/display.py.

Same texts, byte for byte, as the native functions; argument checking is left out.
"""

import subprocess

RESET = "\033[0m"
BOLD = "\033[1m"
DIM = "\033[2m"
CYAN = "\033[96m"
GREEN = "\033[92m"
YELLOW = "\033[93m"
BLUE = "\033[94m"
MAGENTA = "\033[95m"
RED = "\033[91m"
WHITE = "\033[97m"
GRAY = "\033[90m"

BAR_WIDTH = 24


def _c(text, *codes):
    return "".join(codes) + str(text) + RESET


def gpu_stats():
    """Get real GPU stats (temp, utilization, VRAM) via nvidia-smi."""
    try:
        out = subprocess.check_output(
            [
                "nvidia-smi",
                "--query-gpu=temperature.gpu,utilization.gpu,memory.used,memory.total",
                "--format=csv,noheader,nounits",
            ],
            stderr=subprocess.DEVNULL,
            timeout=5,
        )
        temp, util, used, total = [x.strip() for x in out.decode().strip().split(",")]
        return f"GPU {temp}°C | {used} / {total} MB | {util}% util"
    except Exception:
        return ""


def epoch_bar(epoch, total, loss, val_loss=None, oa=None, miou=None, aa=None, kappa=None, interval=20, prefix="  "):
    pct = epoch / total
    filled = int(BAR_WIDTH * pct)
    bar = "█" * filled + "░" * (BAR_WIDTH - filled)
    pct_int = int(pct * 100)
    bar_col = GREEN if pct >= 0.5 else YELLOW
    bar_str = _c(bar, bar_col)
    parts = [
        f"{prefix}{BOLD}Epoch {epoch:3d}/{total}{RESET}",
        f"{bar_str} {_c(f'{pct_int:3d}%', GRAY)}",
        f"Loss {_c(f'{loss:.4f}', CYAN)}",
    ]
    at_boundary = (epoch % interval == 0) or (epoch == total)
    if at_boundary:
        if oa is not None:
            col = GREEN if oa >= 0.9 else YELLOW if oa >= 0.7 else RED
            parts.append(f"OA {_c(f'{oa:.4f}', col)}")
        if miou is not None:
            col = GREEN if miou >= 0.9 else YELLOW if miou >= 0.7 else RED
            parts.append(f"mIoU {_c(f'{miou:.4f}', col)}")
        if kappa is not None:
            col = GREEN if kappa >= 0.9 else YELLOW if kappa >= 0.7 else RED
            parts.append(f"κ {_c(f'{kappa:.4f}', col)}")
    line = " | ".join(parts)
    if at_boundary:
        print(f"\r{line}")
    else:
        print(f"\r{line}", end="", flush=True)


def forest_banner(forest_idx, num_forests, seed, node_id):
    return f"\n  {BOLD}{CYAN}── Ensemble {forest_idx + 1}/{num_forests}{RESET}  seed={seed}  node='{node_id}'"


def node_banner(node_id, node_classes, num_classes, epochs, num_forests, loss_type, focal_gamma, train_pixels,
                val_pixels):
    loss_str = loss_type
    if "focal" in loss_type:
        loss_str += f" γ={focal_gamma}"
    rule = f"{BOLD}{MAGENTA}{'═' * 60}{RESET}"
    lines = [
        "",
        rule,
        f"  {BOLD}Node{RESET} {CYAN}'{node_id}'{RESET}",
        f"  Classes       : {node_classes}",
        f"  Local classes : {num_classes - 1}   Epochs: {epochs}   Ensembles: {num_forests}   Loss: {loss_str}",
        f"  Train pixels  : {train_pixels}   Val pixels: {val_pixels}",
        rule,
    ]
    return "\n".join(lines)


def forest_done_line(forest_idx, num_forests, best_miou, best_epoch, best_oa, best_aa, best_kappa, elapsed):
    miou_col = GREEN if best_miou >= 0.65 else YELLOW if best_miou >= 0.45 else RED
    oa_col = GREEN if best_oa >= 0.9 else YELLOW if best_oa >= 0.7 else RED
    aa_col = GREEN if best_aa >= 0.9 else YELLOW if best_aa >= 0.7 else RED
    k_col = GREEN if best_kappa >= 0.85 else YELLOW if best_kappa >= 0.65 else RED
    gpu = gpu_stats()
    hw_line = f"    {GRAY}{elapsed} elapsed{f' | {gpu}' if gpu else ''}{RESET}"
    return (
        f"  {GREEN}✓{RESET} Ensemble {forest_idx + 1}/{num_forests}"
        f" done  Best @ epoch {BOLD}{best_epoch}{RESET}"
        f"  mIoU {_c(f'{best_miou:.4f}', miou_col)}"
        f"  OA {_c(f'{best_oa:.4f}', oa_col)}"
        f"  AA {_c(f'{best_aa:.4f}', aa_col)}"
        f"  κ {_c(f'{best_kappa:.4f}', k_col)}"
        f"\n{hw_line}"
    )


class _InstantSubprocess:
    """Stands in for the subprocess module: the tool's answer comes back at once, so the
    benchmark measures the parsing and formatting rather than a process start."""

    DEVNULL = subprocess.DEVNULL

    @staticmethod
    def check_output(args, stderr=None, timeout=None):
        return b"45, 30, 1024, 8192\n"


# Module globals that bench/display.py binds in this module and in the native one while
# these cases run.
PATCHES = {"subprocess": _InstantSubprocess()}

CASES = [
    ("_c", ("0.9123", GREEN), {}),
    ("_c", ("x",), {}),
    ("_c", (5, RED, BOLD), {}),
    ("epoch_bar", (5, 100, 0.123456), {}),
    ("epoch_bar", (37, 200, 1.5, 1.4, 0.93, 0.71, 0.8, 0.66), {}),
    ("epoch_bar", (20, 100, 0.05), {"oa": 0.912, "miou": 0.68, "kappa": 0.885}),
    ("forest_banner", (0, 3, 42, "root"), {}),
    ("forest_banner", (4, 10, 123456789, "root/left/right"), {}),
    ("node_banner", ("root", [0, 1, 2, 3, 4, 5, 6, 7, 8], 9, 100, 3, "focal", 2.0, 123456, 23456), {}),
    ("node_banner", ("root/left", [3, 7, 11], 3, 60, 5, "bce", 0.0, 2048, 512), {}),
    ("gpu_stats", (), {}),
    ("forest_done_line", (0, 3, 0.7123, 87, 0.9345, 0.8012, 0.64, "1m 02s"), {}),
]
