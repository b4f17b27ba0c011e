"""String helpers: sundle."""
