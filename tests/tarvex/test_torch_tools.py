"""The router inside torch's own tools: torch.compile, torch.jit.trace and torch.jit.script."""

import copy
import io
import pickle
import re

import pytest

torch = pytest.importorskip("torch", reason="the router is a torch module")
nn = torch.nn

from korva.rssp.tarvex import SSSRRouter  # noqa: E402
from tarvex_support import single_thread, states_equal  # noqa: E402, F401

D = 6
INPUTS = {"pixels": (7, D), "map": (2, D, 3, 4)}


class Scene(nn.Module):
    """A user's model that is compiled as a whole, the router one of its parts."""

    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.tensor(1.5))
        self.router = SSSRRouter(D)

    def forward(self, x):
        return self.router(torch.tanh(x) * self.scale) * 2 - 1


def model(kind):
    torch.manual_seed(3)
    return SSSRRouter(D) if kind == "alone" else Scene()


@pytest.fixture(autouse=True)
def fresh_compiler():
    torch._dynamo.reset()
    yield
    torch._dynamo.reset()


class TestCompile:
    @pytest.mark.parametrize("backend", ["eager", "aot_eager"])
    @pytest.mark.parametrize("layout", INPUTS)
    @pytest.mark.parametrize("kind", ["alone", "inside"])
    def test_same_result_and_gradients_as_eager(self, backend, layout, kind):
        eager = model(kind)
        compiled_twin = copy.deepcopy(eager)
        compiled = torch.compile(compiled_twin, backend=backend)
        x = torch.randn(*INPUTS[layout])
        expected, got = eager(x), compiled(x)
        assert got.shape == expected.shape
        assert torch.allclose(got, expected, rtol=0, atol=1e-6)
        expected.sum().backward()
        got.sum().backward()
        for (name, p), q in zip(eager.named_parameters(), compiled_twin.parameters()):
            assert torch.allclose(p.grad, q.grad, rtol=0, atol=1e-6), name
        # The same compiled model, called again with the other layout.
        other = torch.randn(*INPUTS["map" if layout == "pixels" else "pixels"])
        assert torch.allclose(compiled(other), eager(other), rtol=0, atol=1e-6)

    def test_graph_breaks_at_the_routers_forward(self):
        explanation = torch._dynamo.explain(model("inside"))(torch.randn(*INPUTS["pixels"]))
        # The user's code before and after the router is captured; the router runs as it is.
        # torch words the reason differently from release to release: where it breaks is checked.
        assert explanation.graph_count == 2 and explanation.graph_break_count == 1
        ops = [[op.__name__ for op in graph] for graph in explanation.ops_per_graph]
        assert ops == [["tanh", "mul"], ["mul", "sub"]]
        where = explanation.break_reasons[0].user_stack[0]
        assert (where.name, where.lineno) == ("forward", Scene.forward.__code__.co_firstlineno + 1)
        with pytest.raises(torch._dynamo.exc.Unsupported):
            torch.compile(model("inside"), backend="eager", fullgraph=True)(torch.randn(*INPUTS["pixels"]))

    def test_router_unchanged_by_compiling(self):
        router = model("alone")
        compiled = torch.compile(router, backend="eager")
        compiled(torch.randn(*INPUTS["map"]))
        forward = vars(SSSRRouter)["forward"]
        assert forward.__qualname__ == "SSSRRouter.forward" and type(forward).__name__ == "korva_function"
        assert list(compiled.state_dict()) == ["_orig_mod." + k for k in router.state_dict()]
        for twin in (copy.deepcopy(router), pickle.loads(pickle.dumps(router))):
            assert type(twin) is SSSRRouter and states_equal(twin, router)


# torch marks its TorchScript tools as deprecated; they still work and users still call them.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
class TestTorchScript:
    OPS = {
        "pixels": ["aten::linear", "aten::relu_", "aten::sigmoid", "aten::squeeze"],
        "map": ["aten::Int", "aten::linear", "aten::permute", "aten::relu_", "aten::reshape", "aten::sigmoid",
                "aten::size"],
    }  # fmt: skip

    @pytest.mark.parametrize("layout", INPUTS)
    def test_trace_records_the_head(self, layout):
        router = model("alone").eval()
        x = torch.randn(*INPUTS[layout])
        traced = torch.jit.trace(router, x)
        fresh = torch.randn(*INPUTS[layout])
        assert torch.equal(traced(fresh), router(fresh))
        # A traced router is plain TorchScript: saved and loaded without this module.
        buffer = io.BytesIO()
        torch.jit.save(traced, buffer)
        buffer.seek(0)
        assert torch.equal(torch.jit.load(buffer)(fresh), router(fresh))
        assert sorted(set(re.findall(r"aten::\w+", str(traced.inlined_graph)))) == self.OPS[layout]

    def test_script_needs_python_source(self):
        with pytest.raises(TypeError, match="korva_function"):
            torch.jit.script(model("alone"))
