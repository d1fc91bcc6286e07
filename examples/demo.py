"""A whole training run's console output, as the korva toolkit prints it, every number computed in the run.

The scene is synthetic: six classes with smooth spectral signatures over 48 bands, laid out in blobs
on a 64 x 64 image. Fingerprints are a fixed random projection of each pixel's spectrum, standing in
for the toolkit's frozen encoder. Each member of a two-tree ensemble draws its own 80% of the
training pixels; at every internal node of its tree it trains a small per-pixel classifier over the
node's classes (focal loss, each epoch reported with its validation scores) and then the node's
router with korva.rssp.tarvex.train_router. A member's closing line shows the best validation epoch
of its root classifier, which sees every class. Test pixels are routed down both trees, the members
vote, and the report shows the scores of that vote.

The trained routers (model.pt), the run's figures (metrics.json), the scene (scene.npy and
scene_gt.npy) and a picture of the segmentation (segmentation.png: the ground truth, the ensemble's
vote for every pixel and where the two differ, drawn with Pillow) are saved in the output folder,
build/demo or the folder given on the command line:

    python examples/demo.py [OUT_DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

from korva.rssp import tarvex
from korva.utils import display as d

Labels = npt.NDArray[np.int64]
Coords = npt.NDArray[np.intp]

H = W = 64
BANDS = 48
D_MODEL = 64
CLASSES = 6
NOISE = 1.6
SEED = 7
ENSEMBLE = 2
MEMBER_SHARE = 0.8  # of the training pixels, drawn anew for each member
NODE_EPOCHS = 30
NODE_LR = 0.01
NODE_HIDDEN = 32
FOCAL_GAMMA = 2.0
VAL_INTERVAL = 10
ROUTER_EPOCHS = 120
ROUTER_LR = 0.01
TRAIN_RATIO = VAL_RATIO = 0.1
# One tree: node id -> (left classes, right classes); leaves are single classes.
TREE: dict[str, tuple[list[int], list[int]]] = {
    "root": ([0, 1, 2], [3, 4, 5]),
    "root.L": ([0], [1, 2]),
    "root.L.R": ([1], [2]),
    "root.R": ([3, 4], [5]),
    "root.R.L": ([3], [4]),
}
# The picture: each scene pixel drawn as a square of PICTURE_SCALE screen pixels, one colour a class.
PICTURE_SCALE = 4
PICTURE_MARGIN = 16
PICTURE_TITLE = 24  # height of the row of panel titles
CLASS_COLOURS = [(230, 25, 75), (60, 180, 75), (255, 225, 25), (0, 130, 200), (245, 130, 48), (145, 30, 180)]
SAME_COLOUR, DIFFERS_COLOUR = (225, 225, 225), (20, 20, 20)
CHILDREN: dict[str, tuple[str | int, str | int]] = {
    "root": ("root.L", "root.R"), "root.L": (0, "root.L.R"), "root.L.R": (1, 2),
    "root.R": ("root.R.L", 5), "root.R.L": (3, 4),
}  # fmt: skip


def make_scene(rng: np.random.Generator) -> tuple[Labels, npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Label map from class blobs, spectra from class signatures plus noise, fingerprints from the spectra."""
    centres = rng.uniform(0, H, size=(24, 2))
    owners = np.arange(24) % CLASSES
    yy, xx = np.mgrid[0:H, 0:W]
    dist = (yy[..., None] - centres[:, 0]) ** 2 + (xx[..., None] - centres[:, 1]) ** 2
    labels = owners[dist.argmin(axis=-1)].astype(np.int64)
    bands = np.linspace(0, 1, BANDS)
    signatures = np.stack([np.sin(2 * np.pi * (bands * (1 + c / 3) + c / 7)) + c / 4 for c in range(CLASSES)])
    spectra = (signatures[labels] + rng.normal(0, NOISE, size=(H, W, BANDS))).astype(np.float32)
    projection = rng.normal(0, 1 / np.sqrt(BANDS), size=(BANDS, D_MODEL))
    fingerprints = np.tanh(spectra @ projection).astype(np.float32)
    return labels, spectra, fingerprints


def split_coords(rng: np.random.Generator) -> tuple[Coords, Coords, Coords]:
    coords = np.argwhere(np.ones((H, W), dtype=bool))
    rng.shuffle(coords)
    n_train, n_val = int(len(coords) * TRAIN_RATIO), int(len(coords) * VAL_RATIO)
    return coords[:n_train], coords[n_train : n_train + n_val], coords[n_train + n_val :]


class Scene:
    """The run's scene and its pixel splits, the same for every run."""

    def __init__(self) -> None:
        rng = np.random.default_rng(SEED)
        self.labels, self.spectra, fingerprints = make_scene(rng)
        self.fp_map = torch.from_numpy(fingerprints)
        self.train, self.val, self.test = split_coords(rng)


def scores(truth: Labels, pred: Labels, classes: int) -> tuple[dict[str, float], npt.NDArray[np.float64]]:
    """The toolkit's metrics from the confusion matrix, and the IoU of each class (NaN where it is absent)."""
    confusion = np.zeros((classes, classes), dtype=np.int64)
    np.add.at(confusion, (truth, pred), 1)
    tp = np.diag(confusion).astype(np.float64)
    predicted, actual = confusion.sum(0), confusion.sum(1)
    with np.errstate(invalid="ignore", divide="ignore"):
        iou = tp / (predicted + actual - tp)
        recall = tp / actual
        precision = tp / predicted
        dice = 2 * tp / (predicted + actual)
    total = confusion.sum()
    oa = tp.sum() / total
    expected = (predicted * actual).sum() / total**2
    kappa = (oa - expected) / (1 - expected) if expected < 1 else 1.0
    metrics = {"OA": oa, "mIoU": np.nanmean(iou), "AA": np.nanmean(recall), "kappa": kappa,
               "Dice": np.nanmean(dice), "Precision": np.nanmean(precision), "Recall": np.nanmean(recall)}  # fmt: skip
    return {k: float(v) for k, v in metrics.items()}, iou


def focal_loss(logits: torch.Tensor, target: torch.Tensor) -> torch.Tensor:
    ce = nn.functional.cross_entropy(logits, target, reduction="none")
    return ((1 - torch.exp(-ce)) ** FOCAL_GAMMA * ce).mean()


def train_node_classifier(classes: list[int], labels: Labels, fp_map: torch.Tensor, train: Coords,
                          val: Coords) -> dict[str, Any]:  # fmt: skip
    """Trains a per-pixel classifier over the node's classes, reporting each epoch; returns its history."""
    local = {c: i for i, c in enumerate(classes)}

    def pixels(coords: Coords) -> tuple[torch.Tensor, torch.Tensor]:
        kept = coords[np.isin(labels[coords[:, 0], coords[:, 1]], classes)]
        targets = [local[int(c)] for c in labels[kept[:, 0], kept[:, 1]]]
        return fp_map[kept[:, 0], kept[:, 1]], torch.tensor(targets, dtype=torch.int64)

    train_fp, train_y = pixels(train)
    val_fp, val_y = pixels(val)
    model = nn.Sequential(nn.Linear(D_MODEL, NODE_HIDDEN), nn.ReLU(), nn.Linear(NODE_HIDDEN, len(classes)))
    optimizer = torch.optim.Adam(model.parameters(), lr=NODE_LR)
    history: list[dict[str, float]] = []
    best: dict[str, float] = {"mIoU": -1.0}
    for epoch in range(1, NODE_EPOCHS + 1):
        model.train()
        loss = focal_loss(model(train_fp), train_y)
        optimizer.zero_grad()
        loss.backward()  # type: ignore[no-untyped-call]  # torch leaves Tensor.backward untyped
        optimizer.step()
        if epoch % VAL_INTERVAL and epoch != NODE_EPOCHS:
            d.epoch_bar(epoch, NODE_EPOCHS, loss.item(), interval=VAL_INTERVAL)
            continue
        model.eval()
        with torch.no_grad():
            val_logits = model(val_fp)
            val_loss = focal_loss(val_logits, val_y).item()
        m, _ = scores(val_y.numpy(), val_logits.argmax(1).numpy(), len(classes))
        d.epoch_bar(epoch, NODE_EPOCHS, loss.item(), val_loss=val_loss, oa=m["OA"], miou=m["mIoU"], aa=m["AA"],
                    kappa=m["kappa"], interval=VAL_INTERVAL)  # fmt: skip
        record = {"epoch": epoch, "loss": loss.item(), "val_loss": val_loss, **m}
        history.append(record)
        if m["mIoU"] > best["mIoU"]:
            best = record
    return {"train_pixels": len(train_y), "val_pixels": len(val_y), "history": history, "best": best}


def route(routers: dict[str, tarvex.SSSRRouter], fp_map: torch.Tensor, coords: Coords) -> Labels:
    """Sends each pixel down the tree by its routers; returns the class of the leaf it reaches."""
    fp = fp_map[coords[:, 0], coords[:, 1]]
    with torch.no_grad():
        goes_left = {node_id: (router(fp) > 0.5).numpy() for node_id, router in routers.items()}
    pred = np.empty(len(coords), dtype=np.int64)
    for i in range(len(coords)):
        node: str | int = "root"
        while isinstance(node, str):
            left, right = CHILDREN[node]
            node = left if goes_left[node][i] else right
        pred[i] = node
    return pred


def ensemble_vote(ensemble: list[dict[str, tarvex.SSSRRouter]], fp_map: torch.Tensor, coords: Coords) -> Labels:
    """The class most members route each pixel to (the lower class on a tie)."""
    votes = np.stack([route(routers, fp_map, coords) for routers in ensemble])
    return np.array([np.bincount(v, minlength=CLASSES).argmax() for v in votes.T], dtype=np.int64)


def draw_segmentation(path: Path, truth: Labels, pred: Labels) -> None:
    """Saves the ground truth, the prediction and where they differ side by side, with a legend."""
    from PIL import Image, ImageDraw, ImageFont

    palette = np.array(CLASS_COLOURS, dtype=np.uint8)
    differs = truth != pred
    difference = np.where(differs[..., None], np.array(DIFFERS_COLOUR, dtype=np.uint8),
                          np.array(SAME_COLOUR, dtype=np.uint8))  # fmt: skip
    panels = [("Ground truth", palette[truth]), ("Ensemble vote, every pixel", palette[pred]),
              (f"Differs: {int(differs.sum())} of {differs.size} px", difference)]  # fmt: skip
    height, width = truth.shape[0] * PICTURE_SCALE, truth.shape[1] * PICTURE_SCALE
    font = ImageFont.load_default(size=14)
    legend_top = PICTURE_MARGIN + PICTURE_TITLE + height + PICTURE_MARGIN
    size = (PICTURE_MARGIN + len(panels) * (width + PICTURE_MARGIN), legend_top + 16 + PICTURE_MARGIN)
    image = Image.new("RGB", size, "white")
    draw = ImageDraw.Draw(image)
    for i, (title, rgb) in enumerate(panels):
        left = PICTURE_MARGIN + i * (width + PICTURE_MARGIN)
        draw.text((left, PICTURE_MARGIN), title, fill="black", font=font)
        cells = np.repeat(np.repeat(rgb, PICTURE_SCALE, axis=0), PICTURE_SCALE, axis=1)
        image.paste(Image.fromarray(cells), (left, PICTURE_MARGIN + PICTURE_TITLE))
    left = PICTURE_MARGIN
    legend = [(f"class {c}", CLASS_COLOURS[c]) for c in range(CLASSES)] + [("same", SAME_COLOUR),
                                                                          ("differs", DIFFERS_COLOUR)]  # fmt: skip
    for text, colour in legend:
        draw.rectangle((left, legend_top, left + 15, legend_top + 15), fill=colour, outline="black")
        draw.text((left + 21, legend_top), text, fill="black", font=font)
        left += 21 + int(draw.textlength(text, font=font)) + 18
    image.save(path)


def shown_path(path: Path) -> str:
    """The path as a user would type it from here."""
    relative = os.path.relpath(path)
    return path.as_posix() if relative.startswith("..") else Path(relative).as_posix()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    default_dir = Path(__file__).resolve().parent.parent / "build" / "demo"
    parser.add_argument("out_dir", nargs="?", type=Path, default=default_dir,
                        help="folder for the saved routers, figures and scene (default: build/demo)")  # fmt: skip
    out_dir: Path = parser.parse_args().out_dir
    out_dir.mkdir(parents=True, exist_ok=True)
    out_text = shown_path(out_dir)

    # Tensors this small train fastest on one thread, which a busy machine cannot oversubscribe.
    torch.set_num_threads(1)
    scene = Scene()
    labels, fp_map, train, val, test = scene.labels, scene.fp_map, scene.train, scene.val, scene.test
    labels_t = torch.from_numpy(labels)

    d.print_logo()
    d.print_training_start()
    d.print_config_box(
        "Training configuration",
        [("Data", f"synthetic scene, {H} x {W} px, {BANDS} bands"), ("Classes", CLASSES), ("Ensemble", ENSEMBLE),
         ("Member pixels", f"{MEMBER_SHARE:.0%} of train"),
         ("Node model", f"MLP {D_MODEL}-{NODE_HIDDEN}-k, Adam"), ("Node epochs", NODE_EPOCHS), ("Node lr", NODE_LR),
         ("Node loss", f"focal γ={FOCAL_GAMMA}"), ("Router epochs", ROUTER_EPOCHS), ("Router lr", ROUTER_LR),
         ("Router loss", "class-balanced BCE"),
         ("Train/val/test", f"{len(train)} / {len(val)} / {len(test)} px"), ("d_model", D_MODEL),
         ("Device", f"cpu, {torch.get_num_threads()} thread"), ("Seed", SEED), ("Output", out_text)],
    )  # fmt: skip

    members: list[dict[str, Any]] = []
    ensemble: list[dict[str, tarvex.SSSRRouter]] = []
    for member in range(ENSEMBLE):
        start = time.perf_counter()
        seed = SEED * 100 + member
        member_rng = np.random.default_rng(seed)
        torch.manual_seed(seed)
        member_train = train[np.sort(member_rng.choice(len(train), int(len(train) * MEMBER_SHARE), replace=False))]
        print(d.forest_banner(member, ENSEMBLE, seed, "root"))
        routers: dict[str, tarvex.SSSRRouter] = {}
        nodes: dict[str, dict[str, Any]] = {}
        for node_id, (left, right) in TREE.items():
            classes = left + right
            in_train = int(np.isin(labels[member_train[:, 0], member_train[:, 1]], classes).sum())
            in_val = int(np.isin(labels[val[:, 0], val[:, 1]], classes).sum())
            # The banner counts a background class besides the node's own, which this scene has none of.
            print(d.node_banner(node_id, classes, len(classes) + 1, NODE_EPOCHS, ENSEMBLE, "focal", FOCAL_GAMMA,
                                in_train, in_val))  # fmt: skip
            nodes[node_id] = train_node_classifier(classes, labels, fp_map, member_train, val)
            node = {"left": {"classes": left}, "right": {"classes": right}}
            router = tarvex.train_router(node, labels_t, member_train, val, fp_map, d_model=D_MODEL,
                                         epochs=ROUTER_EPOCHS, lr=ROUTER_LR, device="cpu")  # fmt: skip
            if router is None:
                raise SystemExit(f"node {node_id}: too few training pixels for a router")
            routers[node_id] = router
        ensemble.append(routers)
        best = nodes["root"]["best"]
        elapsed = time.perf_counter() - start
        print(d.forest_done_line(member, ENSEMBLE, best["mIoU"], int(best["epoch"]), best["OA"], best["AA"],
                                 best["kappa"], f"{elapsed:.1f}s"))  # fmt: skip
        members.append({"seed": seed, "train_pixels": len(member_train), "elapsed_s": elapsed, "best": best,
                        "nodes": nodes})  # fmt: skip

    truth = labels[test[:, 0], test[:, 1]]
    metrics, iou = scores(truth, ensemble_vote(ensemble, fp_map, test), CLASSES)
    d.print_results_box(metrics, routing="hard")
    counts = np.bincount(truth, minlength=CLASSES)
    class_ious = {c: float(iou[c]) for c in range(CLASSES)}
    pixel_counts = {c: int(counts[c]) for c in range(CLASSES)}
    d.print_per_class_iou(class_ious, pixel_counts)

    torch.save({"tree": TREE, "d_model": D_MODEL,
                "members": [{"seed": m["seed"], "routers": {k: r.state_dict() for k, r in routers.items()}}
                            for m, routers in zip(members, ensemble)]},
               out_dir / "model.pt")  # fmt: skip
    report = {"settings": {"height": H, "width": W, "bands": BANDS, "classes": CLASSES, "ensemble": ENSEMBLE,
                           "member_share": MEMBER_SHARE, "node_epochs": NODE_EPOCHS, "node_lr": NODE_LR,
                           "focal_gamma": FOCAL_GAMMA, "val_interval": VAL_INTERVAL, "router_epochs": ROUTER_EPOCHS,
                           "router_lr": ROUTER_LR, "d_model": D_MODEL, "seed": SEED,
                           "pixels": {"train": len(train), "val": len(val), "test": len(test)}},
              "members": members, "test": metrics, "per_class_iou": class_ious, "test_pixels": pixel_counts}  # fmt: skip
    (out_dir / "metrics.json").write_text(json.dumps(report, indent=1) + "\n")
    np.save(out_dir / "scene.npy", scene.spectra)
    np.save(out_dir / "scene_gt.npy", labels)
    # Last, so that a failure to draw leaves every other file saved.
    every_pixel = np.argwhere(np.ones((H, W), dtype=bool))
    try:
        draw_segmentation(out_dir / "segmentation.png", labels,
                          ensemble_vote(ensemble, fp_map, every_pixel).reshape(H, W))  # fmt: skip
        picture = f"Segmentation picture saved → {out_text}/segmentation.png"
    except Exception as e:
        picture = f"Segmentation picture not drawn ({type(e).__name__}: {e}); the other files are saved"

    d.print_training_done()
    d.print_save_and_next(out_text, "model.pt", f"{out_text}/scene.npy", f"{out_text}/scene_gt.npy", TRAIN_RATIO,
                          VAL_RATIO)  # fmt: skip
    print(f"  {picture}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
