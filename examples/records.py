"""Builds a pivot record, changes it, pickles and restores it, and prints it."""
import pickle

from torvex.dto.snib import Snib

pivot = Snib(n=5, m=5, price=101.25, close_at_pivot=100.75, bar_index_at_pivot=420,
             bar_time_at_pivot=1700000000, is_high=True, is_trending=False,
             close_avg_percent=0.42)
pivot.used = True
restored = pickle.loads(pickle.dumps(pivot))
print(restored)
