"""list.write: print the elements of a list."""

__all__ = ["write"]


def write(ls, sep=" ", end="\n"):
    """Print the elements of *ls* as ``print(*ls, sep=sep, end=end)`` does.

    The output goes to ``sys.stdout`` as it is at the time of the call.
    """
    print(*ls, sep=sep, end=end)
