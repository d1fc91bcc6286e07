"""The demo: a whole run whose figures are computed, shown as computed, and saved where it says."""

import importlib.util
import json
import re
import subprocess
import sys

import pytest

from conftest import ROOT, time_limit

torch = pytest.importorskip("torch", reason="the demo trains with torch")
np = pytest.importorskip("numpy", reason="the demo uses numpy")

from korva.rssp.tarvex import SSSRRouter  # noqa: E402
from korva.utils import display as d  # noqa: E402

ANSI = re.compile(r"\x1b\[[0-9;]*m")


def load_demo():
    spec = importlib.util.spec_from_file_location("demo", ROOT / "examples" / "demo.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("demo") / "out"
    # Bytes, so that the carriage returns of the in-place epoch bars stay as written.
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py"), str(out_dir)], capture_output=True,
                          cwd=ROOT, timeout=time_limit(300))  # fmt: skip
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    report = json.loads((out_dir / "metrics.json").read_text())
    return out_dir, proc.stdout.decode(), report


def kept_epoch_lines(text):
    """The epoch bars that stay on screen (at validation), without colours."""
    return [ANSI.sub("", line.rsplit("\r", 1)[-1]) for line in text.split("\n") if "\r" in line]


def node_sections(stdout):
    """(node id, text up to the next banner) for every node of every member, in order."""
    banner_line = re.escape(f"  {d.BOLD}Node{d.RESET} {d.CYAN}'") + r"([\w.]+)" + re.escape(f"'{d.RESET}\n")
    parts = re.split(banner_line, stdout)
    return list(zip(parts[1::2], parts[2::2]))


def test_saves_what_it_says(run):
    out_dir, stdout, report = run
    assert f"Saved →{d.RESET} {out_dir}/model.pt\n" in stdout
    assert f"--data  {out_dir}/scene.npy \\\n" in stdout and f"--gt    {out_dir}/scene_gt.npy \\\n" in stdout
    for name in ("model.pt", "metrics.json", "scene.npy", "scene_gt.npy"):
        assert (out_dir / name).stat().st_size > 0
    saved = torch.load(out_dir / "model.pt", weights_only=True)
    assert len(saved["members"]) == report["settings"]["ensemble"] == 2
    for member in saved["members"]:
        assert list(member["routers"]) == list(saved["tree"])
        for state in member["routers"].values():
            SSSRRouter(saved["d_model"]).load_state_dict(state)


def test_draws_the_segmentation_at_the_scenes_size(run):
    image = pytest.importorskip("PIL.Image", reason="the demo draws its picture with Pillow")
    out_dir, stdout, report = run
    assert f"  Segmentation picture saved → {out_dir}/segmentation.png\n" in stdout
    demo = load_demo()
    labels = np.load(out_dir / "scene_gt.npy")
    assert labels.shape == (report["settings"]["height"], report["settings"]["width"])
    with image.open(out_dir / "segmentation.png") as picture:
        pixels = np.asarray(picture.convert("RGB"))
    # The first panel: the ground truth, each scene pixel a square of its class's colour.
    scale, top, left = demo.PICTURE_SCALE, demo.PICTURE_MARGIN + demo.PICTURE_TITLE, demo.PICTURE_MARGIN
    panel = pixels[top : top + labels.shape[0] * scale, left : left + labels.shape[1] * scale]
    squares = np.array(demo.CLASS_COLOURS, dtype=np.uint8)[labels].repeat(scale, axis=0).repeat(scale, axis=1)
    assert np.array_equal(panel, squares)


def test_saved_routers_give_the_reported_scores(run):
    out_dir, _, report = run
    demo = load_demo()
    scene = demo.Scene()
    saved = torch.load(out_dir / "model.pt", weights_only=True)
    ensemble = []
    for member in saved["members"]:
        routers = {}
        for node_id, state in member["routers"].items():
            routers[node_id] = SSSRRouter(saved["d_model"]).eval()
            routers[node_id].load_state_dict(state)
        ensemble.append(routers)
    truth = scene.labels[scene.test[:, 0], scene.test[:, 1]]
    metrics, _ = demo.scores(truth, demo.ensemble_vote(ensemble, scene.fp_map, scene.test), demo.CLASSES)
    assert metrics == pytest.approx(report["test"], abs=1e-12)


def test_epoch_bars_are_each_nodes_own(run):
    _, stdout, report = run
    sections = node_sections(stdout)
    nodes = [(member, node_id) for member in report["members"] for node_id in member["nodes"]]
    assert [node_id for node_id, _ in sections] == [node_id for _, node_id in nodes]
    shown = []
    for (node_id, text), (member, _) in zip(sections, nodes):
        history = member["nodes"][node_id]["history"]
        lines = kept_epoch_lines(text)
        assert len(lines) == len(history) == 3
        for line, record in zip(lines, history):
            epochs = report["settings"]["node_epochs"]
            assert line.startswith(f"  Epoch {record['epoch']:3d}/{epochs} | ")
            assert f"| Loss {record['loss']:.4f} | OA {record['OA']:.4f} | mIoU {record['mIoU']:.4f} | " in line
        shown.append(tuple(lines))
    # Ten nodes trained on different classes and pixels: no two show the same bars.
    assert len(set(shown)) == len(shown) == 10


def test_summaries_show_the_run(run):
    _, stdout, report = run
    plain = ANSI.sub("", stdout)
    settings = report["settings"]
    assert f"  Node epochs   : {settings['node_epochs']}\n" in plain
    assert f"  Router epochs : {settings['router_epochs']}\n" in plain
    assert f"  Router lr     : {settings['router_lr']}\n" in plain
    for index, member in enumerate(report["members"]):
        best = member["best"]
        assert (f"Ensemble {index + 1}/2 done  Best @ epoch {best['epoch']}  mIoU {best['mIoU']:.4f}  "
                f"OA {best['OA']:.4f}  AA {best['AA']:.4f}  κ {best['kappa']:.4f}\n") in plain  # fmt: skip
        assert f"  ── Ensemble {index + 1}/2  seed={member['seed']}  node='root'" in plain
    for key, value in report["test"].items():
        assert re.search(rf"\n  {key:<12} {value:.4f}  [█░]{{20}}\n", plain)
    for c, iou in report["per_class_iou"].items():
        assert f"  Class {int(c):2d}  {iou:.4f}  " in plain
    assert plain.count("    Router: train_acc=") == 10
