"""Dict helpers: write."""
