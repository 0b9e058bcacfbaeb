"""Every differential harness by name: those of harnesses.py and the column
kernels' harness, which lives in a module of its own (columns_harness.py).
A new harness is one entry here (and its seed corpus in corpus/NAME/)."""
import columns_harness
import harnesses

CHECKS = {**harnesses.CHECKS, "columns": columns_harness.check_columns}
# Whether the operations a harness calls exist in the extension at hand.
AVAILABLE = {**harnesses.AVAILABLE, "columns": columns_harness.native is not None}
