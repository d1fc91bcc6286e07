"""Our functions bound to an object: calls, attributes, signature, equality, copies and references."""

import copy
import gc
import inspect
import pickle
import sys
import textwrap
import types
import weakref

import pytest

import korva.utils.display as d
from conftest import run_python


class Holder:
    colour = d._c
    banner = d.forest_banner
    logo = d.print_logo
    _c = d._c  # under its own name, where pickling looks for it

    def __str__(self):
        return "held"

    def __repr__(self):
        return "<holder>"

    def __reduce__(self):
        return (Holder, ())


class TestCalls:
    def test_self_comes_first(self):
        h = Holder()
        assert h.colour(d.RED) == d.RED + "held" + d.RESET
        # A call through a tuple of arguments takes the path that copies them.
        assert h.colour(*[d.RED, d.BOLD]) == d.RED + d.BOLD + "held" + d.RESET
        assert h.colour() == "held" + d.RESET

    @pytest.mark.parametrize("count", [7, 8, 9, 30])
    def test_many_arguments_by_both_call_paths(self, count):
        codes = [str(i) for i in range(count)]
        expected = "".join(codes) + "held" + d.RESET
        h = Holder()
        assert h.colour(*codes) == expected
        assert eval("h.colour(" + ", ".join(repr(c) for c in codes) + ")") == expected

    def test_keywords_bind_after_self(self):
        class ForestHolder(int):
            banner = d.forest_banner

        assert ForestHolder(0).banner(3, seed=42, node_id="n") == d.forest_banner(0, 3, 42, "n")
        with pytest.raises(TypeError) as info:
            ForestHolder(0).banner(3, 42, "n", forest_idx=1)
        assert str(info.value) == "forest_banner() got multiple values for keyword argument 'forest_idx'"
        with pytest.raises(TypeError) as info:
            Holder().logo()
        assert str(info.value) == "print_logo() takes no arguments (1 given)"

    def test_references_are_returned(self):
        h, code = Holder(), "x" * 50
        before = (sys.getrefcount(h), sys.getrefcount(code), sys.getrefcount(d._c))
        for _ in range(1000):
            h.colour(code)
            h.colour(*[code])
            with pytest.raises(TypeError):
                h.banner(code, 1, 2, code)
            with pytest.raises(TypeError):
                h.colour(*[code], text=code)
        assert (sys.getrefcount(h), sys.getrefcount(code), sys.getrefcount(d._c)) == before


class TestAttributes:
    def test_function_and_self(self):
        h = Holder()
        m = h.colour
        assert m.__func__ is d._c and m.__self__ is h
        assert (m.__name__, m.__qualname__, m.__module__) == ("_c", "_c", "korva.utils.display")
        assert Holder().banner.__annotations__ is d.forest_banner.__annotations__
        assert h.banner.__globals__ is vars(d)
        assert d.epoch_bar.__get__(h).__doc__ == d.epoch_bar.__doc__ and m.__doc__ is None
        assert Holder.colour is d._c

    def test_read_only(self):
        m = Holder().colour
        for name in ("__func__", "__self__", "note"):
            with pytest.raises(AttributeError):
                setattr(m, name, 1)
        with pytest.raises(AttributeError):
            m.no_such_attribute

        # A name whose hash raises fails where the method type looks it up.
        class Name(str):
            def __hash__(self):
                raise LookupError("no hash")

        with pytest.raises(LookupError, match="no hash"):
            getattr(m, Name("note"))

    def test_signature_without_self(self):
        assert str(inspect.signature(Holder().colour)) == "(*codes)"

        # A *args parameter first takes self and stays, as for the interpreter's methods.
        class StarFirst:
            __signature__ = inspect.signature(lambda *args: None)

            def __call__(self, *args):
                pass

        for method in (type(Holder().colour), types.MethodType):
            assert str(inspect.signature(method(StarFirst(), Holder()))) == "(*args)"
        assert str(inspect.signature(Holder().banner)) == "(num_forests: 'int', seed: 'int', node_id: 'str') -> 'str'"
        with pytest.raises(ValueError, match="invalid method signature"):
            inspect.signature(Holder().logo)

    def test_repr(self):
        assert repr(Holder().banner) == "<bound method forest_banner of <holder>>"

    def test_signature_of_any_callable_is_checked(self):
        # A method made over a callable of the caller's reads its __signature__ as inspect reads
        # a bound method's: an inspect.Signature whose first parameter's kind is one of
        # inspect's own. An AttributeError from the method's own attribute is not the
        # callable's attribute. Run in a fresh interpreter, since a kind taken for a str crashes.
        proc = run_python(
            textwrap.dedent(
                """
                import inspect
                import korva.utils.display as d

                class Kind:
                    name = b"VAR_POSITIONAL"

                class Parameter:
                    kind = Kind()

                class Parameters:
                    def values(self):
                        return [Parameter()]

                class NotASignature:
                    parameters = Parameters()

                class OddKinds(inspect.Signature):
                    parameters = Parameters()

                class Broken(inspect.Signature):
                    @property
                    def parameters(self):
                        raise AttributeError("broken parameters")

                def keyword_only(*, x):
                    pass

                class Callable:
                    def __init__(self, signature):
                        self.__signature__ = signature
                    def __call__(self, *args):
                        pass

                method = type(d._c.__get__(object()))
                for signature in (NotASignature(), OddKinds(), Broken(), inspect.signature(keyword_only)):
                    m = method(Callable(signature), object())
                    try:
                        m.__signature__
                    except Exception as e:
                        print(type(e).__name__, str(e).split(" at 0x")[0])
                """
            )
        )
        assert proc.returncode == 0, proc.stderr[-3000:]
        assert proc.stdout == (
            "TypeError unexpected object <__main__.NotASignature object\n"
            "ValueError invalid argument type\n"
            "AttributeError broken parameters\n"
            "ValueError invalid method signature\n"
        )


class TestIdentity:
    def test_equal_when_same_function_and_same_self(self):
        h = Holder()
        assert h.colour == h.colour and hash(h.colour) == hash(h.colour)
        assert h.colour != Holder().colour and h.colour != h.banner
        assert (h.colour == d._c) is False and h.colour != "held"
        assert len({h.colour, h.colour, h.banner}) == 2
        with pytest.raises(TypeError):
            h.colour < h.colour

        # Over callables that cannot be compared or hashed, as the interpreter's methods.
        class Opaque:
            __hash__ = None

            def __eq__(self, other):
                raise ArithmeticError("no equality")

            def __call__(self):
                pass

        for method in (type(h.colour), types.MethodType):
            with pytest.raises(ArithmeticError, match="no equality"):
                method(Opaque(), h) == method(Opaque(), h)
            with pytest.raises(TypeError) as info:
                hash(method(Opaque(), h))
            assert str(info.value) == "unhashable type: 'Opaque'"

    def test_made_again_like_the_interpreters_methods(self):
        h = Holder()
        m = type(h.colour)(d._c, h)
        assert m == h.colour and m(d.RED) == h.colour(d.RED)
        for args, kwargs, message in [
            ((1, h), {}, "first argument must be callable"),
            ((d._c, None), {}, "instance must not be None"),
            ((d._c,), {}, "korva_method expected 2 arguments, got 1"),
            ((d._c, h), {"self": h}, "korva_method() takes no keyword arguments"),
        ]:
            with pytest.raises(TypeError) as info:
                type(h.colour)(*args, **kwargs)
            assert str(info.value) == message

    def test_pickle_copy_and_weak_method(self):
        h = Holder()
        for twin in (pickle.loads(pickle.dumps(h._c)), copy.deepcopy(h._c)):
            assert twin.__func__ is d._c and type(twin.__self__) is Holder and twin.__self__ is not h
        assert copy.copy(h.colour) == h.colour
        weak = weakref.WeakMethod(h.colour)
        assert weak() == h.colour
        del h
        gc.collect()
        assert weak() is None
        # A method freed with a weak reference to it: the reference is cleared, its callback runs.
        called = []
        weak = weakref.ref(Holder().colour, called.append)
        assert weak() is None and called == [weak]

    def test_cycle_through_a_stored_method_is_collected(self):
        h = Holder()
        h.keep = h.colour
        alive = weakref.ref(h)
        del h
        gc.collect()
        assert alive() is None
