"""A backtrader strategy on torvex signals: buy after a break-and-recover signal, stop below the
signalled level, take profit at the nearest resistance.

    PYTHONPATH=src python3 examples/bt_strategy.py [BARS.csv] [--plot chart.png]

Without a file it runs on the embedded data set (synthetic daily bars). Needs the ``bt`` extra;
``--plot`` also needs ``plot`` (matplotlib).
"""

import argparse
import math
from importlib import resources

import backtrader as bt

from torvex.bt import TorvexLevels


class BreakAndRecover(bt.Strategy):
    params = (
        ("stop_margin", 0.005),  # the stop sits this fraction below the level
        ("reward", 2.0),  # target in risk units when no resistance lies above
    )

    def __init__(self):
        self.levels = TorvexLevels(self.data)
        self.bracket = []

    def next(self):
        if self.position or self.bracket or not self.levels.signal[0]:
            return
        close = self.data.close[0]
        stop = self.levels.level[0] * (1.0 - self.p.stop_margin)
        if stop >= close:
            return
        target = self.levels.resistance[0]
        if math.isnan(target) or target <= close:
            target = close + self.p.reward * (close - stop)
        size = int(self.broker.getvalue() * 0.95 / close)
        self.bracket = self.buy_bracket(
            size=size, exectype=bt.Order.Market, stopprice=stop, limitprice=target
        )

    def notify_order(self, order):
        if not order.alive() and order in self.bracket:
            self.bracket.remove(order)
            if order.status == order.Completed and order.issell():
                self.bracket = []


def embedded_csv():
    return resources.files("torvex") / "data" / "sample_daily.csv"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bars", nargs="?", help="CSV with Date,Open,High,Low,Close (daily)")
    parser.add_argument("--plot", metavar="PNG", help="save backtrader's chart of the run")
    parser.add_argument("--last", type=int, default=320, help="bars shown in the chart")
    args = parser.parse_args()

    cerebro = bt.Cerebro()
    with resources.as_file(embedded_csv()) as sample:
        feed = bt.feeds.GenericCSVData(
            dataname=args.bars or str(sample),
            dtformat="%Y-%m-%d",
            datetime=0, open=1, high=2, low=3, close=4, volume=-1, openinterest=-1,
        )
        cerebro.adddata(feed)
        cerebro.addstrategy(BreakAndRecover)
        cerebro.addanalyzer(bt.analyzers.TradeAnalyzer, _name="trades")
        cerebro.broker.setcash(100_000.0)
        strategy = cerebro.run()[0]

    result = strategy.levels.result
    trades = strategy.analyzers.trades.get_analysis()
    closed = trades.get("total", {}).get("closed", 0)
    won = trades.get("won", {}).get("total", 0)
    print(f"{len(result.bars)} bars, {len(result.signals)} signals, {len(result.lines)} lines")
    print(f"{closed} trades closed, {won} won; final value {cerebro.broker.getvalue():,.2f}")
    if args.plot:
        import backtrader.plot  # noqa: F401  (it selects Tk on import)
        import matplotlib

        matplotlib.use("Agg")  # a file, no window
        count = len(result.bars)
        figures = cerebro.plot(
            start=max(0, count - args.last), iplot=False, style="candle", volume=False
        )
        figure = figures[0][0]
        figure.set_size_inches(14, 8)
        figure.savefig(args.plot, dpi=100)
        print("chart:", args.plot)


if __name__ == "__main__":
    main()
