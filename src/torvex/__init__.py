"""torvex: support-and-resistance indicator engine."""
