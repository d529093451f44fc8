"""Builds a pivot record, changes it, pickles and restores it, and prints it with a window copy."""
import pickle

from torvex.dto.mavet import Mavet
from torvex.dto.snib import Snib

pivot = Snib(n=5, m=5, price=101.25, close_at_pivot=100.75, bar_index_at_pivot=420,
             bar_time_at_pivot=1700000000, is_high=True, is_trending=False,
             close_avg_percent=0.42)
pivot.used = True
restored = pickle.loads(pickle.dumps(pivot))
print(restored)

window = Mavet(break_kerd_at_price=restored.price, break_kerd_at_bar_index=431)
window.recovered = True
print(window.copy())
