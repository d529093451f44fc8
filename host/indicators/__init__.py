"""Stand-in for the trading host's ``indicators`` package (only what torvex imports)."""
