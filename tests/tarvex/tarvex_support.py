"""Helpers shared by the tarvex tests."""

import pytest
import torch


@pytest.fixture(autouse=True, scope="module")
def single_thread():
    """Small tensors train fastest on one thread, and a busy machine cannot oversubscribe it."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


def states_equal(a, b):
    """Same keys in the same order, and bit-for-bit equal tensors."""
    a, b = a.state_dict(), b.state_dict()
    return list(a) == list(b) and all(torch.equal(a[k], b[k]) for k in a)
