"""`python -m sornquibid`: the same as the `sornquibid` command."""

from sornquibid.cli import main

raise SystemExit(main())
