"""Optional packages named in QUORVIN_TEST_WITHOUT (comma-separated) are made unimportable, so a
machine with every optional package installed also proves the paths taken without them."""

import os
import sys

for _name in filter(None, os.environ.get("QUORVIN_TEST_WITHOUT", "").split(",")):
    # None in sys.modules makes ``import name`` raise ImportError, as a missing package does.
    sys.modules[_name.strip()] = None  # type: ignore[assignment]

