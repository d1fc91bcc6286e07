"""train_router against callers whose code changes or frees what it is still using: a router
class of their own, labels that look around while compared, and a `torch` that reports absurd
counts. Each case runs in a fresh interpreter, so a crash fails one test."""

import textwrap

import pytest

from conftest import ENDED_AT_EXIT, import_torch, run_python

import_torch()
pytest.importorskip("numpy")

# One row of pixels, classes 0 (left) and 1 (right) alternating, with separable fingerprints.
SCENE = """
import gc, sys
import numpy as np
import torch
from korva.rssp import tarvex
torch.manual_seed(0)
torch.set_num_threads(1)
classes = [0, 1] * 4
labels = torch.tensor([classes])
fp = torch.tensor([[[1.0 - 2 * c, 0.5] for c in classes]])
coords = np.array([(0, i) for i in range(len(classes))], dtype=np.int64)
def train(node, **kwargs):
    return tarvex.train_router(node, labels, coords, coords[:0], fp, d_model=2, epochs=2, device="cpu", **kwargs)
"""


def run_case(code):
    proc = run_python(SCENE + textwrap.dedent(code))
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout


def test_state_items_emptied_while_copied():
    # The router's state_dict() hands out a list it still owns and empties from inside a
    # tensor's cpu(): the copy stops where the list ends, as a loop over it would.
    out = run_case(
        """
        class Entry:
            def __init__(self, owner, tensor):
                self.owner, self.tensor = owner, tensor
            def cpu(self):
                self.owner.pairs.clear()
                gc.collect()
                return self.tensor

        class State:
            def __init__(self, router):
                self.pairs = [(k, Entry(self, v)) for k, v in router.real_state().items()]
            def items(self):
                return self.pairs

        class Router(tarvex.SSSRRouter):
            real_state = tarvex.SSSRRouter.state_dict
            def state_dict(self):
                self.state = State(self)
                return self.state
            def load_state_dict(self, state):
                print(sorted(state))

        tarvex.SSSRRouter = Router
        train({"left": {"classes": [0]}, "right": {"classes": [1]}})
        """
    )
    assert out.splitlines()[-1] == "['head.0.weight']"


def test_labels_that_look_for_half_built_lists():
    # Class labels of their own type go through set membership; each comparison walks every
    # list the collector knows of, so a list with unset slots would be read.
    out = run_case(
        """
        class Label(int):
            def __hash__(self):
                return int.__hash__(self)
            def __eq__(self, other):
                for o in gc.get_objects():
                    if type(o) is list:
                        for item in o:
                            pass
                return int(self) == other

        router = train({"left": {"classes": [Label(0)]}, "right": {"classes": [Label(1)]}})
        print(type(router).__name__)
        """
    )
    summary, name = out.splitlines()
    assert summary.endswith(" | no val | left=4 right=4") and name == "SSSRRouter"


def test_labels_that_overstate_their_length():
    # The node's labels claim 2**40 entries but hold eight: the targets are what iterating them
    # gives, as a loop over them would, and nothing is sized from the claim.
    out = run_case(
        """
        class Lying(list):
            def __len__(self):
                return 2**40 if list.__len__(self) else 0

        class Picked:
            def __init__(self, key):
                self.n = len(key[0])
            def numpy(self):
                return self
            def __getitem__(self, mask):
                return Lying(classes[:self.n])

        class Labels:
            def __getitem__(self, key):
                return Picked(key)

        class Numpy:
            def __getattr__(self, name):
                return getattr(np, name)
            def isin(self, values, classes):
                return np.ones(values.n, dtype=bool) if type(values) is Picked else np.isin(values, classes)

        tarvex.np = Numpy()
        node = {"left": {"classes": [0]}, "right": {"classes": [1]}}
        router = tarvex.train_router(node, Labels(), coords, coords[:0], fp, d_model=2, epochs=2, device="cpu")
        print(type(router).__name__)
        """
    )
    summary, name = out.splitlines()
    assert summary.endswith(" | no val | left=4 right=4") and name == "SSSRRouter"


def test_pixel_counts_beyond_a_machine_integer():
    # A `torch` whose targets report 2**62 pixels a side: the class weights come from the exact
    # sum, as the interpreter's ints give it, and are 1.0 each.
    out = run_case(
        """
        class Count:
            def sum(self):
                return self
            def item(self):
                return 2**62

        class Targets:
            def __eq__(self, other):
                return Count()

        class Stop(Exception):
            pass

        class Torch:
            def __getattr__(self, name):
                return getattr(torch, name)
            def tensor(self, data, dtype=None):
                if dtype is None:
                    print(float(data))
                    return torch.tensor(data)
                return Targets()
            def where(self, *args):
                raise Stop

        tarvex.torch = Torch()
        try:
            train({"left": {"classes": [0]}, "right": {"classes": [1]}})
        except Stop:
            print("stopped")
        """
    )
    assert out == "1.0\n1.0\nstopped\n"


def test_daemon_thread_ended_inside_train_router_at_exit():
    # The thread stays inside the summary line's write, deep in train_router, while the
    # interpreter shuts down; interpreters before 3.14 then unwind its stack without the lock.
    # Elsewhere in training it could be torch's own frames that the unwind meets.
    out = run_case(
        ENDED_AT_EXIT
        + """
def report():
    sys.stdout = Slow()
    train({"left": {"classes": [0]}, "right": {"classes": [1]}})

threading.Thread(target=report, daemon=True).start()
inside.wait()
sys.__stdout__.write("exit\\n")
"""
    )
    assert out == "exit\n"
