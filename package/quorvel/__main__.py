"""``python -m quorvel``: the command line (see quorvel._cli)."""

from quorvel._cli import main

# Guarded, so that tools which import every module of the package (type
# checkers comparing the stub with the runtime) do not run the command.
if __name__ == "__main__":
    main()
