import pytest

import vesk


@pytest.mark.valgrind
def test_module_docstring():
    assert vesk.__doc__ == "Python module definition."


def test_built_for_the_stable_abi():
    assert vesk.__file__.endswith(".abi3.so")
