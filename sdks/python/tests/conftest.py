from pathlib import Path

import pytest

VECTORS = Path(__file__).resolve().parents[3] / "core" / "tests" / "vectors"


@pytest.fixture(scope="session")
def vectors_dir():
    return VECTORS

