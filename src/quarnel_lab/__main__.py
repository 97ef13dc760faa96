"""``python -m quarnel_lab``: the ``quarnel`` command."""

from quarnel_lab.cli import main

raise SystemExit(main())
