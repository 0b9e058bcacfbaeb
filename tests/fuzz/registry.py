"""Every differential harness by name: those of harnesses.py, and those that
live in modules of their own: the column kernels' (columns_harness.py) and
the text-line kernels' (lines_harness.py).
A new harness is one entry here (and its seed corpus in corpus/NAME/)."""
import columns_harness
import harnesses
import lines_harness

CHECKS = {**harnesses.CHECKS, "columns": columns_harness.check_columns,
          "lines": lines_harness.check_lines}
# Whether the operations a harness calls exist in the extension at hand.
AVAILABLE = {**harnesses.AVAILABLE, "columns": columns_harness.native is not None,
             "lines": getattr(lines_harness.native, "split_lines", None) is not None}
