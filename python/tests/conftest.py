import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import halvex  # noqa: E402


@pytest.fixture
def boards():
    """The default simulated boards, freshly started: 1100 (layout 1), 805C (2), 80E8 (3)."""
    return halvex.sim.use_default_boards()


@pytest.fixture
def board(boards):
    """A board that streams, with real-time pacing."""
    return boards[1]
