// One instrument's chart: candles, the final lines as segments, pivots, signals and failed
// recoveries, drawn with Lightweight Charts from a payload packed by torvex.report.payload.
'use strict';

const Torvex = (window.Torvex = window.Torvex || {});

Torvex.COLOURS = {
  up: '#26a69a',
  down: '#ef5350',
  line: '#1f4e9c',
  violated: '#9e9e9e',
  signal: '#ff9800',
  vvip: '#8e24aa',
  pivot: '#455a64',
  failure: '#d32f2f',
};

// base64 of gzip of the packed chart -> the payload: a JSON head after its length, then the
// bars' columns as typed arrays, 8-byte aligned (torvex.report.payload)
const ARRAYS = { i2: Int16Array, i4: Int32Array, f8: Float64Array };
const LITTLE = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

Torvex.inflate = async function (text) {
  if (!LITTLE) throw new Error('torvex report: needs a little-endian machine');
  const binary = atob(text.trim());
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('gzip'));
  const buffer = await new Response(stream).arrayBuffer();
  const length = new DataView(buffer).getUint32(0, true);
  const p = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  let at = 4 + length;
  for (const [name, code, count] of p.arrays) {
    at += (8 - (at % 8)) % 8;
    p[name] = new ARRAYS[code](buffer, at, count);
    at += p[name].byteLength;
  }
  return p;
};

function two(n) {
  return n < 10 ? '0' + n : String(n);
}

function utcText(seconds, daily) {
  const d = new Date(seconds * 1000);
  const day = d.getUTCFullYear() + '-' + two(d.getUTCMonth() + 1) + '-' + two(d.getUTCDate());
  if (daily) return day;
  const s = d.getUTCSeconds();
  return day + ' ' + two(d.getUTCHours()) + ':' + two(d.getUTCMinutes()) + (s ? ':' + two(s) : '');
}

// The bars as the library takes them, and how to name each bar's time.
function unpack(p) {
  const n = p.bars;
  const times = new Array(n);
  let label;
  if (p.time) {
    let t = p.time0;
    for (let i = 0; i < n; i++) times[i] = i ? (t += p.time[i - 1] * p.unit) : t;
    label = (i) => utcText(times[i], p.daily);
  } else {
    // no usable clock: one second per bar, named by the dates' own text
    for (let i = 0; i < n; i++) times[i] = i + 1;
    label = (i) => p.dates[i];
  }
  const bars = new Array(n);
  if (p.scale === null) {
    for (let i = 0; i < n; i++) {
      bars[i] = { time: times[i], open: p.o[i], high: p.h[i], low: p.l[i], close: p.c[i] };
    }
  } else {
    // integers on the price grid: exact, so dividing once gives the run's own doubles
    const power = 10 ** p.scale;
    let c = 0;
    for (let i = 0; i < n; i++) {
      const o = c + p.o[i];
      c = i ? c + p.c[i - 1] : p.close0;
      bars[i] = {
        time: times[i],
        open: o / power,
        high: (Math.max(o, c) + p.h[i]) / power,
        low: (Math.min(o, c) - p.l[i]) / power,
        close: c / power,
      };
    }
  }
  const index = new Map(times.map((t, i) => [t, i]));
  return { bars, times, label, index };
}

// First bar shown at first: from a little before the earliest line, pivot or signal, and at
// least 120 bars; the whole history is a zoom or a drag away.
function firstShown(p) {
  const starts = [];
  for (const l of p.lines) starts.push(l[1]);
  for (const s of p.signals) starts.push(s[3]);
  for (const v of p.pivots) starts.push(v[0]);
  const first = starts.length ? Math.min(...starts) - 20 : p.bars - 250;
  return Math.max(0, Math.min(first, p.bars - 120));
}

function plural(n, word) {
  return n + ' ' + word + (n === 1 ? '' : 's');
}

// Draws payload `p` into `box`; `options.pivots`, `.failures`, `.violated` say what shows.
// Returns the handle the page keeps: the chart, its series and marker layers, and `remove`.
Torvex.drawChart = function (box, p, options) {
  const LC = window.LightweightCharts;
  const C = Torvex.COLOURS;
  const { bars, times, label, index } = unpack(p);
  const last = p.bars - 1;
  const tick = 10 ** -p.digits;
  const price = (x) => (x === null ? '' : x.toFixed(p.digits));
  const chart = LC.createChart(box, {
    autoSize: true,
    layout: { background: { color: '#ffffff' }, textColor: '#333', fontSize: 12 },
    grid: { vertLines: { color: '#f0f0f0' }, horzLines: { color: '#f0f0f0' } },
    rightPriceScale: { borderVisible: false },
    timeScale: { borderVisible: false, timeVisible: !p.daily, rightOffset: 5 },
    crosshair: { mode: LC.CrosshairMode.Normal },
    localization: {
      priceFormatter: price,
      timeFormatter: (t) => {
        const i = index.get(t);
        return i === undefined ? '' : label(i);
      },
    },
  });
  const candles = chart.addSeries(LC.CandlestickSeries, {
    upColor: C.up,
    downColor: C.down,
    wickUpColor: C.up,
    wickDownColor: C.down,
    borderVisible: false,
    priceFormat: { type: 'price', precision: p.digits, minMove: tick },
  });
  candles.setData(bars);

  // each line: a solid segment from its first pivot to where the engine carried it, and for
  // a line still holding a dashed one on to the last bar
  const plain = {
    priceLineVisible: false,
    lastValueVisible: false,
    crosshairMarkerVisible: false,
    autoscaleInfoProvider: () => null, // the candles set the scale; far lines do not squash it
  };
  const segments = [];
  const lineOf = new Map();
  for (const [level, start, end, violated, pivots, crossings] of p.lines) {
    const colour = violated ? C.violated : C.line;
    const solid = chart.addSeries(LC.LineSeries, {
      ...plain,
      color: colour,
      lineWidth: 2,
      lineStyle: LC.LineStyle.Solid,
      pointMarkersVisible: start === end, // a one-bar segment shows as a dot
      pointMarkersRadius: 2,
    });
    const from = Math.min(Math.max(start, 0), last);
    const to = Math.min(Math.max(end, from), last);
    const points = [{ time: times[from], value: level }];
    if (to > from) points.push({ time: times[to], value: level });
    solid.setData(points);
    const info = { level, start: from, end: to, violated, pivots, crossings, series: [solid] };
    if (!violated && to < last) {
      const dashed = chart.addSeries(LC.LineSeries, {
        ...plain,
        color: colour,
        lineWidth: 1,
        lineStyle: LC.LineStyle.Dashed,
      });
      dashed.setData([
        { time: times[to], value: level },
        { time: times[last], value: level },
      ]);
      info.series.push(dashed);
    }
    for (const s of info.series) lineOf.set(s, info);
    segments.push(info);
  }

  const markers = (list) => LC.createSeriesMarkers(candles, list, { autoScale: false });
  const pivotMarks = p.pivots.map(([bar, , high]) => ({
    time: times[bar],
    position: high ? 'aboveBar' : 'belowBar',
    shape: high ? 'arrowDown' : 'arrowUp',
    color: C.pivot,
    size: 0.5,
  }));
  const signalMarks = p.signals.map(([bar, level, vvip]) => ({
    time: times[bar],
    position: 'atPriceMiddle',
    price: level,
    shape: 'circle',
    color: vvip ? C.vvip : C.signal,
    size: vvip ? 1.6 : 1.1,
  }));
  const failureMarks = p.failures.map(([bar, level]) => ({
    time: times[bar],
    position: level === null ? 'belowBar' : 'atPriceMiddle',
    price: level === null ? undefined : level,
    shape: 'square',
    color: C.failure,
    size: 0.6,
  }));
  for (const list of [pivotMarks, signalMarks, failureMarks]) list.sort((a, b) => a.time - b.time);
  const layers = { pivots: markers([]), signals: markers(signalMarks), failures: markers([]) };

  const handle = { chart, candles, segments, layers, payload: p };
  handle.show = function (what) {
    options = { ...options, ...what };
    layers.pivots.setMarkers(options.pivots ? pivotMarks : []);
    layers.failures.setMarkers(options.failures ? failureMarks : []);
    for (const line of segments) {
      if (!line.violated) continue;
      for (const s of line.series) s.applyOptions({ visible: options.violated });
    }
  };
  handle.show({});

  hover(box, handle, label, price);
  chart.timeScale().setVisibleLogicalRange({ from: firstShown(p), to: last + 5 });
  handle.remove = () => chart.remove();
  return handle;
};

// The bar under the cursor in the corner; a line near the cursor in a tip beside it.
function hover(box, handle, label, price) {
  const { chart, candles, segments } = handle;
  const legend = document.createElement('div');
  legend.className = 'legend';
  const tip = document.createElement('div');
  tip.className = 'tip';
  box.append(legend, tip);
  const near = 6; // pixels
  chart.subscribeCrosshairMove((param) => {
    const bar = param.seriesData && param.seriesData.get(candles);
    if (!param.point || !bar) {
      legend.textContent = '';
      tip.style.display = 'none';
      return;
    }
    const i = param.logical;
    legend.textContent =
      `${label(Math.round(i))}  O ${price(bar.open)}  H ${price(bar.high)}  ` +
      `L ${price(bar.low)}  C ${price(bar.close)}`;
    let found = null;
    let best = near + 1;
    for (const line of segments) {
      const visible = line.series.some((s) => s.options().visible);
      const reach = line.series.length > 1 ? handle.payload.bars - 1 : line.end;
      if (!visible || i < line.start - 0.5 || i > reach + 0.5) continue;
      const y = candles.priceToCoordinate(line.level);
      const gap = y === null ? Infinity : Math.abs(y - param.point.y);
      if (gap < best) [best, found] = [gap, line];
    }
    if (!found) {
      tip.style.display = 'none';
      return;
    }
    tip.textContent =
      `${price(found.level)}  ·  ${plural(found.pivots, 'pivot')}  ·  ` +
      `${plural(found.crossings, 'crossing')}  ·  ${found.violated ? 'violated' : 'holding'}` +
      `  ·  ${label(found.start)} – ${label(found.end)}`;
    tip.style.display = 'block';
    const x = Math.min(param.point.x + 14, box.clientWidth - tip.offsetWidth - 70);
    tip.style.left = Math.max(0, x) + 'px';
    tip.style.top = Math.max(0, param.point.y - 34) + 'px';
  });
}

// The toggles and legend above a chart; `onChange` gets what shows.
Torvex.controls = function (bar, options, onChange) {
  bar.textContent = '';
  const C = Torvex.COLOURS;
  const toggle = (key, text) => {
    const box = document.createElement('label');
    const input = document.createElement('input');
    input.type = 'checkbox';
    input.checked = options[key];
    input.dataset.show = key;
    input.addEventListener('change', () => {
      options[key] = input.checked;
      onChange({ [key]: input.checked });
    });
    box.append(input, ' ' + text);
    bar.append(box);
  };
  toggle('pivots', 'pivots');
  toggle('violated', 'violated lines');
  toggle('failures', 'failed recoveries');
  const keys = [
    ['swatch line', C.line, 'line: pivots to last carried'],
    ['swatch dashed', C.line, 'holding on'],
    ['swatch line', C.violated, 'violated'],
    ['swatch dot', C.signal, 'signal'],
    ['swatch dot', C.vvip, 'vvip signal'],
    ['swatch square', C.failure, 'failed recovery'],
  ];
  const legend = document.createElement('span');
  legend.className = 'keys';
  for (const [kind, colour, text] of keys) {
    const key = document.createElement('span');
    const mark = document.createElement('i');
    mark.className = kind;
    mark.style.setProperty('--c', colour);
    key.append(mark, text);
    legend.append(key);
  }
  bar.append(legend);
};

// The heading of a chart: name, view, bars and what was found.
Torvex.summary = function (p) {
  const violated = p.lines.filter((l) => l[3]).length;
  const vvip = p.signals.filter((s) => s[2]).length;
  return (
    `${p.view} view · ${plural(p.bars, 'bar')} · ${plural(p.lines.length, 'line')} ` +
    `(${violated} violated) · ${plural(p.signals.length, 'signal')} (${vvip} vvip) · ` +
    `${plural(p.pivots.length, 'pivot')} · ${p.failures.length} failed recoveries`
  );
};

// Waits for the library to paint what was just drawn, then marks the page.
Torvex.painted = function (mark) {
  return new Promise((done) =>
    requestAnimationFrame(() =>
      requestAnimationFrame(() => {
        mark();
        done();
      }),
    ),
  );
};
