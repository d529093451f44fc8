"""Stand-in for the trading host's ``indicators.common`` package."""
