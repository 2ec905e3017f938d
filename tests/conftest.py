import os
import sys

import pytest

# The test-only extension lives in the build tree, never in the installed package.
_testing_dir = os.environ.get("TAVIK_TESTING_DIR")
if _testing_dir:
    sys.path.insert(0, _testing_dir)


@pytest.fixture(scope="session")
def testing():
    """The native test extension; tests that need it fail loudly when it was not built."""
    import tavik_testing

    return tavik_testing
