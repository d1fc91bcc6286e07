"""Fails each allocation of a call in turn and checks that the native modules survive it.

tools/failalloc.c, built into build/failalloc.so and preloaded into the interpreter, fails
allocation requests of the thread that arms it: only the Nth request after arming (mode
"single"), or every request from the Nth on for 300 requests (mode "span"). The interpreter
runs with PYTHONMALLOC=malloc, so its own objects are counted and failed as well. For each
target call this script tries N = 0, 1, 2, ... until the call completes without reaching its
Nth request. The targets: every display function (gpu_stats with a stand-in for subprocess, so
that no process is started), our functions bound as methods (made, called with few and many
arguments, their attributes, __signature__, repr, comparison, hash, pickling), SSSRRouter(...)
and its forward on a pixel batch and on a fingerprint map.

Any outcome but a crash is fine: MemoryError, another exception, or the normal result. These
fail the run: a crash (a signal, an abort under the sanitizers, glibc ending the process), a
hang, a SystemError of ours (an error returned without an exception set, a result returned with
one set, an internal error), a call that returns something other than its normal result without
raising, and a module that no longer works afterwards.

Each target goes through two phases in each mode, in child processes that run many values of N:
- cold: from the target's first call in the process, with no normal call between two failures,
  so that whatever a first call sets up (interned names, tables made on first use, the text
  buffers) is failed at each of its allocations; once the call completes, it is called again
  and must give the normal result;
- warm: after one normal call; every failing call is followed by a normal one, which must give
  the normal result.
The normal results come from a reference process in which nothing fails. The display targets
each run in a fresh process; the torch targets share one per mode. A crash ends a child; the
next one resumes after the N that crashed. The first crash of each kind is then rerun alone,
under gdb where there is one, for its backtrace.

Not counted as ours, and listed apart: a SystemError raised after the interpreter itself dropped
the exception in flight (see FRAME_TEARDOWN); one raised by the interpreter's check of a
callable's result that names someone else's callable (torch's argument parsers, made on a
function's first call, leave the MemoryError of a failed request set and return a result); and
a different result when every failed request was torch's own (its matrix product gives other
numbers when its work buffer cannot be allocated). The router written in Python (targets
reference_*, run only when named) meets the SystemErrors of construction at the same N.

Kept out: train_router, which trains with autograd on, and forward with autograd on: there torch
itself ends the process (an autograd node's destructor calls std::terminate while the graph of a
failed call is freed; target forward_autograd, run only when named). The router targets run
under torch.no_grad(), with one intra-op thread, and their inputs are made before arming.

Run: python tools/alloc_failure.py [--build release|sanitize ...] [--targets NAME ...] [--jobs N]
"""

import argparse
import concurrent.futures
import ctypes
import faulthandler
import functools
import gc
import hashlib
import json
import operator
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIBRARY_SOURCE = os.path.join(ROOT, "tools", "failalloc.c")
LIBRARY = os.path.join(ROOT, "build", "failalloc.so")
SANITIZE_BUILD = os.path.join(ROOT, "build", "sanitize")
SPAN = 300  # requests failed in a row in mode "span"
MODES = {"single": 1, "span": SPAN}
MAX_N = 200_000  # a call that still allocates this far has not ended
CHILD_TIMEOUT = 600


# ---------------------------------------------------------------------------------------------
# Targets. Each is made in the child, after its modules are imported and before anything is
# armed, and returns a Case: call() is what runs armed, a C-level callable where it can be (a
# functools.partial, an operator.attrgetter), so that no frame of ours lies between the
# interpreter and the code under test; observe(value, output) turns a result and what the call
# printed into text to compare; alternatives() gives other (value, output) results that are fine
# without an exception (it may call the module: it runs in the reference process only).


class Case:
    def __init__(self, call, observe=None, alternatives=list, before=None, after=None):
        self.call = call
        self.observe = observe or (lambda value, output: repr(value) + "\n" + output)
        self.alternatives = alternatives
        self.before = before
        self.after = after


class StandInSubprocess:
    """subprocess as gpu_stats uses it, with the tool's usual answer and no child process."""

    DEVNULL = -3

    @staticmethod
    def check_output(command, stderr=None, timeout=None):
        return b"45, 30, 1024, 8192\n"


def display_module():
    import korva.utils.display as d

    # gpu_stats (called by forest_done_line too) must not start a process while allocations fail.
    d.subprocess = StandInSubprocess
    return d


def display_case(name, *args, **kwargs):
    def make():
        return Case(functools.partial(getattr(display_module(), name), *args, **kwargs))

    return make


def forest_done_line_case():
    # It shows what gpu_stats returns, and gpu_stats turns any exception into "": the line
    # without the GPU part is an outcome too.
    d = display_module()
    args = (1, 3, 0.62, 40, 0.91, 0.8, 0.7, "1m 02s")

    class NoTool(StandInSubprocess):
        @staticmethod
        def check_output(command, stderr=None, timeout=None):
            raise FileNotFoundError(command[0])

    def without_gpu():
        d.subprocess = NoTool
        line = d.forest_done_line(*args)
        d.subprocess = StandInSubprocess
        return [(line, "")]

    return Case(functools.partial(d.forest_done_line, *args), alternatives=without_gpu)


def gpu_stats_case():
    # Any exception of the query means that there is no information: "" is an outcome too.
    return Case(display_module().gpu_stats, alternatives=lambda: [("", "")])


class Holder:
    """An object whose class holds a display function, so that it binds as a method."""

    def __str__(self):
        return "held"


def method_case(count):
    # Looking the method up makes the bound method; calling it with a tuple of arguments takes the
    # path that copies them, onto the heap from eight on.
    def make():
        d = display_module()
        Holder.colour = d._c
        return Case(functools.partial(operator.methodcaller("colour", *[d.RED] * count), Holder()))

    return make


def function_attributes_case():
    d = display_module()
    get = operator.attrgetter("__signature__", "__defaults__", "__kwdefaults__", "__annotations__", "__doc__",
                              "__name__", "__qualname__")
    return Case(functools.partial(get, d.node_banner))


def torch_setup():
    import torch
    from korva.rssp import tarvex

    torch.manual_seed(0)
    router = tarvex.SSSRRouter(16)
    pixels = torch.randn(6, 16)
    fingerprint_map = torch.randn(2, 16, 3, 3)
    return torch, tarvex, router, pixels, fingerprint_map


def tensor_text(t):
    return f"{tuple(t.shape)} {t.dtype} {t.requires_grad} {hashlib.sha256(t.detach().numpy().tobytes()).hexdigest()}"


def observe_tensor(value, output):
    return tensor_text(value) + "\n" + output


def observe_router(router, output):
    return repr(router) + "".join(f"\n{k} {tensor_text(v)}" for k, v in router.state_dict().items()) + output


def router_construction_case():
    torch, tarvex, _, _, _ = torch_setup()
    return Case(functools.partial(tarvex.SSSRRouter, 16), observe_router, before=lambda: torch.manual_seed(0))


def forward_case(which, autograd=False):
    def make():
        torch, _, router, pixels, fingerprint_map = torch_setup()
        x = pixels if which == "pixels" else fingerprint_map
        if autograd:
            return Case(functools.partial(router, x), observe_tensor, before=lambda: torch.set_grad_enabled(True),
                        after=lambda: torch.set_grad_enabled(False))
        return Case(functools.partial(router, x), observe_tensor)

    return make


def reference_router_case(what):
    """The same, with the router written in Python (tests/tarvex/reference_router.py): where both
    fail alike, the fault is not in our code."""

    def make():
        sys.path.insert(0, os.path.join(ROOT, "tests", "tarvex"))
        from reference_router import ReferenceRouter

        torch, _, _, pixels, fingerprint_map = torch_setup()
        if what == "construction":
            return Case(functools.partial(ReferenceRouter, 16), observe_router, before=lambda: torch.manual_seed(0))
        torch.manual_seed(0)
        router = ReferenceRouter(16)
        return Case(functools.partial(router, pixels if what == "pixels" else fingerprint_map), observe_tensor)

    return make


def bound_forward_case(op):
    def make():
        torch, tarvex, router, pixels, _ = torch_setup()
        torch.manual_seed(1)
        other = tarvex.SSSRRouter(16)
        m = router.forward
        method_type = type(m)
        expected_hash = hash(m)
        forward = tarvex.SSSRRouter.forward

        def is_bound_forward(value, output):
            return f"{type(value).__name__} {value.__func__ is forward} {value.__self__ is router}"

        def reduced(value, output):
            return f"{value[0] is getattr} {value[1][0] is router} {value[1][1]!r}"

        # The method's own attributes and those it passes on from the function.
        attributes = operator.attrgetter("__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
                                         "__annotations__", "__func__", "__self__")

        def observe_attributes(value, output):
            return f"{value[:-2]!r} {value[-2] is forward} {value[-1] is router}"

        cases = {
            "make": lambda: Case(functools.partial(getattr, router, "forward"), is_bound_forward),
            "new": lambda: Case(functools.partial(method_type, forward, router), is_bound_forward),
            "call": lambda: Case(functools.partial(m, pixels), observe_tensor),
            "repr": lambda: Case(functools.partial(repr, m)),
            "signature": lambda: Case(functools.partial(getattr, m, "__signature__")),
            "attributes": lambda: Case(functools.partial(attributes, m), observe_attributes),
            "missing_attribute": lambda: Case(functools.partial(getattr, m, "no_such_attribute")),
            "equal": lambda: Case(functools.partial(operator.eq, m, router.forward)),
            "not_equal": lambda: Case(functools.partial(operator.ne, m, other.forward)),
            "hash": lambda: Case(functools.partial(hash, m), lambda value, output: str(value == expected_hash)),
            "reduce": lambda: Case(m.__reduce__, reduced),
        }
        return cases[op]()

    return make


DISPLAY_TARGETS = {
    "_c": display_case("_c", "text", "\x1b[91m", "\x1b[1m"),
    "epoch_bar": display_case("epoch_bar", 5, 100, 0.4321),
    "epoch_bar_metrics": display_case("epoch_bar", 40, 100, 0.25, val_loss=0.3, oa=0.91, miou=0.62, aa=0.8,
                                      kappa=0.7),
    "forest_banner": display_case("forest_banner", 1, 3, 42, "root/left"),
    "node_banner": display_case("node_banner", "root", [1, 2, 3], 4, 50, 3, "focal", 2.0, 12000, 3000),
    "gpu_stats": gpu_stats_case,
    "forest_done_line": forest_done_line_case,
    "print_logo": display_case("print_logo"),
    "print_predict_start": display_case("print_predict_start"),
    "print_visualize_start": display_case("print_visualize_start"),
    "print_training_start": display_case("print_training_start"),
    "print_training_done": display_case("print_training_done"),
    "print_config_box": display_case("print_config_box", "Training",
                                     [("epochs", 50), ("lr", 0.001), ("loss", "focal"), ("data", "scene.npy")]),
    "print_results_box": display_case("print_results_box", {"OA": 0.91, "mIoU": 0.62, "AA": 0.8, "Kappa": 0.7,
                                                            "Dice": 0.5}),
    "print_results_box_routing": display_case("print_results_box", {"OA": 0.91, "mIoU": 0.62}, routing="hard"),
    "print_per_class_iou": display_case("print_per_class_iou", {0: 0.9, 1: 0.55, 2: 0.2}),
    "print_per_class_iou_counts": display_case("print_per_class_iou", {0: 0.9, 1: 0.55, 2: 0.2},
                                               {0: 1000, 1: 200, 2: 30}),
    "print_save_and_next": display_case("print_save_and_next", "runs/a", "model.pt", "data/scene.npy",
                                        "data/gt.npy", 0.7, 0.15),
    "method_call": method_case(1),
    "method_call_many": method_case(9),
    "function_attributes": function_attributes_case,
    # forest_done_line as the first call of the module in its process: see prepare_thread.
    "first_call": forest_done_line_case,
}
FRESH = {"first_call"}

TORCH_TARGETS = {
    "SSSRRouter": router_construction_case,
    "forward_pixels": forward_case("pixels"),
    "forward_map": forward_case("map"),
    **{f"forward_method_{op}": bound_forward_case(op)
       for op in ("make", "new", "call", "repr", "signature", "attributes", "missing_attribute", "equal", "not_equal",
                  "hash", "reduce")},
}

# Only when named: forward with autograd on (see the module doc), and the router written in Python.
EXTRA_TARGETS = {
    "forward_autograd": forward_case("pixels", autograd=True),
    "reference_construction": reference_router_case("construction"),
    "reference_forward_pixels": reference_router_case("pixels"),
    "reference_forward_map": reference_router_case("map"),
}

ALL_TARGETS = {**DISPLAY_TARGETS, **TORCH_TARGETS, **EXTRA_TARGETS}


def group_of(target):
    return "display" if target in DISPLAY_TARGETS else "torch"


# ---------------------------------------------------------------------------------------------
# The child: runs targets armed and reports each step on its own stdout, one line each, before
# the next step, so that the parent knows where a crash happened.

ADDRESS = re.compile(r"0x[0-9a-f]+")


def digest(text):
    return hashlib.sha256(ADDRESS.sub("0x?", text).encode("utf-8", "surrogatepass")).hexdigest()[:16]


class Failalloc:
    def __init__(self):
        lib = ctypes.CDLL(LIBRARY)
        self.arm = lib.failalloc_arm
        self.arm.argtypes = [ctypes.c_longlong, ctypes.c_longlong]
        self.arm.restype = None
        self.disarm = lib.failalloc_disarm
        self.disarm.argtypes = []
        self.disarm.restype = ctypes.c_longlong
        self.failed = lib.failalloc_failed
        self.failed.argtypes = []
        self.failed.restype = ctypes.c_longlong
        self.watch = lib.failalloc_watch
        self.watch.argtypes = [ctypes.c_size_t, ctypes.c_size_t]
        self.watch.restype = None
        self.failed_watched = lib.failalloc_failed_watched
        self.failed_watched.argtypes = []
        self.failed_watched.restype = ctypes.c_longlong
        self.failed_frames = lib.failalloc_failed_frames
        self.failed_frames.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_void_p), ctypes.c_int]
        self.failed_frames.restype = ctypes.c_int


# Where CPython 3.11 drops an exception in flight: tearing down the frame of a Python function
# whose frame object exists (a traceback holds it), _PyFrame_Clear links that object to its
# caller's, and when the caller's cannot be allocated it clears the error. The function then
# returns NULL with no exception set, and whoever called it raises SystemError ("... returned NULL
# without setting an exception", or "error return without exception set"). A SystemError after a
# failed request made under this function is the interpreter's.
FRAME_TEARDOWN = "_PyFrame_Clear"


class DlInfo(ctypes.Structure):
    _fields_ = [("fname", ctypes.c_char_p), ("fbase", ctypes.c_void_p), ("sname", ctypes.c_char_p),
                ("saddr", ctypes.c_void_p)]


def interpreter_object():
    """The file that holds the interpreter's code (libpython or the executable) and its load address."""
    libc = ctypes.CDLL(None)
    libc.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    info = DlInfo()
    if not libc.dladdr(ctypes.cast(ctypes.pythonapi.Py_IncRef, ctypes.c_void_p), ctypes.byref(info)):
        return None, 0
    return os.fsdecode(info.fname), info.fbase or 0


def elf_function(path, name):
    """(address, size, whether the address is an offset from where the file is loaded) of
    function `name` in a 64-bit ELF file's symbol tables; None where it is not there (a
    stripped file, another format)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        return None
    e_type = struct.unpack_from("<H", data, 16)[0]
    e_shoff = struct.unpack_from("<Q", data, 0x28)[0]
    e_shentsize, e_shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, e_shoff + i * e_shentsize) for i in range(e_shnum)]
    wanted = name.encode() + b"\0"
    for _, kind, _, _, offset, size, link, _, _, _ in sections:
        if kind not in (2, 11):  # SHT_SYMTAB, SHT_DYNSYM
            continue
        strings = data[sections[link][4]:sections[link][4] + sections[link][5]]
        for st_name, st_info, _, st_shndx, st_value, st_size in struct.iter_unpack(
                "<IBBHQQ", data[offset:offset + size]):
            if st_info & 0xF == 2 and st_shndx != 0 and strings.startswith(wanted, st_name):  # STT_FUNC, defined
                # A shared object's addresses are offsets from where it is loaded; an executable's are absolute.
                return (st_value, st_size, e_type == 3)
    return None


RECORDED = 16  # failed requests whose stacks the library keeps
RUNTIME_OBJECTS = re.compile(r"failalloc|/libc\.so|/libc-|libstdc\+\+|libgcc_s|ld-linux|libasan|libubsan|libpthread")


def requesters(lib):
    """Who made each failed request of the last arming: the library of the innermost frame
    outside the C and C++ runtimes ("torch", "ours", "interpreter", or the file's name); None
    when more failed than the library keeps."""
    failed = lib.failed()
    if failed > RECORDED:
        return None
    libc = ctypes.CDLL(None)
    libc.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
    interpreter, _ = interpreter_object()
    owners = []
    for i in range(failed):
        frames = (ctypes.c_void_p * 32)()
        owner = "unknown"
        for address in frames[:lib.failed_frames(i, frames, 32)]:
            info = DlInfo()
            if not address or not libc.dladdr(address, ctypes.byref(info)) or not info.fname:
                continue
            path = os.fsdecode(info.fname)
            if RUNTIME_OBJECTS.search(path):
                continue
            owner = ("torch" if "/torch/" in path else "ours" if "/korva/" in path else
                     "interpreter" if path == interpreter else os.path.basename(path))
            break
        owners.append(owner)
    return owners


def watch_frame_teardown(lib, where):
    """Tells the library where the interpreter's frame teardown lies in this process (see FRAME_TEARDOWN)."""
    path, base = interpreter_object()
    if where is None or path is None:
        return False
    value, size, relative = where
    low = value + (base if relative else 0)
    lib.watch(low, low + size)
    return True


def our_qualnames():
    """The qualified names of our functions, as the interpreter's messages name them."""
    names = set()
    modules = [sys.modules.get("korva.utils.display"), sys.modules.get("korva.rssp.tarvex")]
    for module in filter(None, modules):
        for value in vars(module).values():
            members = vars(value).values() if isinstance(value, type) else [value]
            for member in members:
                if callable(member) and getattr(member, "__module__", None) == module.__name__:
                    names.add(getattr(member, "__qualname__", ""))
    return names


INTERPRETER_CHECK = re.compile(r"<(.*)> returned (NULL without setting an exception|a result with an exception set)$")


def system_error_is_ours(error, ours, dropped_by_interpreter):
    """Whether a SystemError comes from our code: not when the interpreter dropped the exception
    in flight (FRAME_TEARDOWN), nor when its check of a callable's result names a callable that
    is not ours (a function of torch's, a built-in)."""
    if dropped_by_interpreter:
        return False
    match = INTERPRETER_CHECK.match(str(error))
    if match is None:
        return True
    named = match.group(1)
    for prefix in ("function ", "bound method "):
        if named.startswith(prefix):
            return named[len(prefix):].split(" ")[0] in ours
    return False  # a built-in function or method, a slot wrapper: someone else's C code


def prepare_thread(modules):
    """Raises one error through each module's code, and makes one nested call of it, before
    anything fails.

    The first C++ exception that a thread throws makes the C++ runtime's per-thread exception
    state, and the first nested call of a module reads its per-thread stack bound: both live in
    thread-local storage of libraries loaded after start-up, which glibc allocates with malloc on
    first use and, when that fails, ends the process ("cannot allocate memory for thread-local
    data", exit status 127). Target first_call probes exactly that, in a process of its own; the
    others start from a thread where it is done, so that they find more than that one fault.
    """
    for module in modules:
        try:
            if module.__name__ == "korva.utils.display":
                module.print_logo(None)
            else:
                module.SSSRRouter.forward()
        except TypeError:
            pass
        if module.__name__ == "korva.utils.display":

            class Nested:
                def __str__(self):
                    return module._c("")

            module._c(Nested())


def leave():
    """Ends a child with os._exit: no clean-up at exit, as what it would run is not under test. The
    modules of a coverage build (tools/coverage.sh) export gcov's __gcov_dump, which writes their
    counters as exit would have."""
    for name in ("korva.utils.display", "korva.rssp.tarvex"):
        module = sys.modules.get(name)
        dump = getattr(ctypes.CDLL(module.__file__), "__gcov_dump", None) if module else None
        if dump:
            dump()
    os._exit(0)


def child_main(options):
    faulthandler.enable()
    report_fd = os.dup(1)

    def emit(*words):
        os.write(report_fd, (" ".join(str(w) for w in words) + "\n").encode("utf-8", "backslashreplace"))

    def detail(k, n, text):
        emit("detail", k, n, ADDRESS.sub("0x?", text).replace("\n", "\\n")[:2000])

    lib = Failalloc()
    with open(options.references) as f:
        references = json.load(f)
    watching = watch_frame_teardown(lib, json.loads(options.frame_teardown))

    # The library must be preloaded and must fail what it is told to.
    lib.arm(0, 1)
    try:
        bytearray(1 << 16)
        failing = False
    except MemoryError:
        failing = True
    finally:
        lib.disarm()
    if not failing:
        sys.exit("failalloc does not fail allocations: is it preloaded?")

    items = [item.split(":") for item in options.items]
    stop_at, stop_n = None, 0
    if options.stop_at:
        stop_k, stop_phase, stop_n = options.stop_at.split(":")
        stop_at, stop_n = (int(stop_k), stop_phase), int(stop_n)
    if any(group_of(target) == "torch" for target, _ in items):
        import torch

        torch.set_num_threads(1)
        torch.set_grad_enabled(False)
    import korva.utils.display
    modules = [korva.utils.display]
    if any(group_of(target) == "torch" for target, _ in items):
        import korva.rssp.tarvex

        modules.append(korva.rssp.tarvex)
    for module in modules:
        if options.module_prefix and not module.__file__.startswith(options.module_prefix):
            sys.exit(f"{module.__name__} comes from {module.__file__}, not from {options.module_prefix}")
    if not options.fresh:
        prepare_thread(modules)
    import inspect  # noqa: F401  (read by signatures; imported here, not by the first armed call)
    ours = our_qualnames()
    real_stdout = sys.stdout
    sink = __import__("io").StringIO()

    def run(case, n, count):
        """One call, armed when n is not None. Returns (value, error, output, counted)."""
        sink.seek(0)
        sink.truncate()
        if case.before:
            case.before()
        value = error = None
        counted = -1
        sys.stdout = sink
        gc.disable()
        if n is not None:
            lib.arm(n, count)
        try:
            value = case.call()
        except BaseException as e:
            error = e
        finally:
            if n is not None:
                while True:  # the call into ctypes allocates nothing, but a failing span may outlast it
                    try:
                        counted = lib.disarm()
                        break
                    except MemoryError:
                        pass
        gc.enable()
        sys.stdout = real_stdout
        if case.after:
            case.after()
        return value, error, sink.getvalue(), counted

    def observed(case, value, error, output):
        if error is not None:
            return f"raised {type(error).__name__}: {error}\n{output}"
        try:
            return case.observe(value, output)
        except Exception as e:  # a result that cannot even be looked at is not the normal one
            return f"unobservable {type(e).__name__}: {e}"

    for k, (target, mode) in enumerate(items):
        if k < options.first:
            continue
        count = MODES[mode]
        case = ALL_TARGETS[target]()
        reference = references[target]["normal"]
        alternatives = set(references[target]["alternatives"])
        emit("item", k, target, mode)
        phases = ["cold", "warm"]
        if k == options.first and options.phase == "warm":
            phases = ["warm"]
        for phase in phases:
            start = options.start if k == options.first and phase == options.phase else 0
            emit("phase", k, phase)
            if phase == "warm":
                emit("warmup", k)
                value, error, output, _ = run(case, None, 0)
                text = observed(case, value, error, output)
                if digest(text) != reference:
                    emit("warmup_differs", k)
                    detail(k, -1, text)
                del value, error
            n = start
            while n < MAX_N:
                if stop_at == (k, phase) and n >= stop_n:
                    emit("end")  # a rerun up to a crash: nothing after it
                    leave()
                emit("arm", k, n)
                value, error, output, counted = run(case, n, count)
                text = observed(case, value, error, output)
                # A request that torch made and could not have: what torch does then (a wrong
                # result from its matrix product, a SystemError) is torch's.
                owners = requesters(lib) if error is None or isinstance(error, SystemError) else None
                torch_failed = bool(owners) and all(owner == "torch" for owner in owners)
                if error is None:
                    outcome = "normal" if digest(text) == reference else (
                        "alternative" if digest(text) in alternatives else
                        "different:torch" if torch_failed else "different")
                elif isinstance(error, SystemError):
                    mine = not torch_failed and system_error_is_ours(error, ours,
                                                                     watching and lib.failed_watched() > 0)
                    outcome = "SystemError:ours" if mine else "SystemError:others"
                elif digest(text) == reference:
                    outcome = "normal"  # the call's normal outcome is this exception
                else:
                    outcome = type(error).__name__
                emit("got", k, n, counted, outcome)
                if outcome in ("different", "different:torch", "SystemError:ours", "SystemError:others"):
                    teardown = ", under the interpreter's frame teardown" if lib.failed_watched() else ""
                    detail(k, n, f"{text} (failed requests made by: {', '.join(owners or ['?'])}{teardown})")
                del value, error
                complete = counted <= n
                if phase == "warm" or complete:
                    value, error, output, _ = run(case, None, 0)
                    text = observed(case, value, error, output)
                    emit("check", k, n, "ok" if digest(text) == reference else "differs")
                    if digest(text) != reference:
                        detail(k, n, text)
                    del value, error
                if complete:
                    emit("done", k, phase, n)
                    break
                n += 1
            else:
                emit("endless", k, phase, n)
    emit("end")
    sys.stdout.flush()
    leave()


def reference_main(options):
    """Each target once, nothing failing: the digests of the normal results."""
    import korva.utils.display  # noqa: F401

    targets = options.items
    if any(group_of(t) == "torch" for t in targets):
        import torch

        torch.set_num_threads(1)
        torch.set_grad_enabled(False)
    real_stdout = sys.stdout
    result = {}
    for target in targets:
        case = ALL_TARGETS[target]()
        sink = __import__("io").StringIO()
        if case.before:
            case.before()
        sys.stdout = sink
        try:
            value, error = case.call(), None
        except Exception as e:
            value, error = None, e
        sys.stdout = real_stdout
        if case.after:
            case.after()
        if error is not None:
            text = f"raised {type(error).__name__}: {error}\n{sink.getvalue()}"
        else:
            text = case.observe(value, sink.getvalue())
        result[target] = dict(normal=digest(text),
                              alternatives=[digest(case.observe(v, out)) for v, out in case.alternatives()])
    with open(options.references, "w") as f:
        json.dump(result, f)
    leave()


# ---------------------------------------------------------------------------------------------
# The parent: builds the library, runs the children, resumes after crashes, reruns each crash
# alone for its backtrace, and prints the figures.


def build_library():
    if os.path.exists(LIBRARY) and os.path.getmtime(LIBRARY) >= os.path.getmtime(LIBRARY_SOURCE):
        return
    os.makedirs(os.path.dirname(LIBRARY), exist_ok=True)
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-g", "-Wall", "-Wextra", "-shared", "-fPIC", "-fexceptions", "-o",
                    LIBRARY, LIBRARY_SOURCE, "-ldl", "-lpthread"], check=True)


def sanitizer_runtimes():
    gxx = os.environ.get("CXX", "g++")
    return [subprocess.run([gxx, f"-print-file-name={lib}"], capture_output=True, text=True, check=True).stdout.strip()
            for lib in ("libasan.so", "libubsan.so")]


class Build:
    """The modules under test and the environment their children run in: the installed ones
    (release), or those of a build directory (`modules`, as `PYTHONPATH=build/dev/python` finds
    them), or the sanitizer build's."""

    def __init__(self, name, modules=None):
        self.name = name
        env = dict(os.environ)
        env["PYTHONMALLOC"] = "malloc"
        env["PYTHONFAULTHANDLER"] = "1"
        env.pop("PYTHONPATH", None)
        self.module_prefix = ""
        self.title = f"{name} build" + (f" (modules in {modules})" if modules else "")
        if modules:
            env["PYTHONPATH"] = self.module_prefix = os.path.abspath(modules)
        if name == "release":
            env["LD_PRELOAD"] = LIBRARY
        else:
            # Ours comes first, so that its malloc is the one every caller finds; it passes what
            # it does not fail on to the sanitizer's. Its operator new serves the C++ code from
            # malloc and its delete frees there: the sanitizer sees one pair of functions, and
            # its checks of mismatched new and delete are off for this run only.
            env["LD_PRELOAD"] = " ".join([LIBRARY] + sanitizer_runtimes())
            env["ASAN_OPTIONS"] = ("detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048:"
                                   "abort_on_error=1:verify_asan_link_order=0:alloc_dealloc_mismatch=0:"
                                   "new_delete_type_mismatch=0")
            env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
            env["PYTHONPATH"] = self.module_prefix = os.path.abspath(modules or os.path.join(SANITIZE_BUILD, "python"))
        self.env = env
        self.python = sys.executable
        path, _ = interpreter_object()
        self.frame_teardown = elf_function(path, FRAME_TEARDOWN) if path else None


class Unit:
    """Work items that run one after another in the same children."""

    def __init__(self, build, items):
        self.build = build
        self.items = items  # [(target, mode)]
        self.stats = [dict(runs=0, outcomes={}, complete={}) for _ in items]
        self.failures = []  # dicts
        self.others = []  # SystemErrors that are not ours
        self.crashes = []  # (k, phase, n, stage, description)
        self.children = 0


def child_command(build, references, items, first, phase, start, stop_at=None):
    command = [build.python, os.path.abspath(__file__), "--child", "--references", references,
               "--first", str(first), "--phase", phase, "--start", str(start),
               "--frame-teardown", json.dumps(build.frame_teardown)]
    if stop_at is not None:
        command += ["--stop-at", ":".join(str(x) for x in stop_at)]
    if build.module_prefix:
        command += ["--module-prefix", build.module_prefix]
    if any(t in FRESH for t, _ in items):
        command.append("--fresh")
    return command + ["--items"] + [f"{t}:{m}" for t, m in items]


def run_child(command, env, timeout):
    with tempfile.TemporaryFile() as err:
        try:
            done = subprocess.run(command, env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=err, timeout=timeout)
            stdout, returncode = done.stdout, done.returncode
        except subprocess.TimeoutExpired as e:
            stdout, returncode = e.stdout or b"", None
        err.seek(0)
        stderr = err.read().decode("utf-8", "replace")
    return stdout.decode("utf-8", "replace").splitlines(), returncode, stderr


def describe_exit(returncode, stderr=""):
    if "cannot allocate memory for thread-local data" in stderr:
        return f"glibc ended the process: cannot allocate memory for thread-local data (exit status {returncode})"
    if returncode is None:
        return "hang (killed after the time limit)"
    if returncode < 0:
        import signal

        try:
            return f"crash: signal {signal.Signals(-returncode).name}"
        except ValueError:
            return f"crash: signal {-returncode}"
    return f"exit status {returncode}"


# Where a child was when it ended: the steps after which the next child resumes at N + 1.
AT_N = ("the armed call", "the normal call after it", "after the normal call")


def run_unit(unit, references, timeout):
    """Runs the unit's items to the end, resuming after each crash; returns the unit."""
    first, phase, start = 0, "cold", 0
    attempts = {}
    while first < len(unit.items):
        command = child_command(unit.build, references, unit.items, first, phase, start)
        lines, returncode, stderr = run_child(command, unit.build.env, timeout)
        unit.children += 1
        k, where, stage, n, phase_start = first, phase, "starting", start, start
        finished = False
        described = None  # the record that a following detail line describes
        for line in lines:
            word = line.split(" ")
            kind = word[0]
            if kind == "detail":
                if described is not None:
                    described["detail"] = line.split(" ", 3)[3] if len(word) > 3 else ""
                described = None
                continue
            described = None
            if kind == "end":
                finished = True
            elif kind == "item":
                k, stage = int(word[1]), "preparing the target"
            elif kind == "phase":
                where, stage = word[2], "starting the phase"
                n = phase_start = start if (k, where) == (first, phase) else 0
            elif kind == "warmup":
                stage = "the normal call before the failures"
            elif kind == "warmup_differs":
                described = dict(k=k, phase=where, n=None, what="the normal call before the failures gave a "
                                 "different result")
                unit.failures.append(described)
            elif kind == "arm":
                n, stage = int(word[2]), "the armed call"
            elif kind == "got":
                counted, outcome = int(word[3]), word[4]
                stats = unit.stats[k]
                stats["runs"] += 1
                stats["outcomes"][outcome] = stats["outcomes"].get(outcome, 0) + 1
                stats["largest"] = max(stats.get("largest", 0), counted)
                stage = "the normal call after it"
                if outcome == "different":
                    described = dict(k=k, phase=where, n=n, what="returned a different result without raising")
                    unit.failures.append(described)
                elif outcome == "SystemError:ours":
                    described = dict(k=k, phase=where, n=n, what="SystemError")
                    unit.failures.append(described)
                elif outcome in ("SystemError:others", "different:torch"):
                    described = dict(k=k, phase=where, n=n)
                    unit.others.append(described)
            elif kind == "check":
                stage = "after the normal call"
                if word[3] != "ok":
                    described = dict(k=k, phase=where, n=n, what="not working afterwards: the normal call gave a "
                                     "different result")
                    unit.failures.append(described)
            elif kind == "done":
                unit.stats[k]["complete"][where] = int(word[3])
                stage = "done"
            elif kind == "endless":
                unit.failures.append(dict(k=k, phase=where, n=int(word[3]), what=f"still allocating after {MAX_N} "
                                          "requests"))
        if finished and returncode == 0:
            break
        # The child ended early: record where, and resume after that point.
        unit.crashes.append(dict(k=k, phase=where, n=n if stage in AT_N else None, stage=stage,
                                 what=describe_exit(returncode, stderr), stderr=stderr[-6000:],
                                 child=(first, phase, start)))
        key = (k, where, n, stage)
        attempts[key] = attempts.get(key, 0) + 1
        if stage in AT_N:
            first, phase, start = k, where, n + 1
        elif stage == "done":
            first, phase, start = (k, "warm", 0) if where == "cold" else (k + 1, "cold", 0)
        elif attempts[key] == 1:
            first, phase, start = k, where, phase_start  # once more, in a fresh process
        else:
            first, phase, start = k + 1, "cold", 0  # the target cannot even start: give it up
    return unit


# Stops at a signal, or where the process ends itself with a failure status (glibc's fatal errors
# call _exit).
GDB_SCRIPT = """set pagination off
set confirm off
set breakpoint pending on
{env}
break _exit{condition}
commands
bt 60
continue
end
run
bt 60
kill
quit
"""
EXIT_STATUS_REGISTER = {"x86_64": "$rdi", "aarch64": "$x0"}


def backtrace(unit, crash, references, timeout):
    """Reruns a crash for its backtrace: alone first (a fresh process, from its N), then, where it
    does not happen again, as the child that met it ran (from where that one started, up to N).
    Returns (how it happened again, or None; the trace; where it is)."""
    k, phase, n = crash["k"], crash["phase"], crash["n"]
    stop = (n or 0) + 1
    first, child_phase, start = crash["child"]
    reruns = [("alone", child_command(unit.build, references, unit.items[k:k + 1], 0, phase, n or 0,
                                      (0, phase, stop)))]
    if (first, child_phase, start) != (k, phase, n or 0):
        reruns.append(("after the same calls", child_command(unit.build, references, unit.items, first, child_phase,
                                                             start, (k, phase, stop))))
    for how, command in reruns:
        crashed, trace, where = rerun(unit.build, command, timeout)
        if crashed:
            return how, trace, where
    return None, trace, where


def rerun(build, command, timeout):
    """Runs a child, under gdb where there is one: whether it crashed, its trace, where."""
    if shutil.which("gdb") is None:
        lines, returncode, stderr = run_child(command, build.env, timeout)
        frames = [line.strip() for line in stderr.splitlines() if re.match(r"\s*#\d+ ", line)]
        return returncode != 0, stderr[-6000:], classify(frames)
    # The preloaded libraries and the allocator's settings are the program's, not gdb's.
    inferior = ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    env_lines = "\n".join(f"set environment {key}={value}" for key, value in build.env.items() if key in inferior)
    import platform

    register = EXIT_STATUS_REGISTER.get(platform.machine())
    with tempfile.NamedTemporaryFile("w", suffix=".gdb", delete=False) as f:
        f.write(GDB_SCRIPT.format(env=env_lines, condition=f" if {register} != 0" if register else ""))
        script = f.name
    env = {key: value for key, value in build.env.items() if key not in inferior}
    try:
        done = subprocess.run(["gdb", "-q", "-batch", "-x", script, "--args"] + command, env=env, cwd=ROOT,
                              capture_output=True, text=True, errors="replace", timeout=timeout)
        output = done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        output = "(gdb timed out)"
    finally:
        os.unlink(script)
    lines = output.splitlines()
    ending = next((line for line in lines if "received signal" in line or "exited with code" in line), "")
    # The last run of frames: the signal's, or the one printed at _exit.
    frames = []
    for line in lines:
        if re.match(r"#\d+ ", line):
            frames = [] if line.startswith("#0 ") else frames
            frames.append(line)
    messages = [line for line in lines if not line.startswith("#") and
                ("ABORT" in line or "terminate called" in line or "what():" in line or "Fatal Python" in line)]
    # A sanitizer's report, which comes before its abort, says more than the abort's frames.
    report = [line for line in lines if re.match(r"==\d+==|\s+#\d+ 0x", line)]
    trace = "\n".join([ending] + messages + report[:60] + frames) if frames else output[-4000:]
    return bool(ending), trace, classify(frames)


RUNTIMES = re.compile(r"libc\.so|libc-|libstdc\+\+|libgcc_s|ld-linux|failalloc|libasan|libubsan|libpthread|"
                      r"nptl/|stdlib/|sysdeps/|signal/|elf/|csu/|libsanitizer")


def classify(frames):
    """Where a crash is: the library or source file of the innermost frame outside the C and C++
    runtimes and the preloaded libraries."""
    for frame in frames:
        where = frame.split()[-1].strip("()")
        if where in ("", "??") or RUNTIMES.search(where):
            continue
        if re.search(r"/korva/|(^|/)src/(pycore|display|tarvex)/|display\.cpython|tarvex\.cpython", where):
            return "ours"
        if "/torch/" in where:
            return "inside torch"
        if re.search(r"libpython|^(\./)?(Objects|Python|Modules|Parser|Include)/|/bin/python", where):
            return "inside the interpreter"
        return f"elsewhere ({where})"
    return "unknown"


def crash_groups(units):
    """Crashes of one target, mode and phase with the same description, in order of N."""
    groups = {}
    for u in units:
        for c in u.crashes:
            target, mode = u.items[c["k"]]
            key = (u.build.name, target, mode, c["phase"], c["stage"], c["what"])
            groups.setdefault(key, (u, []))[1].append(c)
    return list(groups.values())


def spans(numbers):
    """[0, 1, 2, 5] as "0..2, 5"."""
    out, numbers = [], sorted(n for n in numbers if n is not None)
    for n in numbers:
        if out and out[-1][1] == n - 1:
            out[-1][1] = n
        else:
            out.append([n, n])
    return ", ".join(f"{a}..{b}" if a != b else f"{a}" for a, b in out) or "-"


def summarise(units, builds, elapsed, torch_crashes_pass):
    failed = False
    for build in builds:
        bunits = [u for u in units if u.build is build]
        print(f"\nAllocation failure, {build.title}: each request of each call failed in turn, in modes "
              f"single (the Nth only) and span (the Nth and the {SPAN - 1} after it), phases cold and warm.")
        rows = {}
        for u in bunits:
            for (target, mode), stats in zip(u.items, u.stats):
                row = rows.setdefault(target, dict(runs=0, outcomes={}, largest=0, crashes=0, failures=0))
                row["runs"] += stats["runs"]
                row["largest"] = max(row["largest"], stats.get("largest", 0))
                for outcome, count in stats["outcomes"].items():
                    row["outcomes"][outcome] = row["outcomes"].get(outcome, 0) + count
            for c in u.crashes:
                rows[u.items[c["k"]][0]]["crashes"] += 1
            for f in u.failures:
                rows[u.items[f["k"]][0]]["failures"] += 1
        width = max([len(t) for t in rows] + [14])
        print(f"  {'target':<{width}}  {'calls':>6}  {'normal':>6}  {'MemoryError':>11}  {'crashes':>7}  "
              f"{'failures':>8}  {'requests':>8}  other outcomes")
        totals = dict(runs=0, normal=0, memory=0, crashes=0, failures=0, other={})
        for target, row in rows.items():
            outcomes = dict(row["outcomes"])
            normal = outcomes.pop("normal", 0)
            memory = outcomes.pop("MemoryError", 0)
            other = ", ".join(f"{name} {count}" for name, count in sorted(outcomes.items(), key=lambda x: -x[1]))
            print(f"  {target:<{width}}  {row['runs']:>6}  {normal:>6}  {memory:>11}  {row['crashes']:>7}  "
                  f"{row['failures']:>8}  {row['largest']:>8}  {other}")
            totals["runs"] += row["runs"]
            totals["normal"] += normal
            totals["memory"] += memory
            totals["crashes"] += row["crashes"]
            totals["failures"] += row["failures"]
            for name, count in outcomes.items():
                totals["other"][name] = totals["other"].get(name, 0) + count
        other = ", ".join(f"{name} {count}" for name, count in sorted(totals["other"].items(), key=lambda x: -x[1]))
        print(f"  {'all ' + str(len(rows)) + ' targets':<{width}}  {totals['runs']:>6}  {totals['normal']:>6}  "
              f"{totals['memory']:>11}  {totals['crashes']:>7}  {totals['failures']:>8}  {'':>8}  {other}")
        print(f"  calls: armed calls; requests: the most that one armed call made; child processes: "
              f"{sum(u.children for u in bunits)}")
        for u in bunits:
            kinds = {}
            for f in u.failures:
                kinds.setdefault((f["k"], f["phase"], f["what"]), []).append(f)
            for (k, phase, what), group in kinds.items():
                target, mode = u.items[k]
                failed = True
                print(f"FAILED {build.name} {target} {mode} {phase}, {what}: N = {spans(f['n'] for f in group)} "
                      f"({len(group)} calls)")
                for f in [f for f in group if f.get("detail")][:2]:
                    print(f"    N={f['n']}: {f['detail'][:1500]}")
        others = {}
        for u in bunits:
            for o in u.others:
                others.setdefault((u.items[o["k"]][0], o.get("detail", "").split("\\n")[0]), []).append(o)
        if others:
            print("  Not counted as ours: SystemErrors where the interpreter dropped the exception in flight, or "
                  "where its check names a callable not ours, and results that differ, when torch made every "
                  "failed request:")
            for (target, text), group in others.items():
                print(f"    {target}: {len(group)} x {text[:200]}")
        for u, group in crash_groups(bunits):
            c = group[0]
            target, mode = u.items[c["k"]]
            where = c.get("where", "not rerun")
            passes = torch_crashes_pass and where == "inside torch"
            failed = failed or not passes
            rerun = {"alone": "crashes again alone", "after the same calls": "crashes again only after the same "
                     "calls before it in one process", None: "does not crash again"}.get(c.get("reproduced"),
                                                                                        "not rerun")
            print(f"{'CRASH (inside torch, allowed)' if passes else 'FAILED'} {build.name} {target} {mode} "
                  f"{c['phase']}, {c['what']}, in {c['stage']}: N = {spans(x['n'] for x in group)} "
                  f"({len(group)} crashes); N={c['n']} rerun: {rerun}; where: {where}")
            trace = c.get("trace") or c["stderr"]
            print("    " + "\n    ".join(trace.splitlines()[:32]))
    print(f"\nwall time {elapsed:.0f} s")
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", action="append", choices=["release", "sanitize"],
                        help="the installed modules (release) or build/sanitize; repeatable (default release)")
    parser.add_argument("--modules", metavar="DIR",
                        help="for the release build, the modules of a build directory (build/dev/python) "
                             "rather than the installed ones")
    parser.add_argument("--sanitize-modules", metavar="DIR",
                        help="for the sanitize build, modules other than build/sanitize/python")
    parser.add_argument("--targets", nargs="+", help=f"default: all but {', '.join(EXTRA_TARGETS)}")
    parser.add_argument("--modes", nargs="+", choices=list(MODES), default=list(MODES))
    parser.add_argument("--jobs", type=int, default=min(2, os.cpu_count() or 1))
    parser.add_argument("--timeout", type=int, default=CHILD_TIMEOUT, help="seconds for one child process")
    parser.add_argument("--torch-crashes-pass", action="store_true",
                        help="a crash whose backtrace is inside torch does not fail the run")
    parser.add_argument("--backtraces", type=int, default=6,
                        help="kinds of crash rerun for a backtrace, at most (default 6)")
    # The child's side.
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--reference", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--references", help=argparse.SUPPRESS)
    parser.add_argument("--items", nargs="+", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--phase", default="cold", help=argparse.SUPPRESS)
    parser.add_argument("--start", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--stop-at", help=argparse.SUPPRESS)
    parser.add_argument("--module-prefix", default="", help=argparse.SUPPRESS)
    parser.add_argument("--fresh", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--frame-teardown", default="null", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child_main(options)
    if options.reference:
        return reference_main(options)

    started = time.monotonic()
    targets = options.targets or [t for t in ALL_TARGETS if t not in EXTRA_TARGETS]
    unknown = [t for t in targets if t not in ALL_TARGETS]
    if unknown:
        parser.error(f"unknown targets: {', '.join(unknown)}; known: {', '.join(ALL_TARGETS)}")
    build_library()
    builds = [Build(name, options.modules if name == "release" else options.sanitize_modules)
              for name in (options.build or ["release"])]
    for b in builds:
        if b.module_prefix and not os.path.isdir(b.module_prefix):
            sys.exit(f"no modules in {b.module_prefix}" + (": run tools/sanitize.sh --build-only first"
                                                          if b.name == "sanitize" else ""))

    work_dir = tempfile.mkdtemp(prefix="alloc_failure-")
    units = []
    references = {}
    failed = False
    for build in builds:
        path = os.path.join(work_dir, f"references-{build.name}.json")
        done = subprocess.run([build.python, os.path.abspath(__file__), "--reference", "--references", path,
                               "--items"] + targets, env=build.env, cwd=ROOT, capture_output=True, text=True,
                              timeout=options.timeout)
        if done.returncode != 0:
            print(f"{build.name}: the reference run failed ({describe_exit(done.returncode)}):\n{done.stderr[-3000:]}")
            failed = True
            continue
        references[build.name] = path
        torch_items = [(t, m) for m in options.modes for t in targets if group_of(t) == "torch" and t not in FRESH]
        # The torch targets share a process per mode (importing torch takes seconds); each display
        # target has its own, so that its cold phase is the process's first call of the module.
        for mode in options.modes:
            mode_items = [item for item in torch_items if item[1] == mode]
            if mode_items:
                units.append(Unit(build, mode_items))
        units += [Unit(build, [(t, m)]) for m in options.modes for t in targets
                  if group_of(t) == "display" or t in FRESH]

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        list(pool.map(lambda u: run_unit(u, references[u.build.name], options.timeout), units))
        firsts = [(u, group[0]) for u, group in crash_groups(units)]
        for u, c in firsts[:options.backtraces]:
            c["reproduced"], c["trace"], c["where"] = backtrace(u, c, references[u.build.name], options.timeout)

    failed = summarise(units, builds, time.monotonic() - started, options.torch_crashes_pass) or failed
    shutil.rmtree(work_dir, ignore_errors=True)
    print("allocation failure: " + ("FAILED" if failed else "passed"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
