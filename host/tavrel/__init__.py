"""Stand-in for the host application package (never shipped in the wheel)."""
