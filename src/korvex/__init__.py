"""korvex: list helpers for CPython 3.13, as native extension modules."""


def __getattr__(name):
    # __version__ comes from the installed distribution's metadata, read on
    # first use: importing importlib.metadata costs many times more than
    # importing a korvex module, so plain imports don't pay for it.
    if name == "__version__":
        from importlib.metadata import version

        value = globals()["__version__"] = version("korvex")
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
