"""The routing head and its training written step by step in plain Python.

The native module must match this bit for bit under the same torch.manual_seed: the same
layers built in the same order, the same tensor calls in the same order. The benchmark
times it against the native module.
"""

import numpy as np
import torch
import torch.nn as nn


class ReferenceRouter(nn.Module):
    def __init__(self, d_model=64):
        super().__init__()
        self.head = nn.Sequential(nn.Linear(d_model, 32), nn.ReLU(inplace=True), nn.Linear(32, 1))

    def forward(self, fingerprints):
        if fingerprints.dim() == 4:
            B, D, H, W = fingerprints.shape
            x = fingerprints.permute(0, 2, 3, 1).reshape(-1, D)
            return torch.sigmoid(self.head(x)).reshape(B, H, W)
        return torch.sigmoid(self.head(fingerprints)).squeeze(-1)


def reference_train_router(node, labels, train_coords, val_coords, fp_map, d_model=64, epochs=200, lr=0.001,
                           device="cuda", router_class=ReferenceRouter, print=print):
    left_classes = set(node["left"]["classes"])
    right_classes = set(node["right"]["classes"])
    node_classes = left_classes | right_classes

    def prepare_split(coords):
        rows, cols = coords[:, 0], coords[:, 1]
        global_labels = labels[rows, cols].numpy()
        mask = np.isin(global_labels, list(node_classes))
        rows, cols = rows[mask], cols[mask]
        node_labels = global_labels[mask]
        if len(node_labels) < 2:
            return None, None, None
        targets = torch.tensor([1.0 if lbl in left_classes else 0.0 for lbl in node_labels], dtype=torch.float32)
        fp = fp_map[rows, cols]
        return fp, targets, node_labels

    train_fp, train_tgt, _ = prepare_split(train_coords)
    val_fp, val_tgt, _ = prepare_split(val_coords)
    if train_fp is None or len(train_fp) < 4:
        return None

    n_left = (train_tgt == 1.0).sum().item()
    n_right = (train_tgt == 0.0).sum().item()
    total = n_left + n_right
    if n_left > 0 and n_right > 0:
        w_left = total / (2.0 * n_left)
        w_right = total / (2.0 * n_right)
        sample_weights = torch.where(train_tgt == 1.0, torch.tensor(w_left), torch.tensor(w_right)).to(device)
    else:
        sample_weights = torch.ones_like(train_tgt).to(device)

    train_fp_tensor = train_fp.to(device)
    train_tgt_tensor = train_tgt.to(device)
    has_val = val_fp is not None and len(val_fp) >= 2
    if has_val:
        val_fp_tensor = val_fp.to(device)
        val_tgt_tensor = val_tgt.to(device)

    router = router_class(d_model=d_model).to(device)
    optimizer = torch.optim.AdamW(router.parameters(), lr=lr, weight_decay=0.0001)
    criterion = torch.nn.BCELoss(reduction="none")
    best_val_acc = 0.0
    best_state = None

    for epoch in range(1, epochs + 1):
        router.train()
        pred = router(train_fp_tensor)
        per_sample_loss = criterion(pred, train_tgt_tensor)
        loss = (per_sample_loss * sample_weights).mean()
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()

        if epoch == epochs or (has_val and epoch % 50 == 0):
            router.eval()
            with torch.no_grad():
                train_acc = ((router(train_fp_tensor) > 0.5).float() == train_tgt_tensor).float().mean().item()
                if has_val:
                    val_pred = router(val_fp_tensor)
                    val_acc = ((val_pred > 0.5).float() == val_tgt_tensor).float().mean().item()
                    if val_acc > best_val_acc:
                        best_val_acc = val_acc
                        best_state = {k: v.cpu().clone() for k, v in router.state_dict().items()}

    if has_val:
        print(f"    Router: train_acc={train_acc:.4f} | val_acc={best_val_acc:.4f} | left={n_left} right={n_right}")
    else:
        print(f"    Router: train_acc={train_acc:.4f} | no val | left={n_left} right={n_right}")
        best_state = {k: v.cpu().clone() for k, v in router.state_dict().items()}
    if best_state is None:
        best_state = {k: v.cpu().clone() for k, v in router.state_dict().items()}

    router.cpu()
    router.load_state_dict(best_state)
    router.eval()
    return router


def make_problem(seed, height, width, d_model, n_classes=5, n_train=None, n_val=None, separable=False):
    """A synthetic scene: a label map, a fingerprint map and shuffled train/val coordinates."""
    rng = np.random.default_rng(seed)
    labels = torch.from_numpy(rng.integers(0, n_classes, size=(height, width)).astype(np.int64))
    fp = rng.standard_normal((height, width, d_model)).astype(np.float32)
    if separable:
        # Each class gets its own offset, so a node's split can be learnt.
        offsets = rng.standard_normal((n_classes, d_model)).astype(np.float32) * 3.0
        fp += offsets[labels.numpy()]
    coords = np.stack(np.meshgrid(np.arange(height), np.arange(width), indexing="ij"), -1).reshape(-1, 2)
    coords = coords[rng.permutation(len(coords))].astype(np.int64)
    n_train = len(coords) * 2 // 3 if n_train is None else n_train
    n_val = len(coords) - n_train if n_val is None else n_val
    return labels, torch.from_numpy(fp), coords[:n_train], coords[n_train:n_train + n_val]
