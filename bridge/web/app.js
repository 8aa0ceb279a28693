// The live page of every station. Cards come from api/stations, each card's history from
// api/history once it comes near the screen, reduced to what its chart's width can show; then
// the event stream at "events" keeps them current; the page never polls. Texts from stations only
// ever reach the page through textContent. URLs are relative, so the page also works from a
// sub-path behind a reverse proxy.
'use strict';
(() => {
  const ROWS = 8;        // the monitor's table: the last eight readings
  const NCHAN = 12;
  const HOUR_MS = 3600e3;
  const RETRY_MS = 3000; // after a refused or closed stream
  const FRAME_MS = 12;    // drawing time a frame may take
  const GAP_SPACINGS = 3; // readings further apart than this many usual spacings break the chart
  const COLOURS = ['#1f77b4', '#ff7f0e', '#2ca02c', '#d62728', '#9467bd', '#8c564b',
                   '#e377c2', '#7f7f7f', '#bcbd22', '#17becf', '#393b79', '#637939'];

  const list = document.getElementById('stations');
  const link = document.getElementById('link');
  const template = document.getElementById('card-template');
  const stations = new Map();  // name -> station, in the bridge's order
  let generation = 0;          // bumped by every resync; older fetches are dropped
  let syncing = false;         // a resync is fetching the station list
  let lastEventId = '';        // of the last event had, for a stream opened after a refused one
  const dirty = new Set();     // stations to draw at the next frame

  function getJSON(url) {
    return fetch(url, { cache: 'no-store' }).then((r) => {
      if (!r.ok) throw new Error(url + ': ' + r.status);
      return r.json();
    });
  }

  function setLink(up) {
    link.textContent = up ? 'Данные поступают' : 'Нет связи с мостом, переподключение…';
    link.classList.toggle('lost', !up);
  }

  // --- the stream -------------------------------------------------------------------------

  // Every (re)connection starts with "hello": the bridge either sends the events missed since
  // the last one this page had (the browser names it when it reconnects), or says that it
  // cannot, having restarted or dropped them meanwhile.
  function connect() {
    const source = new EventSource(lastEventId ? 'events?last=' + encodeURIComponent(lastEventId)
                                               : 'events');
    const on = (name, handle) => source.addEventListener(name, (e) => {
      lastEventId = e.lastEventId;
      handle(JSON.parse(e.data));
    });
    let given = null;  // the stations, sent ahead of a hello that replays nothing
    on('stations', (s) => { given = s; });
    on('hello', (h) => {
      if (h.replayed) setLink(true);
      else resync(given);
    });
    on('reading', onReading);
    on('availability', onAvailability);
    on('removed', (r) => {
      const st = stations.get(r.station);
      if (st) dropStation(st);
    });
    source.addEventListener('error', () => {
      setLink(false);
      // The browser retries a dropped stream by itself, but not a refused one (503).
      if (source.readyState === EventSource.CLOSED) setTimeout(connect, RETRY_MS);
    });
  }

  // On a connection that missed more than the bridge kept: it may have restarted or changed
  // its stations. With no list at hand, it asks for one.
  async function resync(given) {
    const gen = ++generation;
    syncing = true;
    setLink(true);
    let data = given;
    try {
      if (!data) data = await getJSON('api/stations');
    } catch (e) {
      data = null;  // the stream's error handler takes over
    }
    if (gen !== generation) return;  // a newer connection took over
    syncing = false;
    if (!data) return;
    const names = new Set(data.stations.map((s) => s.name));
    for (const [name, st] of stations) {
      if (!names.has(name)) dropStation(st);
    }
    for (const s of data.stations) {
      const st = stations.get(s.name) || addStation(s.name);
      list.appendChild(st.card);  // keeps the bridge's order
      setState(st, s.state);
      // Events of an earlier connection are no longer in sequence: the history is fetched
      // again, at once for the cards near the screen, for the others when they come near.
      st.loaded = false;
      st.held = null;
      if (st.onScreen) loadHistory(st, gen);
    }
  }

  // A chart shows at most one column of the hour per pixel of its width.
  function chartWidth(st) {
    return Math.max(200, st.card.querySelector('.chart').clientWidth);
  }

  async function loadHistory(st, gen) {
    st.held = [];  // readings that arrive while the history is on its way
    let h;
    try {
      h = await getJSON('api/history?station=' + encodeURIComponent(st.name) +
                        '&columns=' + chartWidth(st));
    } catch (e) {
      st.held = null;  // the next reading asks again
      return;
    }
    if (gen !== generation || !stations.has(st.name)) return;
    st.loaded = true;
    st.columns = h.columns;
    st.spacing = h.spacing;
    st.readings = h.readings;
    st.next = h.next;
    const lastColumn = h.columns[h.columns.length - 1];
    const last = h.readings.length ? h.readings[h.readings.length - 1].at
                                   : lastColumn && lastColumn[1];
    st.lastAt = last ? Date.now() - (h.now - last) : null;
    const held = st.held;
    st.held = null;
    for (const r of held) addReading(st, r);
    render(st);
  }

  // A station the bridge took up since the last resync: fetch the list again. While a list
  // is on its way, wait for it; a station it still lacks shows up again with its next event.
  function unknownStation() {
    if (!syncing) resync();
  }

  function onReading(r) {
    const st = stations.get(r.station);
    if (!st) {
      unknownStation();
      return;
    }
    if (st.held) {
      st.held.push(r);
      return;
    }
    if (!st.loaded) {
      // Off screen, no history is kept: the card catches up when it comes near.
      st.lastAt = Date.now();
      if (st.onScreen) loadHistory(st, generation);
      return;
    }
    if (addReading(st, r)) render(st);
  }

  function onAvailability(a) {
    const st = stations.get(a.station);
    if (st) setState(st, a.state);
    else unknownStation();
  }

  // Appends a reading in sequence; a gap means readings were missed: fetch the history again.
  function addReading(st, r) {
    if (r.seq < st.next) return false;
    if (r.seq > st.next) {
      loadHistory(st, generation);
      return false;
    }
    st.readings.push(r);
    st.next = r.seq + 1;
    st.lastAt = Date.now();
    const oldest = r.at - HOUR_MS;
    let drop = 0;
    while (drop < st.readings.length && st.readings[drop].at < oldest) drop++;
    if (drop) st.readings.splice(0, drop);
    drop = 0;
    while (drop < st.columns.length && st.columns[drop][0] < oldest) drop++;
    if (drop) st.columns.splice(0, drop);
    return true;
  }

  // --- cards ------------------------------------------------------------------------------

  function addStation(name) {
    const card = template.content.firstElementChild.cloneNode(true);
    card.dataset.station = name;
    card.querySelector('.name').textContent = name;
    // columns: the older part of the hour as [from, to, count, minimums, maximums] per
    // pixel column; readings: the newer part in full. loaded: both are of this connection.
    // cells: the table's, made when the card is first drawn.
    const st = { name, card, cells: null, columns: [], spacing: 0, readings: [], next: 0,
                 loaded: false, lastAt: null, held: null, chart: null, resizer: null,
                 onScreen: false, stale: false };
    stations.set(name, st);
    watcher.observe(card);
    return st;
  }

  function dropStation(st) {
    watcher.unobserve(st.card);
    dropChart(st);
    st.card.remove();
    stations.delete(st.name);
  }

  // A stale station answers, but its reading has not changed for the bridge's stale time.
  function setState(st, state) {
    st.card.classList.toggle('offline', state !== 'online' && state !== 'stale');
    st.card.classList.toggle('stale', state === 'stale');
    st.card.querySelector('.state').textContent =
      state === 'online' ? 'на связи' : state === 'stale' ? 'нет новых данных' : 'нет связи';
  }

  function statusOf(text) {
    const t = text.trim();
    return t === 'N/SENS' ? 'nsens' : t === 'ERROR' ? 'error' : '';
  }

  // Only cards on screen are drawn, once a frame however many readings came: a large fleet's
  // readings arrive together. A card scrolled into view catches up at once.
  const watcher = new IntersectionObserver((entries) => {
    for (const e of entries) {
      const st = stations.get(e.target.dataset.station);
      if (!st) continue;
      st.onScreen = e.isIntersecting;
      if (!st.onScreen) continue;
      if (!st.loaded && !st.held) loadHistory(st, generation);
      if (st.stale || !st.cells) render(st);
    }
  }, { rootMargin: '200px' });

  function render(st) {
    st.stale = true;
    if (!st.onScreen) return;
    if (!dirty.size) requestAnimationFrame(drawDirty);
    dirty.add(st);
  }

  // The cards in sight first, then those near it; what does not fit in a frame's share of
  // time waits for the next, so that the first cards show before the rest are drawn.
  function drawDirty() {
    const start = performance.now();
    const inSight = (st) => {
      const r = st.card.getBoundingClientRect();
      return r.bottom > 0 && r.top < innerHeight;
    };
    const order = [...dirty].sort((a, b) => inSight(b) - inSight(a));
    for (const st of order) {
      if (performance.now() - start > FRAME_MS) break;
      dirty.delete(st);
      if (stations.has(st.name)) draw(st);
    }
    if (dirty.size) requestAnimationFrame(drawDirty);
  }

  // The table's head and empty rows. Only for cards that are drawn: a fleet's hundreds of
  // tables would take the browser longer to lay out than the cards on screen to show.
  function makeTable(st) {
    const head = st.card.querySelector('thead tr');
    for (let k = 1; k <= NCHAN; k++) {
      const th = document.createElement('th');
      th.scope = 'col';
      th.textContent = 'T' + k + ',°C';
      head.appendChild(th);
    }
    const body = st.card.querySelector('tbody');
    st.cells = [];
    for (let i = 0; i < ROWS; i++) {
      const tr = body.insertRow();
      const row = [];
      for (let j = 0; j < 2 + NCHAN; j++) row.push(tr.insertCell());
      st.cells.push(row);
    }
  }

  // The table as the monitor's grid: the newest reading in the bottom row.
  function draw(st) {
    st.stale = false;
    if (!st.cells) {
      makeTable(st);
      st.card.classList.add('drawn');
    }
    const shown = st.readings.slice(-ROWS);
    const blank = ROWS - shown.length;
    st.cells.forEach((row, i) => {
      const texts = i < blank ? null : shown[i - blank].row;
      row.forEach((td, j) => {
        const text = texts ? texts[j] : '';
        td.textContent = text;
        td.className = j >= 2 ? statusOf(text) : '';
      });
    });
    renderAge(st);
    drawChart(st);
  }

  function renderAge(st) {
    const el = st.card.querySelector('.age');
    if (st.lastAt === null) {
      el.textContent = 'показаний нет';
      return;
    }
    const s = Math.max(0, Math.round((Date.now() - st.lastAt) / 1000));
    const ago = s < 60 ? s + ' с' : s < 3600 ? Math.floor(s / 60) + ' мин' : Math.floor(s / 3600) + ' ч';
    el.textContent = 'последнее показание ' + ago + ' назад';
  }

  // --- chart: every channel over the last hour, one point per reading or per column ---------

  // The usual time between two readings: the median spacing, in ms.
  function usualSpacing(readings) {
    const d = [];
    for (let i = 1; i < readings.length; i++) d.push(readings[i].at - readings[i - 1].at);
    d.sort((a, b) => a - b);
    return d.length ? d[Math.floor((d.length - 1) / 2)] : 0;
  }

  // The chart's points and the number of gaps in them. Readings further apart than
  // GAP_SPACINGS usual spacings leave a gap, as N/SENS and ERROR do: the station was offline
  // or gave nothing new, and a line across that time would show values nobody read. A column
  // of the older part gives its minimum at its first reading and its maximum at its last; the
  // bridge cuts columns at gaps by the same rule and sends null for a channel's fault.
  function chartData(st) {
    const limit = GAP_SPACINGS * (st.spacing || usualSpacing(st.readings));
    const data = [[]];
    for (let k = 0; k < NCHAN; k++) data.push([]);
    let gaps = 0;
    let lastAt = null;
    const point = (at, values) => {
      data[0].push(at / 1000);
      for (let k = 0; k < NCHAN; k++) data[1 + k].push(values[k]);
    };
    const follow = (from) => {
      if (lastAt !== null && from - lastAt > limit) {
        point((lastAt + from) / 2, new Array(NCHAN).fill(null));  // breaks the lines
        gaps++;
      }
    };
    for (const [from, to, , min, max] of st.columns) {
      follow(from);
      point(from, min);
      if (to > from) point(to, max);
      lastAt = to;
    }
    for (const r of st.readings) {
      follow(r.at);
      point(r.at, r.row.slice(2).map((text) => (statusOf(text) ? null : parseFloat(text))));
      lastAt = r.at;
    }
    return { data, gaps };
  }

  // Times of day on a 24-hour clock, local time; seconds when the ticks are that close.
  const CLOCK = new Intl.DateTimeFormat('ru-RU', { hour: '2-digit', minute: '2-digit' });
  const CLOCK_SECONDS = new Intl.DateTimeFormat('ru-RU', { hour: '2-digit', minute: '2-digit',
                                                            second: '2-digit' });
  function timeOfDay(seconds, withSeconds) {
    return (withSeconds ? CLOCK_SECONDS : CLOCK).format(seconds * 1000);
  }

  function drawChart(st) {
    const box = st.card.querySelector('.chart');
    const { data, gaps } = chartData(st);
    // The readings the chart stands for, in full or in columns.
    box.dataset.points = String(st.columns.reduce((n, c) => n + c[2], st.readings.length));
    box.dataset.columns = String(st.columns.length);
    box.dataset.gaps = String(gaps);
    if (!st.readings.length && !st.columns.length) {
      // No chart rather than an axis around nothing.
      dropChart(st);
      return;
    }
    if (st.chart) {
      st.chart.setData(data);
      return;
    }
    const series = [{ label: 'Время' }];
    for (let k = 0; k < NCHAN; k++) {
      series.push({ label: 'T' + (k + 1), stroke: COLOURS[k], width: 1.5, spanGaps: false });
    }
    st.chart = new uPlot({
      width: Math.max(200, box.clientWidth),
      height: 240,
      series,
      // At most the hour up to the newest reading, and at least a minute.
      scales: { x: { time: true, range: (u, min, max) => [Math.min(max - 60, Math.max(min, max - HOUR_MS / 1000)), max] } },
      axes: [{ values: (u, ticks, axis, space, step) => ticks.map((t) => timeOfDay(t, step < 60)) },
             { label: '°C' }],
      legend: { live: false },  // a click on a channel's legend entry hides or shows it
    }, data, box);
    // The legend's channels answer the keyboard too: Tab to one, Enter or Space toggles it.
    box.querySelectorAll('.u-series th').forEach((th) => {
      th.tabIndex = 0;
      th.setAttribute('role', 'button');
      th.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' || e.key === ' ') {
          e.preventDefault();
          th.click();
        }
      });
    });
    st.resizer = new ResizeObserver(() => {
      st.chart.setSize({ width: Math.max(200, box.clientWidth), height: 240 });
    });
    st.resizer.observe(box);
  }

  function dropChart(st) {
    if (!st.chart) return;
    st.resizer.disconnect();
    st.chart.destroy();
    st.chart = null;
  }

  setInterval(() => stations.forEach(renderAge), 1000);
  connect();
})();
