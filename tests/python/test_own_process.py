import os

import pytest
from own_process import in_own_process

from torvex.dto.kerd import Kerd


def _fails():
    assert 1 + 1 == 3, "arithmetic moved"


def _dies():
    os._exit(3)


def _raises():
    raise KeyError("lost")


@pytest.mark.parametrize("body, says", [(_fails, "arithmetic moved"),
                                        (_dies, r"without an answer \(status 768\)"),
                                        (_raises, "KeyError: 'lost'")])
def test_what_goes_wrong_in_the_child_fails_the_test(body, says):
    with pytest.raises(AssertionError, match=says):
        in_own_process(body)()


def test_a_class_changed_in_the_child_is_unchanged_here(monkeypatch):
    @in_own_process
    def change(monkeypatch):
        monkeypatch.setattr(Kerd, "__init__", lambda self, *a, **k: None)
        Kerd.host_mark = 1
        assert Kerd.host_mark == 1

    own = Kerd.__dict__["__init__"]
    change(monkeypatch)
    assert Kerd.__dict__["__init__"] is own and "host_mark" not in Kerd.__dict__
