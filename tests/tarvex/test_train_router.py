"""train_router: same weights as the plain-Python steps, class balance, evaluation points,
checkpoint selection and the summary line."""

import sys
import types

import pytest

np = pytest.importorskip("numpy")
from conftest import import_torch  # noqa: E402

torch = import_torch()

from korva.rssp import tarvex  # noqa: E402
from korva.rssp.tarvex import SSSRRouter, train_router  # noqa: E402
from tarvex_support import single_thread, states_equal  # noqa: E402, F401
from reference_router import make_problem, reference_train_router  # noqa: E402

LEFT, RIGHT, FOREIGN = 1, 2, 7
NODE = {"left": {"classes": [LEFT, 3]}, "right": {"classes": [RIGHT]}}


def indexes_uint64():
    """Whether this torch indexes a uint64 tensor, as train_router indexes the labels: torch has
    the dtype from 2.3 on, and torch 2.6 raises that "index_cpu" is not implemented for it."""
    dtype = getattr(torch, "uint64", None)
    try:
        return dtype is not None and bool(torch.ones(1, dtype=dtype)[torch.tensor([0])] == 1)
    except RuntimeError:
        return False


def run(fn, *args, seed=0, **kwargs):
    torch.manual_seed(seed)
    return fn(*args, **kwargs)


def scene(train, val=(), d_model=4, flip_val=False, seed=0):
    """One row of pixels, training pixels first; a left pixel's fingerprint points one way and
    a right pixel's the other (a validation pixel's the wrong way round with flip_val)."""
    rng = np.random.default_rng(seed)
    classes = list(train) + list(val)
    sign = np.array([1.0 if c == LEFT else -1.0 for c in classes], dtype=np.float32)
    if flip_val:
        sign[len(train):] *= -1
    fp = sign[:, None] + 0.1 * rng.standard_normal((len(classes), d_model)).astype(np.float32)
    coords = np.array([(0, i) for i in range(len(classes))], dtype=np.int64).reshape(-1, 2)
    return (torch.tensor([classes], dtype=torch.int64), coords[:len(train)], coords[len(train):],
            torch.from_numpy(fp[None]))


def train(args, d_model=4, **kwargs):
    return train_router(NODE, *args, d_model=d_model, device="cpu", **kwargs)


class TorchSpy:
    """Stands in for the module global `torch` and records what train_router asks of it."""

    def __init__(self):
        self.evaluations = 0
        self.weights = None
        self.optimiser_args = None
        self.optim = self

    def __getattr__(self, name):
        return getattr(torch, name)

    def no_grad(self):
        self.evaluations += 1
        return torch.no_grad()

    def where(self, condition, left, right):
        self.weights = (left.item(), right.item())
        return torch.where(condition, left, right)

    def AdamW(self, params, **kwargs):
        self.optimiser_args = kwargs
        return torch.optim.AdamW(params, **kwargs)


class FailsWhenEvaluated(SSSRRouter):
    """A head whose evaluation fails, inside the block without gradient recording."""

    def forward(self, fingerprints):
        if not self.training:
            raise ZeroDivisionError("evaluated")
        return super().forward(fingerprints)


@pytest.fixture
def spy(monkeypatch):
    spy = TorchSpy()
    monkeypatch.setattr(tarvex, "torch", spy)
    return spy


PROBLEMS = [
    # seed, height, width, d_model, classes, train, val, node, epochs, lr
    (1, 6, 6, 4, 3, None, None, {"left": {"classes": [0]}, "right": {"classes": [1, 2]}}, 1, 0.01),
    (2, 8, 8, 8, 5, None, None, {"left": {"classes": [0, 1]}, "right": {"classes": [2, 4]}}, 7, 0.01),
    (3, 10, 10, 16, 5, None, None, {"left": {"classes": [0, 2]}, "right": {"classes": [1]}}, 50, 0.005),
    (4, 9, 7, 8, 6, None, 1, {"left": {"classes": [5]}, "right": {"classes": [0, 1, 2, 3]}}, 120, 0.01),
    (5, 12, 12, 8, 4, None, None, {"left": {"classes": [3]}, "right": {"classes": [0, 1, 2]}}, 200, 0.001),
    (6, 5, 5, 3, 2, None, 0, {"left": {"classes": [0]}, "right": {"classes": [1]}}, 200, 0.05),
    (7, 10, 10, 8, 5, 40, 40, {"left": {"classes": [1, 2]}, "right": {"classes": [2, 3]}}, 120, 0.02),
    (8, 4, 4, 4, 3, 6, None, {"left": {"classes": [0, 1, 2]}, "right": {"classes": []}}, 50, 0.01),
    (9, 8, 8, 6, 8, None, None, {"left": {"classes": [0]}, "right": {"classes": [1]}}, 7, 0.1),
    (10, 16, 16, 8, 5, None, None, {"left": {"classes": (0, 1)}, "right": {"classes": {3, 4}}}, 200, 0.01),
    (11, 7, 9, 1, 4, None, None, {"left": {"classes": [0, 1]}, "right": {"classes": [2, 3]}}, 120, 0.01),
]


class TestSameWeightsAsPlainPython:
    @pytest.mark.parametrize("problem", PROBLEMS, ids=[f"seed{p[0]}-epochs{p[8]}" for p in PROBLEMS])
    def test_generated_problems(self, problem, capsys):
        seed, h, w, d_model, n_classes, n_train, n_val, node, epochs, lr = problem
        labels, fp, train_coords, val_coords = make_problem(seed, h, w, d_model, n_classes, n_train, n_val)
        args = (node, labels, train_coords, val_coords, fp)
        native = run(train_router, *args, d_model=d_model, epochs=epochs, lr=lr, device="cpu", seed=seed)
        native_out = capsys.readouterr().out
        reference = run(reference_train_router, *args, d_model=d_model, epochs=epochs, lr=lr, device="cpu", seed=seed)
        assert capsys.readouterr().out == native_out
        assert type(native) is SSSRRouter and states_equal(native, reference)

    @pytest.mark.parametrize(
        "dtype, offset, node",
        [
            (torch.int32, 0, {"left": {"classes": [np.int64(0), 1]}, "right": {"classes": [2]}}),
            (torch.uint8, 0, {"left": {"classes": [0]}, "right": {"classes": [1, 2**70]}}),
            (torch.int16, 0, {"left": {"classes": [0.0, 2.0]}, "right": {"classes": [1]}}),
            (torch.float32, 0, {"left": {"classes": [1]}, "right": {"classes": [0, 2]}}),
            (torch.int64, 0, {"left": {"classes": [2**70, 1]}, "right": {"classes": [0]}}),
            (torch.bool, 0, {"left": {"classes": [True]}, "right": {"classes": [False]}}),
            # 2**53 + 1 is no member of {2.0**53}, though the two meet as equal floats.
            (torch.int64, 2**53, {"left": {"classes": [2.0**53]}, "right": {"classes": [2**53 + 1, 2**53 + 2]}}),
            pytest.param(getattr(torch, "uint64", None), 2**53,
                         {"left": {"classes": [2**53 + 1]}, "right": {"classes": [2**53, 2**53 + 2]}},
                         marks=pytest.mark.skipif(not indexes_uint64(), reason="this torch cannot index uint64 labels")),
        ],
    )
    def test_label_types(self, dtype, offset, node, capsys):
        labels, fp, train_coords, val_coords = make_problem(3, 8, 8, 4, 2 if dtype is torch.bool else 3)
        args = (node, (labels + offset).to(dtype), train_coords, val_coords, fp)
        native = run(train_router, *args, d_model=4, epochs=7, lr=0.05, device="cpu")
        native_out = capsys.readouterr().out
        reference = run(reference_train_router, *args, d_model=4, epochs=7, lr=0.05, device="cpu")
        assert capsys.readouterr().out == native_out and states_equal(native, reference)


class TestSummaryLine:
    def test_with_validation(self, capsys):
        args = scene([LEFT] * 30 + [RIGHT] * 10, [LEFT] * 5 + [RIGHT] * 3)
        assert train(args, epochs=60, lr=0.05) is not None
        assert capsys.readouterr().out == "    Router: train_acc=1.0000 | val_acc=1.0000 | left=30 right=10\n"

    def test_without_validation(self, capsys):
        train(scene([RIGHT, LEFT, LEFT, RIGHT, RIGHT]), epochs=60, lr=0.05)
        assert capsys.readouterr().out == "    Router: train_acc=1.0000 | no val | left=2 right=3\n"

    def test_foreign_classes_are_dropped(self, capsys):
        args = scene([LEFT, FOREIGN, 3, RIGHT, FOREIGN, RIGHT, LEFT], [FOREIGN, FOREIGN, LEFT, RIGHT])
        train(args, epochs=60, lr=0.05)
        assert capsys.readouterr().out == "    Router: train_acc=1.0000 | val_acc=1.0000 | left=3 right=2\n"

    def test_one_sided_training_data(self, spy, capsys):
        router = train(scene([LEFT] * 4, [RIGHT, RIGHT]), epochs=3)
        assert capsys.readouterr().out.endswith(" | left=4 right=0\n") and spy.weights is None
        assert router is not None

    def test_class_balance_weights(self, spy):
        train(scene([LEFT] * 30 + [RIGHT] * 10), epochs=1, lr=1)
        assert spy.weights == (pytest.approx(40 / 60), 2.0)
        assert spy.optimiser_args == {"lr": 1.0, "weight_decay": 0.0001} and type(spy.optimiser_args["lr"]) is float


class TestTooFewPixels:
    @pytest.mark.parametrize("train_classes", [[], [FOREIGN] * 5, [LEFT], [LEFT, RIGHT], [LEFT, RIGHT, 3, FOREIGN]])
    def test_returns_none_silently(self, train_classes, spy, capsys):
        assert train(scene(train_classes, [LEFT, RIGHT] * 3)) is None
        # Before a single epoch: a count beyond any machine integer changes nothing.
        assert train(scene(train_classes, [LEFT, RIGHT] * 3), epochs=10**30) is None
        assert capsys.readouterr().out == "" and spy.evaluations == 0

    @pytest.mark.parametrize("val_classes", [[], [LEFT], [RIGHT, FOREIGN, FOREIGN]])
    def test_small_validation_split_trains_without_it(self, val_classes, capsys):
        args = scene([LEFT, RIGHT] * 4, val_classes)
        router = run(train, args, epochs=30, lr=0.05)
        assert " | no val | " in capsys.readouterr().out
        assert states_equal(router, run(train, args[:2] + (args[1][:0],) + args[3:], epochs=30, lr=0.05))


class TestEvaluationAndCheckpoints:
    @pytest.mark.parametrize(
        "epochs, with_val, evaluations",
        [(200, True, 4), (120, True, 3), (101, True, 3), (50, True, 1), (49, True, 1), (1, True, 1),
         (200, False, 1), (7, False, 1)],
    )
    def test_evaluation_points(self, epochs, with_val, evaluations, spy):
        train(scene([LEFT, RIGHT] * 3, [LEFT, RIGHT] if with_val else [], d_model=2), d_model=2, epochs=epochs)
        assert spy.evaluations == evaluations

    def test_equal_accuracy_keeps_the_earlier_checkpoint(self, capsys):
        args = scene([LEFT] * 6 + [RIGHT] * 6, [LEFT, RIGHT, LEFT])
        at_50 = run(train, args, epochs=50, lr=0.05)
        assert capsys.readouterr().out.startswith("    Router: train_acc=1.0000 | val_acc=1.0000 |")
        at_100 = run(train, args, epochs=100, lr=0.05)
        final_100 = run(train, args[:2] + (args[2][:0],) + args[3:], epochs=100, lr=0.05)
        assert states_equal(at_100, at_50) and not states_equal(at_100, final_100)

    def test_no_evaluation_above_zero_returns_the_final_weights(self, capsys):
        args = scene([LEFT] * 6 + [RIGHT] * 6, [LEFT, RIGHT, LEFT], flip_val=True)
        router = run(train, args, epochs=120, lr=0.05)
        assert capsys.readouterr().out == "    Router: train_acc=1.0000 | val_acc=0.0000 | left=6 right=6\n"
        assert states_equal(router, run(train, args[:2] + (args[2][:0],) + args[3:], epochs=120, lr=0.05))

    def test_returned_head_is_on_the_cpu_in_evaluation_mode(self):
        router = train(scene([LEFT, RIGHT] * 3, [LEFT, RIGHT]), epochs=3)
        assert type(router) is SSSRRouter and not router.training and not router.head[2].training
        assert {p.device.type for p in router.parameters()} == {"cpu"}

    def test_router_class_is_looked_up_at_call_time(self, monkeypatch):
        class Recorded(SSSRRouter):
            made = []

            def __init__(self, *args, **kwargs):
                Recorded.made.append((args, kwargs))
                super().__init__(*args, **kwargs)

        monkeypatch.setattr(tarvex, "SSSRRouter", Recorded)
        assert type(train(scene([LEFT, RIGHT] * 3), d_model=4.5, epochs=1)) is Recorded
        assert Recorded.made == [((), {"d_model": 4})]

    @pytest.mark.parametrize("kind", [dict, types.ModuleType, types.MappingProxyType])
    def test_split_function_takes_its_builtins_from_the_module_when_made(self, kind, monkeypatch, capsys):
        # Each call makes the function that splits the pixels; as a function written in Python
        # made then, it takes the module's __builtins__ of the moment (a module's dict, or any
        # mapping), where it finds np if the module lacks it.
        args = scene([LEFT, RIGHT] * 3)
        expected = run(train, args, epochs=2)

        def builtins(**names):
            if kind is types.ModuleType:
                module = types.ModuleType("builtins_of_the_call")
                vars(module).update(names)
                return module
            return kind(names)

        monkeypatch.delattr(tarvex, "np")
        monkeypatch.setattr(tarvex, "__builtins__", builtins(np=np), raising=False)
        assert states_equal(run(train, args, epochs=2), expected)
        monkeypatch.setattr(tarvex, "__builtins__", builtins())
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            train(args, epochs=2)

    def test_failure_during_evaluation_restores_gradient_recording(self, monkeypatch, capsys):
        monkeypatch.setattr(tarvex, "SSSRRouter", FailsWhenEvaluated)
        with pytest.raises(ZeroDivisionError, match="evaluated"):
            train(scene([LEFT, RIGHT] * 3, [LEFT, RIGHT]), epochs=2)
        assert torch.is_grad_enabled() and capsys.readouterr().out == ""

    @pytest.mark.parametrize("suppress", [False, True])
    def test_evaluation_block_exits_as_a_with_statement(self, suppress, monkeypatch, capsys):
        # __exit__ sees the failure, with it as the exception being handled; a true result
        # suppresses it and training goes on, with no accuracy measured.
        class Recording:
            def __init__(self):
                self.inner = torch.no_grad()
                self.seen = []

            def __enter__(self):
                self.inner.__enter__()

            def __exit__(self, *failure):
                self.inner.__exit__(*failure)
                self.seen.append(tuple(type(x).__name__ for x in failure) + (sys.exc_info()[1] is failure[1],))
                return suppress

        manager = Recording()
        spy = TorchSpy()
        spy.no_grad = lambda: manager
        monkeypatch.setattr(tarvex, "torch", spy)
        monkeypatch.setattr(tarvex, "SSSRRouter", FailsWhenEvaluated)
        if suppress:
            assert type(train(scene([LEFT, RIGHT] * 3), epochs=2)) is FailsWhenEvaluated
            assert capsys.readouterr().out == "    Router: train_acc=0.0000 | no val | left=3 right=3\n"
        else:
            with pytest.raises(ZeroDivisionError, match="evaluated"):
                train(scene([LEFT, RIGHT] * 3), epochs=2)
        assert manager.seen == [("type", "ZeroDivisionError", "traceback", True)]
        assert torch.is_grad_enabled()

    def test_failure_of_the_evaluation_blocks_exit_has_the_failure_as_context(self, monkeypatch):
        class Failing:
            def __enter__(self):
                pass

            def __exit__(self, *failure):
                raise KeyError("exit")

        spy = TorchSpy()
        spy.no_grad = Failing
        monkeypatch.setattr(tarvex, "torch", spy)
        monkeypatch.setattr(tarvex, "SSSRRouter", FailsWhenEvaluated)
        with pytest.raises(KeyError) as info:
            train(scene([LEFT, RIGHT] * 3), epochs=2)
        assert type(info.value.__context__) is ZeroDivisionError
