"""Writers for lists."""
