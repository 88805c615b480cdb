"""`python -m velmora_tools`: the `velmora` command."""

from velmora_tools.cli import console

if __name__ == "__main__":
    console()
