"""``python -m quorvel``: the command line (see quorvel._cli)."""

from quorvel._cli import main

main()
