// The two pages: a run's chart, and a scan's table whose rows draw their instrument's chart.
'use strict';

(function () {
  const Torvex = window.Torvex;
  const page = (window.torvexReport = { times: {} });
  const options = { pivots: true, violated: true, failures: false };
  const loaded = new Promise((done) => {
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', done);
    else done();
  });

  function show(what) {
    if (page.handle) page.handle.show(what);
  }

  async function runPage() {
    const p = await Torvex.inflate(document.getElementById('chart-data').textContent);
    document.getElementById('summary').textContent = Torvex.summary(p);
    Torvex.controls(document.getElementById('controls'), options, show);
    page.handle = Torvex.drawChart(document.getElementById('chart'), p, options);
    await Torvex.painted(() => {
      document.body.dataset.drawn = p.name;
    });
  }

  // ---- the scan's table ----

  function cellText(value, digits) {
    if (value === null || value === undefined) return '';
    if (typeof value === 'boolean') return value ? 'yes' : 'no';
    if (typeof value === 'number' && digits !== null) return value.toFixed(digits);
    return String(value);
  }

  // ascending, empty cells last whichever way the column is sorted
  function compare(a, b) {
    if (a === b) return 0;
    if (a === null || a === undefined) return 1;
    if (b === null || b === undefined) return -1;
    if (typeof a === 'string' && typeof b === 'string') return a < b ? -1 : a > b ? 1 : 0;
    return Number(a) - Number(b);
  }

  function scanPage() {
    const data = JSON.parse(document.getElementById('table-data').textContent);
    const { columns, rows } = data;
    const digits = Math.max(data.digits, 2);
    const decimal = new Set(data.decimal);
    const symbolAt = columns.indexOf('symbol');
    const errorAt = columns.indexOf('error');
    const table = document.getElementById('scan');
    const head = table.tHead.insertRow();
    const body = table.tBodies[0];
    const filter = document.getElementById('filter');
    const count = document.getElementById('count');
    const box = document.getElementById('chart');
    const title = document.getElementById('chart-title');
    const summary = document.getElementById('chart-summary');
    let sorted = { column: -1, direction: 1 };
    let selected = null;
    let drawing = 0;

    columns.forEach((name, c) => {
      const th = document.createElement('th');
      th.textContent = name.replaceAll('_', ' ');
      th.title = 'sort by ' + name;
      th.dataset.column = name;
      th.addEventListener('click', () => sortBy(c));
      head.append(th);
    });
    const trs = rows.map((row, i) => {
      const tr = document.createElement('tr');
      tr.dataset.row = i;
      if (errorAt >= 0 && row[errorAt]) tr.className = 'failed';
      row.forEach((value, c) => {
        const td = tr.insertCell();
        td.textContent = cellText(value, decimal.has(c) ? digits : null);
        if (typeof value === 'number') td.className = 'number';
        if (c === errorAt && value) td.title = value;
      });
      return tr;
    });
    body.append(...trs);
    count.textContent = `${rows.length} of ${rows.length}`;

    function sortBy(c) {
      const direction = sorted.column === c ? -sorted.direction : 1;
      sorted = { column: c, direction };
      const order = rows.map((_, i) => i);
      order.sort((a, b) => {
        const x = rows[a][c];
        const y = rows[b][c];
        const empty = (x === null) - (y === null);
        return empty || compare(x, y) * direction || a - b;
      });
      body.append(...order.map((i) => trs[i]));
      for (const th of head.cells) th.removeAttribute('aria-sort');
      head.cells[c].setAttribute('aria-sort', direction > 0 ? 'ascending' : 'descending');
    }

    filter.addEventListener('input', () => {
      const wanted = filter.value.trim().toLowerCase();
      let shown = 0;
      trs.forEach((tr, i) => {
        const keep = String(rows[i][symbolAt]).toLowerCase().includes(wanted);
        tr.hidden = !keep;
        shown += keep;
      });
      count.textContent = `${shown} of ${rows.length}`;
    });

    async function select(tr) {
      const i = Number(tr.dataset.row);
      const mine = ++drawing;
      const started = performance.now();
      if (selected) selected.classList.remove('selected');
      selected = tr;
      tr.classList.add('selected');
      const symbol = String(rows[i][symbolAt]);
      title.textContent = symbol;
      summary.textContent = '';
      if (page.handle) page.handle.remove();
      page.handle = null;
      box.textContent = '';
      await loaded;
      if (mine !== drawing) return;
      const holder = document.getElementById('chart-' + i);
      if (errorAt >= 0 && rows[i][errorAt]) {
        summary.textContent = 'failed: ' + rows[i][errorAt];
      } else if (!holder) {
        summary.textContent = 'no chart: this scan was made without charts';
      } else {
        const p = await Torvex.inflate(holder.textContent);
        if (mine !== drawing) return; // a later click took over
        summary.textContent = Torvex.summary(p);
        page.handle = Torvex.drawChart(box, p, options);
      }
      await Torvex.painted(() => {
        if (mine !== drawing) return;
        page.times.drawn = performance.now() - started;
        document.body.dataset.drawn = symbol;
      });
    }

    body.addEventListener('click', (event) => {
      const tr = event.target.closest('tr');
      if (tr) select(tr);
    });
    // arrow keys walk the rows shown, in their order
    document.addEventListener('keydown', (event) => {
      if (!selected || (event.key !== 'ArrowDown' && event.key !== 'ArrowUp')) return;
      if (event.target === filter) return;
      const step = event.key === 'ArrowDown' ? 'nextElementSibling' : 'previousElementSibling';
      let next = selected[step];
      while (next && next.hidden) next = next[step];
      if (!next) return;
      event.preventDefault();
      next.scrollIntoView({ block: 'nearest' });
      select(next);
    });
    Torvex.controls(document.getElementById('controls'), options, show);
    Torvex.painted(() => {
      page.times.rows = performance.now();
      document.body.dataset.rows = String(rows.length);
    });
  }

  // the table comes before the library and the packed charts in the file: it is shown at
  // once, and a chart waits for the rest of the file
  if (document.body.dataset.page === 'scan') scanPage();
  else loaded.then(runPage);
})();
