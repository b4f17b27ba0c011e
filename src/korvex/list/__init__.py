"""List helpers: read, ambrel, count and strutils."""
