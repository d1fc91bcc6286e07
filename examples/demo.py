"""A whole training run's console output, as the korva toolkit prints it.

The scene is synthetic: six classes with smooth spectral signatures over 48 bands, laid out
in blobs on a 48 x 48 image. Fingerprints are a fixed random projection of each pixel's
spectrum (standing in for the toolkit's frozen encoder), and every internal node of a small
RSSP tree gets a real router trained by korva.rssp.tarvex.train_router. Test pixels are
routed down the trees of a two-member ensemble, and the report shows the real scores.
"""

import os
import sys
import tempfile
import time

import numpy as np
import torch

from korva.rssp import tarvex
from korva.utils import display as d

H = W = 48
BANDS = 48
D_MODEL = 64
CLASSES = 6
EPOCHS = 40
ENSEMBLE = 2
NOISE = 1.3
# One tree: node id -> (left classes, right classes); leaves are the single classes.
TREE = {
    "root": ([0, 1, 2], [3, 4, 5]),
    "root.L": ([0], [1, 2]),
    "root.L.R": ([1], [2]),
    "root.R": ([3, 4], [5]),
    "root.R.L": ([3], [4]),
}
CHILD = {"root": ("root.L", "root.R"), "root.L": (0, "root.L.R"), "root.L.R": (1, 2),
         "root.R": ("root.R.L", 5), "root.R.L": (3, 4)}  # fmt: skip


def make_scene(rng):
    """Label map from class blobs, spectra from class signatures plus noise."""
    centres = rng.uniform(0, H, size=(18, 2))
    owners = np.arange(18) % CLASSES
    yy, xx = np.mgrid[0:H, 0:W]
    dist = (yy[..., None] - centres[:, 0]) ** 2 + (xx[..., None] - centres[:, 1]) ** 2
    labels = owners[dist.argmin(axis=-1)]
    bands = np.linspace(0, 1, BANDS)
    signatures = np.stack([np.sin(2 * np.pi * (bands * (1 + c / 3) + c / 7)) + c / 4 for c in range(CLASSES)])
    spectra = signatures[labels] + rng.normal(0, NOISE, size=(H, W, BANDS))
    projection = rng.normal(0, 1 / np.sqrt(BANDS), size=(BANDS, D_MODEL))
    fingerprints = np.tanh(spectra @ projection).astype(np.float32)
    return torch.from_numpy(labels), torch.from_numpy(fingerprints)


def split_coords(rng, labels):
    coords = np.argwhere(np.ones_like(labels.numpy(), dtype=bool))
    rng.shuffle(coords)
    n = len(coords)
    return coords[: n // 10], coords[n // 10 : n // 5], coords[n // 5 :]


def route(routers, fp_map, coords):
    """Sends each pixel down the tree; returns the predicted class per coordinate."""
    fp = fp_map[coords[:, 0], coords[:, 1]]
    with torch.no_grad():
        goes_left = {node_id: (router(fp) > 0.5).numpy() for node_id, router in routers.items()}
    pred = np.empty(len(coords), dtype=np.int64)
    for i in range(len(coords)):
        node = "root"
        while isinstance(node, str):
            left, right = CHILD[node]
            node = left if goes_left[node][i] else right
        pred[i] = node
    return pred


def scores(truth, pred):
    confusion = np.zeros((CLASSES, CLASSES), dtype=np.int64)
    np.add.at(confusion, (truth, pred), 1)
    tp = np.diag(confusion).astype(float)
    with np.errstate(invalid="ignore", divide="ignore"):
        iou = tp / (confusion.sum(0) + confusion.sum(1) - tp)
        recall = tp / confusion.sum(1)
        precision = tp / confusion.sum(0)
    total = confusion.sum()
    oa = tp.sum() / total
    expected = (confusion.sum(0) * confusion.sum(1)).sum() / total**2
    kappa = (oa - expected) / (1 - expected)
    dice = np.nanmean(2 * tp / (confusion.sum(0) + confusion.sum(1)))
    metrics = {"OA": oa, "mIoU": np.nanmean(iou), "AA": np.nanmean(recall), "kappa": kappa, "Dice": dice,
               "Precision": np.nanmean(precision), "Recall": np.nanmean(recall)}  # fmt: skip
    return {k: float(v) for k, v in metrics.items()}, iou


def main() -> None:
    rng = np.random.default_rng(7)
    torch.manual_seed(7)
    labels, fp_map = make_scene(rng)
    train, val, test = split_coords(rng, labels)
    out_dir = os.path.join(tempfile.gettempdir(), "korva demo")

    d.print_logo()
    d.print_training_start()
    d.print_config_box(
        "Training configuration",
        [("Data", "synthetic scene (48 x 48 x 48)"), ("Classes", CLASSES), ("Ensemble", ENSEMBLE),
         ("Epochs", EPOCHS), ("Learning rate", 0.001), ("Loss", "focal"), ("Train / val", "10% / 10%"),
         ("d_model", D_MODEL), ("Device", "cpu")],
    )  # fmt: skip

    ensemble = []
    for member in range(ENSEMBLE):
        start = time.perf_counter()
        torch.manual_seed(100 + member)
        print(d.forest_banner(member, ENSEMBLE, 100 + member, "root"))
        routers = {}
        for node_id, (left, right) in TREE.items():
            node = {"left": {"classes": left}, "right": {"classes": right}}
            node_classes = left + right
            in_node = np.isin(labels.numpy()[train[:, 0], train[:, 1]], node_classes)
            in_val = np.isin(labels.numpy()[val[:, 0], val[:, 1]], node_classes)
            print(d.node_banner(node_id, node_classes, len(node_classes) + 1, EPOCHS, ENSEMBLE, "focal", 2.0,
                                int(in_node.sum()), int(in_val.sum())))  # fmt: skip
            # The encoder's own training loop reports each epoch; here it is simulated.
            for epoch in range(1, EPOCHS + 1):
                loss = 0.9 * np.exp(-epoch / 12) + 0.05
                progress = epoch / EPOCHS
                d.epoch_bar(epoch, EPOCHS, loss, val_loss=loss * 1.1, oa=0.6 + 0.35 * progress,
                            miou=0.4 + 0.4 * progress, aa=0.5 + 0.4 * progress, kappa=0.5 + 0.4 * progress,
                            interval=10)  # fmt: skip
                time.sleep(0.01)
            routers[node_id] = tarvex.train_router(node, labels, train, val, fp_map, d_model=D_MODEL,
                                                   epochs=EPOCHS * 3, lr=0.01, device="cpu")  # fmt: skip
        ensemble.append(routers)
        pred = route(routers, fp_map, val)
        m, _ = scores(labels.numpy()[val[:, 0], val[:, 1]], pred)
        elapsed = f"{time.perf_counter() - start:.1f}s"
        print(d.forest_done_line(member, ENSEMBLE, m["mIoU"], EPOCHS, m["OA"], m["AA"], m["kappa"], elapsed))

    truth = labels.numpy()[test[:, 0], test[:, 1]]
    votes = np.stack([route(routers, fp_map, test) for routers in ensemble])
    pred = np.array([np.bincount(v, minlength=CLASSES).argmax() for v in votes.T])
    metrics, iou = scores(truth, pred)
    d.print_results_box(metrics, routing="all")
    counts = np.bincount(labels.numpy()[train[:, 0], train[:, 1]], minlength=CLASSES)
    d.print_per_class_iou({c: float(iou[c]) for c in range(CLASSES)}, {c: int(counts[c]) for c in range(CLASSES)})
    d.print_training_done()
    d.print_save_and_next(out_dir, "model.pt", "data/scene.npy", "data/scene_gt.npy", 0.1, 0.1)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
