"""The router inside torch's own tools: torch.compile, torch.export, the ONNX exporters, torch.jit.trace
and torch.jit.script."""

import copy
import io
import pickle
import re

import pytest

from conftest import import_torch

# compile, export and the ONNX exporters as torch 2.6 has them, the oldest they were run with; torch
# 1.13 has no torch._dynamo.
torch = import_torch((2, 6), reason="the router is a torch module")
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


def exported(m, x, **kwargs):
    # Non-strict export runs forward as it is and records the tensor operations it calls, ours
    # included; it reads forward's code object only to name things.
    return torch.export.export(m, (x,), strict=False, **kwargs)


class TestExport:
    @pytest.mark.parametrize("layout", INPUTS)
    @pytest.mark.parametrize("kind", ["alone", "inside"])
    def test_same_result_as_eager(self, kind, layout):
        m = model(kind).eval()
        program = exported(m, torch.randn(*INPUTS[layout]))
        fresh = torch.randn(*INPUTS[layout])
        assert torch.equal(program.module()(fresh), m(fresh))

    @pytest.mark.parametrize("layout", INPUTS)
    def test_dynamic_batch(self, layout):
        # forward passes the batch size on as torch gives it, so it stays symbolic.
        m = model("inside").eval()
        shape = INPUTS[layout]
        program = exported(m, torch.randn(*shape), dynamic_shapes=({0: torch.export.Dim("batch")},))
        for batch in (1, 5, 16):
            x = torch.randn(batch, *shape[1:])
            assert torch.equal(program.module()(x), m(x))

    def test_saved_and_loaded(self):
        m = model("inside").eval()
        x = torch.randn(*INPUTS["map"])
        buffer = io.BytesIO()
        torch.export.save(exported(m, x), buffer)
        buffer.seek(0)
        loaded = torch.export.load(buffer).module()
        fresh = torch.randn(*INPUTS["map"])
        assert torch.equal(loaded(fresh), m(fresh))
        # What export recorded is plain tensor operations: the compiler takes it whole.
        assert torch.equal(torch.compile(loaded, backend="eager", fullgraph=True)(fresh), m(fresh))


def onnx_runtime():
    for name in ("onnx", "onnxscript"):
        pytest.importorskip(name, reason="the ONNX exporters need onnx and onnxscript")
    return pytest.importorskip("onnxruntime", reason="the exported graphs run in onnxruntime")


class TestOnnx:
    # dynamo=False is the TorchScript-based exporter, which torch marks as deprecated; the default
    # one copies torch's tree specs, whose old form torch also warns about.
    @pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::FutureWarning")
    @pytest.mark.parametrize("dynamo", [True, False], ids=["default", "torchscript"])
    @pytest.mark.parametrize("layout", INPUTS)
    @pytest.mark.parametrize("kind", ["alone", "inside"])
    def test_runs_in_onnxruntime_as_in_eager(self, tmp_path, kind, layout, dynamo):
        ort = onnx_runtime()
        m = model(kind).eval()
        path = tmp_path / "router.onnx"
        torch.onnx.export(m, (torch.randn(*INPUTS[layout]),), str(path), dynamo=dynamo, input_names=["x"])
        session = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
        fresh = torch.randn(*INPUTS[layout])
        (got,) = session.run(None, {"x": fresh.numpy()})
        with torch.no_grad():
            expected = m(fresh)
        assert got.shape == tuple(expected.shape)
        assert torch.allclose(torch.from_numpy(got), expected, rtol=0, atol=1e-6)


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
