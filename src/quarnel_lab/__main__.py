"""``python -m quarnel_lab``: the ``quarnel`` command."""

from quarnel_lab.cli import main

# Guarded: the processes of a --local-cluster import this module again as they start.
if __name__ == "__main__":
    raise SystemExit(main())
