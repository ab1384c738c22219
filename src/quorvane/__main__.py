"""python -m quorvane FILE..."""

from ._cli import main

raise SystemExit(main())
