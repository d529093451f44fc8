"""The command line, end to end: `python3 -m torvex run` on the embedded data and on small
files, bad input of every kind, JSON output checked against the bars themselves."""

import csv
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import torvex
from torvex.cli import main
from torvex.kit import Settings, close_avg_percent

# The package under test, wherever conftest found it (the sanitizer run stages its own copy).
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(torvex.__file__)))
SAMPLE = os.path.join(PACKAGE_ROOT, "torvex", "data", "sample_daily.csv")


HEADER = "Date,Open,High,Low,Close\n"
GOOD = "2020-01-02,10,11,9,10.5\n"


def cli(capsys, *argv):
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def expect_user_error(capsys, argv, message):
    code, out, err = cli(capsys, *argv)
    assert code == 1
    assert out == ""
    assert err.count("\n") == 1 and "Traceback" not in err
    assert err == f"torvex: error: {message}\n"


@pytest.mark.parametrize(
    "text, where",
    [
        ("", "empty file"),
        ("\n\n", "empty file"),
        (HEADER, "no bars"),
        ("Date,Open,High,Low\n" + GOOD, "row 1: missing column Close"),
        ("Open,High,Low,Close\n10,11,9,10\n", "row 1: missing column Date"),
        ("Date,Open,High,Low,Close,close\n" + GOOD, "row 1, column Close: column appears twice"),
        (HEADER + GOOD + "2020-01-03,10,abc,9,10\n", "row 3, column High: 'abc' is not a number"),
        (HEADER + GOOD + "2020-01-03,10,11,,10\n", "row 3, column Low: empty cell"),
        (HEADER + GOOD + "2020-01-03,10,11,9\n", "row 3, column Close: missing cell"),
        (HEADER + "2020-01-03,nan,11,9,10\n", "row 2, column Open: NaN price"),
        (HEADER + "2020-01-03,10,inf,9,10\n", "row 2, column High: infinite price"),
        (HEADER + "2020-01-03,10,11,-9,10\n", "row 2, column Low: price -9 is not above 0"),
        (
            HEADER + "2020-01-03,10,1.7e308,9,10\n",
            "row 2, column High: price 1.7e+308 is above 1e+15, the largest",
        ),
        (
            HEADER + GOOD + "\n2020-01-03,10,8.5,9,10\n",
            "row 4, column High: high 8.5 is below low 9",
        ),
        (HEADER + "2020-02-30,10,11,9,10\n", "row 2, column Date: '2020-02-30' is not a date"),
        (
            HEADER + GOOD + "2020-01-03,10,11,9,10\n2020-01-01,10,11,9,10\n",
            "row 4, column Date: 2020-01-01 is before 2020-01-03 of row 3",
        ),
        (HEADER + GOOD + GOOD, "row 3, column Date: 2020-01-02 repeats the date of row 2"),
        (
            HEADER + "2038-01-19 03:14:07,10,11,9,10\n2038-01-19 03:14:08,10,11,9,10\n",
            "row 3, column Date: 2038-01-19 03:14:08 is outside 1970..2038",
        ),
        (HEADER + 'x,"1\n', "row 2: malformed CSV: unexpected end of data"),
        (HEADER + '2020-01-02,"10"x,11,9,10\n', "row 2: malformed CSV: ',' expected after '\"'"),
    ],
)
def test_bad_csv_is_one_line_naming_row_and_column(tmp_path, capsys, text, where):
    path = write(tmp_path, "bars.csv", text)
    expect_user_error(capsys, ["run", path], f"{path}: {where}")


def test_columns_any_case_any_order_extra_ignored(tmp_path, capsys):
    from torvex.kit import load_bars

    path = write(
        tmp_path,
        "bars.csv",
        "volume,CLOSE,low,High,open,DATE\n7,10.5,9,11,10,2020-01-02\n8,11,10,12,10.5,2020-01-03\n",
    )
    bars = load_bars(path)
    assert bars.dates == ("2020-01-02", "2020-01-03")
    assert bars.close.tolist() == [10.5, 11.0] and bars.open.tolist() == [10.0, 10.5]
    assert bars.time.tolist() == [20200102, 20200103]


def test_intraday_bars_get_unix_seconds(tmp_path):
    from torvex.kit import load_bars

    # naive times are UTC; an offset is converted
    text = HEADER + "2024-03-01T09:30:00,10,11,9,10\n2024-03-01 10:31+01:00,10,11,9,10\n"
    bars = load_bars(write(tmp_path, "bars.csv", text))
    assert bars.time.tolist() == [1709285400, 1709285460]
    assert bars.dates == ("2024-03-01 09:30:00", "2024-03-01 09:31:00")


def test_non_utf8_and_missing_files(tmp_path, capsys):
    path = tmp_path / "bars.csv"
    path.write_bytes(b"Date,Open,High,Low,Close\n\xff\xfe\n")
    expect_user_error(capsys, ["run", str(path)], f"{path}: not UTF-8 text (byte 25)")
    missing = str(tmp_path / "nope.csv")
    expect_user_error(capsys, ["run", missing], f"{missing}: no such file")


def npz_bars(path, rows, dtype=None):
    dtype = dtype or [
        ("date", "U10"),
        ("Open", "f8"),
        ("HIGH", "f8"),
        ("low", "f8"),
        ("Close", "f8"),
    ]
    np.savez(path, bars=np.array(rows, dtype=dtype))


@pytest.mark.parametrize(
    "rows, dtype, where",
    [
        (
            [("2020-01-02", 10, 11, 9)],
            [("date", "U10"), ("Open", "f8"), ("High", "f8"), ("Low", "f8")],
            "missing field Close",
        ),
        (
            [("2020-01-02", 10, 11, 9, 10), ("2020-01-03", 10, 11, math.nan, 10)],
            None,
            "record 1, column Low: NaN price",
        ),
        (
            [("2020-01-03", 10, 11, 9, 10), ("2020-01-02", 10, 11, 9, 10)],
            None,
            "record 1, column Date: 2020-01-02 is before 2020-01-03 of record 0",
        ),
        ([], None, "no bars"),
    ],
)
def test_bad_npz(tmp_path, capsys, rows, dtype, where):
    path = str(tmp_path / "bars.npz")
    npz_bars(path, rows, dtype)
    expect_user_error(capsys, ["run", path], f"{path}[bars]: {where}")


@pytest.mark.parametrize("content", [b"Date,Open\n", bytes(range(256)) * 4], ids=["text", "bytes"])
def test_npz_that_is_not_an_archive(tmp_path, capsys, content):
    path = str(tmp_path / "bars.npz")
    with open(path, "wb") as f:
        f.write(content)
    expect_user_error(capsys, ["run", path], f"{path}: not an .npz file")


@pytest.mark.parametrize(
    "argv, message",
    [
        (
            ["--set", "high_snib_x=3"],
            "--set high_snib_x=3: unknown setting 'high_snib_x'; did you mean 'high_snib_n' or "
            "'high_snib_m'?",
        ),
        (
            ["--set", "high_snib_n=three"],
            "--set high_snib_n=three: setting high_snib_n: 'three' is not a whole number; "
            "accepted: 0 .. 9223372036854775807",
        ),
        (
            ["--set", "draw_from_recent"],
            "--set draw_from_recent: 'draw_from_recent' is not name=value",
        ),
        (
            ["--set", "bar_count_to_snib=0"],
            "--set bar_count_to_snib=0: setting bar_count_to_snib: '0' is below 1; "
            "accepted: 1 .. 9223372036854775807",
        ),
        (
            ["--set", "bar_count_to_snib=9223372036854775808"],
            "--set bar_count_to_snib=9223372036854775808: setting bar_count_to_snib: "
            "'9223372036854775808' is above 9223372036854775807; accepted: 1 .. 9223372036854775807",
        ),
        (["--plot-bars", "1"], "--plot-bars: needs at least 2 bars"),
    ],
)
def test_bad_settings_on_the_command_line(capsys, argv, message):
    expect_user_error(capsys, ["run", *argv], message)


def test_bad_settings_file(tmp_path, capsys):
    path = write(tmp_path, "s.txt", "high_snib_n = 4\nlow_snib_q = 4\n")
    expect_user_error(
        capsys,
        ["run", "--settings", path],
        f"{path}: line 2: unknown setting 'low_snib_q'; did you mean 'low_snib_n' or 'low_snib_m'?",
    )
    path = write(tmp_path, "s.json", '{"debug": "perhaps"}')
    expect_user_error(
        capsys,
        ["run", "--settings", path],
        f"{path}: setting debug: 'perhaps' is not true or false",
    )
    missing = str(tmp_path / "none.json")
    expect_user_error(capsys, ["run", "--settings", missing], f"{missing}: no such file")


def test_plot_without_matplotlib_is_one_line(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import fails
    expect_user_error(
        capsys,
        ["run", "--plot", "x.png"],
        "--plot needs matplotlib; install it with: pip install 'torvex[plot]'",
    )


def test_settings_command_lists_every_setting(capsys):
    code, out, _ = cli(capsys, "settings")
    assert code == 0
    listed = [line.split(" = ")[0].strip() for line in out.splitlines() if " = " in line]
    assert listed == list(Settings().as_dict())


# ---- end to end ---------------------------------------------------------------------------


def sample_rows():
    with open(SAMPLE, newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture(scope="module")
def sample_run(tmp_path_factory):
    """One run of the real command, as a user types it, on the embedded data."""
    out = tmp_path_factory.mktemp("run") / "result.json"
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)  # no host/: the kit finds it
    proc = subprocess.run(
        [sys.executable, "-m", "torvex", "run", "--json", str(out)],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    return proc, json.loads(out.read_text()) if out.exists() else None


def test_sample_run_summary(sample_run):
    proc, result = sample_run
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""  # not a terminal: no progress bar
    text = proc.stdout
    assert text.startswith("torvex run on sample_daily.csv (synthetic): 2500 bars, 2015-01-02 ..")
    assert f"\nLines at the last bar ({len(result['lines'])})" in text
    assert f"\nSignals ({len(result['signals'])}):" in text
    for signal in result["signals"]:
        assert f"  {signal['bar']:>6}  {signal['date']:<10}  {signal['level']:>10.2f}  " in text
    for reason, number in result["failure_counts"].items():
        assert f"  {reason:<26} {number:>5}\n" in text


def test_sample_run_json_agrees_with_the_bars(sample_run):
    proc, result = sample_run
    assert proc.returncode == 0, proc.stderr
    rows = sample_rows()
    s = Settings()
    high = np.array([float(r["High"]) for r in rows])
    low = np.array([float(r["Low"]) for r in rows])
    close = np.array([float(r["Close"]) for r in rows])
    caps = close_avg_percent(high, low, close, s.close_avg_length)
    assert (result["bars"], result["first_date"], result["last_date"]) == (
        len(rows),
        rows[0]["Date"],
        rows[-1]["Date"],
    )
    assert result["signals"] and result["lines"] and result["pivots"], "sample shows nothing"

    for pivot in result["pivots"]:
        assert pivot["date"] == rows[pivot["bar"]]["Date"]
        assert pivot["price"] == (high if pivot["is_high"] else low)[pivot["bar"]]
        assert len(rows) - 1 - pivot["bar"] < s.bar_count_to_snib + s.high_snib_m  # recent only

    pivot_prices = {p["price"] for p in result["pivots"]}
    for line in result["lines"]:
        assert line["pivots"] and set(line["pivots"]) <= pivot_prices
        assert min(line["pivots"]) <= line["level"] <= max(line["pivots"])
        assert line["start_bar"] <= line["end_bar"] <= line["reach"] < len(rows)
        assert line["start_date"] == rows[line["start_bar"]]["Date"]
        assert line["violated"] == (line["crossings"] > s.kerd_extend_bar_cross_threshold)

    last_signal_at = {}
    for signal in result["signals"]:
        bar, level = signal["bar"], signal["level"]
        assert signal["date"] == rows[bar]["Date"]
        assert signal["break_bar"] <= signal["recover_bar"] <= bar
        assert signal["recover_bar"] - signal["break_bar"] + 1 <= s.trap_recover_window_threshold
        assert signal["vvip"] == (signal["pivot_count"] >= s.vvip_kerd_min_snib_count)
        # the recovery close is above the level by the margin
        assert close[bar] > level * (1 + caps[bar] * 0.01 * s.close_above_kerd_threshold)
        # the bar before the break closed at or above the level
        assert close[signal["break_bar"] - 1] >= level
        key = round(level / s.mintick)
        if key in last_signal_at:
            assert bar - last_signal_at[key] > s.signal_window
        last_signal_at[key] = bar

    assert result["failure_counts"] == {
        reason: sum(reason in f["reasons"] for f in result["failures"])
        for reason in (
            "recover_window",
            "signal_window",
            "search_range_close_above",
            "extend_bar_cross",
        )
    }
    for failure in result["failures"]:
        assert failure["reasons"]
        late = failure["recover_bar"] - failure["break_bar"] + 1 > s.trap_recover_window_threshold
        assert late == ("recover_window" in failure["reasons"])


def test_csv_and_npz_of_the_same_bars_give_the_same_result(tmp_path, capsys):
    rows = sample_rows()[:700]
    path = tmp_path / "bars.csv"
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    npz = str(tmp_path / "bars.npz")
    npz_bars(
        npz, [(r["Date"], *(float(r[k]) for k in ("Open", "High", "Low", "Close"))) for r in rows]
    )
    settings = ["--set", "bar_count_to_snib=300", "--set", "vvip_kerd_min_snib_count=2"]
    results = []
    for source in (str(path), npz):
        out = tmp_path / "out.json"
        code, text, err = cli(capsys, "run", source, *settings, "--json", str(out))
        assert code == 0, err
        result = json.loads(out.read_text())
        assert result["settings"]["bar_count_to_snib"] == 300
        del result["source"], result["seconds"]
        results.append(result)
    assert results[0] == results[1]
    assert results[0]["bars"] == 700 and results[0]["lines"]


def test_json_to_stdout_replaces_the_summary(tmp_path, capsys):
    code, out, err = cli(capsys, "run", "--json", "-", "--set", "bar_count_to_snib=50")
    assert code == 0, err
    result = json.loads(out)
    assert result["settings"]["bar_count_to_snib"] == 50
    assert all(p["bar"] >= 2500 - 50 - 5 for p in result["pivots"])


def test_progress_bar_when_asked(capsys):
    code, out, err = cli(capsys, "run", "--progress", "--set", "bar_count_to_snib=20")
    assert code == 0
    assert err.startswith("\rtorvex: [") and err.endswith("] 100% 2500/2500 bars\n")


def test_unwritable_json_is_one_line(tmp_path, capsys):
    target = str(tmp_path / "missing_dir" / "out.json")
    expect_user_error(
        capsys,
        ["run", "--set", "bar_count_to_snib=20", "--json", target],
        f"{target}: cannot write: No such file or directory",
    )


def test_plot_writes_a_png(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    target = tmp_path / "chart.png"
    code, out, err = cli(capsys, "run", "--plot", str(target))
    assert code == 0, err
    assert out.endswith(f"chart written to {target}\n")
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("argv", [["run"], ["run", "--json", "-"], ["settings"]], ids=str)
def test_a_reader_that_goes_away_ends_the_command_quietly(argv):
    # `python3 -m torvex run | head`: the pipe is closed before the command writes
    read, write = os.pipe()
    os.close(read)
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    try:
        proc = subprocess.run([sys.executable, "-m", "torvex", *argv], stdout=write,
                              stderr=subprocess.PIPE, env=env, text=True, timeout=300)
    finally:
        os.close(write)
    assert (proc.returncode, proc.stderr) == (0, "")


@pytest.mark.parametrize("texts, labels", [
    (["2024-03-01", "2024-03-04"], ["2024-03-01", "2024-03-04"]),
    (["2024-03-01 15:30:00-05:00", "2024-03-01 16:00:00-05:00", "2024-03-04 09:30:00-05:00"],
     ["15:30\n2024-03-01", "16:00", "09:30\n2024-03-04"]),
    (["2024-03-01 23:00:00", "2024-03-02"], ["23:00\n2024-03-01", "00:00\n2024-03-02"]),
])
def test_the_chart_labels_intraday_bars_with_their_time(texts, labels):
    from torvex.kit.plot import tick_labels

    assert tick_labels(texts) == labels


def test_too_few_bars_for_a_pivot_is_one_note(tmp_path, capsys):
    path = write(tmp_path, "bars.csv", HEADER + GOOD + "2020-01-03,10,11,9,10\n")
    code, out, err = cli(capsys, "run", path, "--set", "low_snib_n=2")
    assert (code, err) == (0, "")
    assert "\nnote: 2 bars are too few for any pivot: these settings need at least 8\n" in out
