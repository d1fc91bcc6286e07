"""SSSRRouter: construction, the two input layouts, and behaving like any nn.Module."""

import copy
import inspect
import io
import traceback

import pytest

from conftest import import_torch

torch = import_torch()

import torch.nn as nn  # noqa: E402

from korva.rssp import tarvex  # noqa: E402
from korva.rssp.tarvex import SSSRRouter  # noqa: E402
from tarvex_support import single_thread, states_equal  # noqa: E402, F401
from reference_router import ReferenceRouter  # noqa: E402

SOURCE = "korva/rssp/tarvex"


def seeded(cls, *args, **kwargs):
    torch.manual_seed(1234)
    return cls(*args, **kwargs)


class TestConstruction:
    def test_head_layers(self):
        head = SSSRRouter(d_model=16).head
        assert isinstance(head, nn.Sequential) and len(head) == 3
        first, relu, last = head
        assert (type(first), first.in_features, first.out_features, first.bias is not None) == (nn.Linear, 16, 32, True)
        assert type(relu) is nn.ReLU and relu.inplace is True
        assert (type(last), last.in_features, last.out_features, last.bias is not None) == (nn.Linear, 32, 1, True)
        assert list(SSSRRouter(16).state_dict()) == ["head.0.weight", "head.0.bias", "head.2.weight", "head.2.bias"]

    @pytest.mark.parametrize("d_model, count", [(64, 2113), (1, 97), (8, 321)])
    def test_parameter_count(self, d_model, count):
        assert sum(p.numel() for p in SSSRRouter(d_model).parameters() if p.requires_grad) == count

    def test_default_width_and_random_draws_match_plain_python(self):
        assert states_equal(seeded(SSSRRouter), seeded(ReferenceRouter, 64))

    @pytest.mark.parametrize("given, width", [(64.0, 64), (64.9, 64), (True, 1), (8, 8)])
    def test_numbers_are_converted(self, given, width):
        assert states_equal(seeded(SSSRRouter, given), seeded(ReferenceRouter, width))
        assert states_equal(seeded(SSSRRouter, d_model=given), seeded(ReferenceRouter, width))

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            (("64",), {}, "Argument 'd_model' has incorrect type (expected int, got str)"),
            ((None,), {}, "Argument 'd_model' has incorrect type (expected int, got NoneType)"),
            ((8, 8), {}, "__init__() takes at most 2 positional arguments (3 given)"),
            ((), {"width": 8}, "__init__() got an unexpected keyword argument 'width'"),
            ((8,), {"d_model": 8}, "__init__() got multiple values for keyword argument 'd_model'"),
        ],
    )
    def test_bad_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            SSSRRouter(*args, **kwargs)
        assert str(info.value) == message

    def test_subclass_initialises_through_the_defining_class(self):
        class Wider(SSSRRouter):
            def __init__(self):
                super().__init__(d_model=3)
                self.extra = nn.Linear(3, 3)

        router = Wider()
        assert router.head[0].in_features == 3 and isinstance(router.extra, nn.Linear)
        assert router(torch.zeros(2, 3)).shape == (2,)


class TestForward:
    D = 6

    @pytest.fixture
    def router(self):
        return seeded(SSSRRouter, self.D)

    def expected(self, router, x):
        with torch.no_grad():
            return torch.sigmoid(router.head(x)).squeeze(-1)

    @pytest.mark.parametrize("shape, out_shape", [((5, D), (5,)), ((1, D), (1,)), ((0, D), (0,)),
                                                  ((2, 3, D), (2, 3)), ((D,), ())])
    def test_pixel_path(self, router, shape, out_shape):
        x = torch.randn(*shape)
        out = router(x)
        assert out.shape == out_shape and out.dtype == torch.float32
        assert torch.equal(out.detach(), self.expected(router, x))
        assert bool(((out > 0) & (out < 1)).all())
        assert out.requires_grad

    def test_map_path_matches_pixel_path(self, router):
        x = torch.randn(2, self.D, 3, 4)
        out = router(x)
        pixels = torch.stack([x[b, :, h, w] for b in range(2) for h in range(3) for w in range(4)])
        assert out.shape == (2, 3, 4)
        assert torch.allclose(out, self.expected(router, pixels).reshape(2, 3, 4), rtol=0, atol=1e-6)
        assert torch.equal(out, ReferenceRouter.forward(router, x))

    @pytest.mark.parametrize("entries", [3, 5])
    def test_map_whose_shape_has_another_length_fails_to_unpack(self, router, entries):
        class Odd:
            shape = torch.Size([2] * entries)

            def dim(self):
                return 4

        with pytest.raises(ValueError) as expected:
            ReferenceRouter.forward(router, Odd())
        with pytest.raises(ValueError) as info:
            router(Odd())
        assert str(info.value) == str(expected.value)

    @pytest.mark.parametrize("shape", [(4, 5), (1, 5, 2, 2), (3, 2, 5)])
    def test_wrong_width_raises_the_library_error(self, router, shape):
        with pytest.raises(RuntimeError) as info:
            router(torch.zeros(*shape))
        entries = [(e.name, e.filename) for e in traceback.extract_tb(info.tb)]
        assert ("SSSRRouter.forward", SOURCE) in entries
        assert torch.equal(router.head[0].weight, seeded(SSSRRouter, self.D).head[0].weight)


class TestClass:
    def test_class_identity(self):
        assert SSSRRouter.__module__ == "korva.rssp.tarvex" and SSSRRouter.__qualname__ == "SSSRRouter"
        assert SSSRRouter.__bases__ == (nn.Module,) and type(SSSRRouter) is type(nn.Module)
        assert [k for k in vars(SSSRRouter) if not k.startswith("__") or k == "__init__"] == ["__init__", "forward"]

    def test_doc_names_what_the_head_does(self):
        doc = SSSRRouter.__doc__
        for phrase in ("p_left", "frozen", "d_model * 32 + 32", "(B, d_model, H, W)", "(N, d_model)", "(B, H, W)",
                       "(N,)", "left child"):
            assert phrase in doc

    @pytest.mark.parametrize(
        "fn, qualname, signature, annotations, defaults",
        [
            (SSSRRouter.__init__, "SSSRRouter.__init__", "(self, d_model: 'int' = 64)", {"d_model": "int"}, (64,)),
            (SSSRRouter.forward, "SSSRRouter.forward", "(self, fingerprints: 'torch.Tensor') -> 'torch.Tensor'",
             {"fingerprints": "torch.Tensor", "return": "torch.Tensor"}, None),
        ],
    )
    def test_methods(self, fn, qualname, signature, annotations, defaults):
        assert fn.__qualname__ == qualname and fn.__module__ == "korva.rssp.tarvex"
        assert str(inspect.signature(fn)) == signature
        assert fn.__annotations__ == annotations and fn.__defaults__ == defaults
        assert str(inspect.signature(SSSRRouter)) == "(d_model: 'int' = 64)"


class TestModuleBehaviour:
    def test_modes_devices_and_state(self):
        router = SSSRRouter(4)
        assert router.eval() is router and not router.training and not router.head[0].training
        assert router.train() is router and router.training
        assert router.to("cpu") is router and router.cpu() is router
        other = SSSRRouter(4)
        other.load_state_dict(router.state_dict())
        assert states_equal(router, other)
        assert router.to(torch.float64)(torch.zeros(2, 4, dtype=torch.float64)).dtype == torch.float64

    def test_deepcopy(self):
        router = SSSRRouter(4).eval()
        twin = copy.deepcopy(router)
        assert type(twin) is SSSRRouter and states_equal(router, twin) and not twin.training
        assert twin.head[0].weight.data_ptr() != router.head[0].weight.data_ptr()
        x = torch.randn(3, 4)
        assert torch.equal(twin(x), router(x))

    def test_save_and_load_whole_instance(self):
        router = SSSRRouter(5)
        buffer = io.BytesIO()
        torch.save(router, buffer)
        buffer.seek(0)
        loaded = torch.load(buffer, weights_only=False)
        assert type(loaded) is tarvex.SSSRRouter and states_equal(router, loaded)
        x = torch.randn(2, 5, 2, 2)
        assert torch.equal(loaded(x), router(x))
