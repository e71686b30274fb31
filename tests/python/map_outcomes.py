"""What `_map` does with a model the board cannot take, both ways."""
import numpy as np
import pytest


def refused_or_in_software(core, model, device, x, hw_only, pattern, constraints=None):
    """With hw_only `_map` raises a RuntimeError matching `pattern` and maps nothing; without it the
    whole model runs in software and computes what it computed before mapping."""
    expected = model.forward(x)
    if hw_only:
        with pytest.raises(RuntimeError, match=pattern):
            model._map(device, hw_only=True, constraints=constraints)
        assert model.sequences == []
        return
    model._map(device, constraints=constraints)
    assert [s.backend for s in model.sequences] == [core.BackendType.Software]
    np.testing.assert_array_equal(model.forward(x), expected)
