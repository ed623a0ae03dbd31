// Live view of the statistics objects of every location the server serves.
// Reads every property once a second from the same origin; writes the switch
// and the period with the token the user typed; keeps up to the last 15
// minutes of each object's rate and loss in the page. Everything the server sends is
// shown as text, never as markup. Property suffixes come from DAQ_STAT_SUFFIX,
// generated from the library's list of names.
(() => {
  'use strict';

  // Relative, so the page also works behind a path prefix. A server without
  // the list of locations serves one location at the older path.
  const LOCATIONS_API = 'api/v1/locations';
  const SINGLE_LOCATION_API = 'api/v1/properties';
  const REFRESH_MS = 1000;
  const RETRY_MS = 2000;
  const FETCH_TIMEOUT_MS = 4000;
  const RATE_WINDOW_MS = 5000;
  const TREND_WINDOW_MS = 15 * 60 * 1000;
  // A trend's time axis spans what the page has seen, from this much up to
  // the whole window, so a strip fills its width from the first seconds on.
  const MIN_TREND_SPAN_MS = 2000;
  const TOKEN_KEY = 'daqevstat.write-token';
  // Distributions have 8192 bins of 1 ms; the last one also counts every
  // longer time, so it is drawn apart instead of as an 8191 ms bar.
  const LAST_BIN = 8191;
  const SVG_NS = 'http://www.w3.org/2000/svg';
  const SUFFIX = DAQ_STAT_SUFFIX;

  // ---- pure helpers (also reachable from the browser test) ----

  // Picks the x axis for non-zero bins minBin..maxBin: logarithmic once they
  // span more than two decades, else linear from 0 unless the data sit far
  // from it. Ranges are in ms; bin i covers [i, i + 1).
  function chooseScale(minBin, maxBin) {
    const hi = maxBin + 1;
    if (Math.log10(hi / Math.max(minBin, 1)) > 2) {
      const lo = minBin === 0 ? 0.5 : Math.pow(10, Math.floor(Math.log10(minBin)));
      return { kind: 'log', lo, hi };
    }
    let lo = 0;
    let top = hi;
    if (minBin > 0.25 * hi) {
      const step = niceStep((hi - minBin) / 5);
      lo = Math.floor(minBin / step) * step;
    }
    if (top - lo < 10) {
      lo = Math.max(0, Math.floor((minBin + hi) / 2) - 5);
      top = lo + 10;
    }
    return { kind: 'linear', lo, hi: top };
  }

  function niceStep(raw) {
    if (!(raw > 0)) return 1;
    const power = Math.pow(10, Math.floor(Math.log10(raw)));
    const fraction = raw / power;
    const nice = fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10;
    return Math.max(1, nice * power);
  }

  // Maps ms onto [x0, x0 + width].
  function axisMap(scale, x0, width) {
    if (scale.kind === 'log') {
      const a = Math.log10(scale.lo);
      const span = Math.log10(scale.hi) - a;
      return (v) => x0 + ((Math.log10(Math.max(v, scale.lo)) - a) / span) * width;
    }
    const span = scale.hi - scale.lo;
    return (v) => x0 + ((Math.max(v, scale.lo) - scale.lo) / span) * width;
  }

  function axisTicks(scale) {
    if (scale.kind === 'log') {
      const ticks = [];
      for (let d = Math.ceil(Math.log10(scale.lo)); Math.pow(10, d) <= scale.hi; ++d) {
        ticks.push(Math.pow(10, d));
      }
      if (ticks.length < 3) {
        const more = [];
        for (const t of ticks) more.push(2 * t, 5 * t, t / 10 * 2, t / 10 * 5);
        for (const t of more) {
          if (t >= scale.lo && t <= scale.hi && !ticks.includes(t)) ticks.push(t);
        }
        ticks.sort((a, b) => a - b);
      }
      return ticks;
    }
    const step = niceStep((scale.hi - scale.lo) / 5);
    const ticks = [];
    for (let t = Math.ceil(scale.lo / step) * step; t <= scale.hi + 1e-9; t += step) ticks.push(t);
    return ticks;
  }

  // Non-zero bins as [index, count] pairs in index order; anything that is
  // not a bin index or a positive count is ignored rather than drawn wrongly.
  function binPairs(value) {
    const bins = value && typeof value === 'object' ? value.bins : null;
    if (!bins || typeof bins !== 'object') return [];
    const pairs = [];
    for (const [key, raw] of Object.entries(bins)) {
      const index = Number(key);
      const count = Number(raw);
      if (/^\d+$/.test(key) && index <= LAST_BIN && count > 0 && Number.isFinite(count)) {
        pairs.push([index, count]);
      }
    }
    return pairs.sort((a, b) => a[0] - b[0]);
  }

  // Bars in plot units (CSS pixels). Bins that start within two units of a
  // bar's start share it: the bar is as wide as they reach and as tall as
  // the largest of them, so thousands of bins never pile up on top of each
  // other; the clamped last bin always stands alone.
  function layoutBars(pairs, x) {
    const MIN_WIDTH = 2;
    const bars = [];
    let current = null;
    for (const [index, count] of pairs) {
      const from = x(index);
      const to = x(index + 1);
      const clamped = index === LAST_BIN;
      if (current && !clamped && !current.clamped && from < current.x + MIN_WIDTH) {
        current.end = Math.max(current.end, to);
        current.last = index;
        current.count = Math.max(current.count, count);
        current.sum += count;
        continue;
      }
      current = { x: from, end: to, first: index, last: index, count, sum: count, clamped };
      bars.push(current);
    }
    for (const bar of bars) {
      bar.width = Math.max(bar.end - bar.x, bar.clamped ? 3 : MIN_WIDTH);
      if (bar.width > 4) {
        bar.x += 0.5;
        bar.width -= 1;
      }
    }
    return bars;
  }

  // ---- percentiles ----

  // The nearest rank ceil(p * total) for p = percent / 100, at least 1; in
  // whole numbers where that is exact, so that 99 % of 100 is 99.
  function nearestRank(percent, total) {
    const scaled = total * percent;
    if (Number.isInteger(total) && Number.isSafeInteger(scaled + 99)) {
      let rank = Math.floor((scaled + 99) / 100);
      if (rank * 100 > scaled + 99) rank -= 1;
      if ((rank + 1) * 100 <= scaled + 99) rank += 1;
      return Math.max(1, rank);
    }
    return Math.max(1, Math.ceil(scaled / 100));
  }

  // p50, p90 and p99 of bin pairs (from binPairs) as bin indices: the
  // smallest bin whose count, summed from bin 0 up, reaches the nearest
  // rank. As `watch` and the tool's reports compute them. Null when empty.
  function percentileBins(pairs) {
    const total = pairs.reduce((s, [, c]) => s + c, 0);
    if (!(total > 0)) return null;
    const result = {};
    for (const percent of [50, 90, 99]) {
      const rank = nearestRank(percent, total);
      let cumulative = 0;
      let found = pairs[pairs.length - 1][0];  // only reached through rounding
      for (const [index, count] of pairs) {
        cumulative += count;
        if (cumulative >= rank) {
          found = index;
          break;
        }
      }
      result[`p${percent}`] = found;
    }
    return result;
  }

  // A bin as the tool names it: bin 0 holds everything below 1 ms (negative
  // times too), the last bin everything from its start on.
  function binLabel(index) {
    if (index === 0) return '<1 ms';
    if (index === LAST_BIN) return `≥${LAST_BIN} ms`;
    return `${index} ms`;
  }

  // Whether counts are drawn on a log axis: when the tallest bar is more
  // than ten times the median of the others, which a linear axis would
  // flatten into the baseline.
  function chooseCountScale(counts) {
    if (counts.length < 2) return 'linear';
    const sorted = [...counts].sort((a, b) => a - b);
    const peak = sorted.pop();
    const mid = sorted.length >> 1;
    const median = sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
    return peak > 10 * median ? 'log' : 'linear';
  }

  // A log count axis from half the power of ten at or below the smallest
  // count (so a bar of 1 still shows) to the power of ten at or above the
  // largest, with a tick at each power of ten, or every other one.
  function logCountAxis(smallest, largest) {
    const low = Math.floor(Math.log10(Math.max(smallest, 1)));
    const high = Math.max(low + 1, Math.ceil(Math.log10(largest)));
    const every = high - low > 4 ? 2 : 1;
    const ticks = [];
    for (let d = low; d <= high; d += every) ticks.push(Math.pow(10, d));
    return { lo: Math.pow(10, low) / 2, hi: Math.pow(10, high), ticks };
  }

  // ---- trend time axis ----

  // The time span a strip shows at `now`: from its oldest point kept, at
  // least MIN_TREND_SPAN_MS and at most the window. Null without points.
  function trendSpan(points, now) {
    if (!points.length) return null;
    return Math.min(TREND_WINDOW_MS, Math.max(MIN_TREND_SPAN_MS, now - points[0].t));
  }

  // Ticks back from now, in ms, at a step that gives at most four of them
  // besides now.
  function timeTicks(span) {
    const steps = [1, 2, 5, 10, 15, 30, 60, 120, 300].map((s) => s * 1000);
    const step = steps.find((s) => span / s <= 4) || 300000;
    const ticks = [];
    for (let t = 0; t <= span + 1e-6; t += step) ticks.push(t);
    return ticks;
  }

  function formatAgo(ms) {
    if (ms === 0) return 'now';
    return ms >= 60000 && ms % 60000 === 0 ? `−${ms / 60000} min` : `−${Math.round(ms / 1000)} s`;
  }

  function formatSpan(ms) {
    if (ms < 120000) return `${Math.round(ms / 1000)} s`;
    return `${Math.round(ms / 60000)} min`;
  }

  // Events per second over the samples kept, or null when there are too few
  // or the counter went back (statistics switched off and on again).
  function rateFrom(samples) {
    if (samples.length < 2) return null;
    const first = samples[0];
    const last = samples[samples.length - 1];
    const seconds = (last.t - first.t) / 1000;
    if (!(seconds > 0) || last.total < first.total) return null;
    return (last.total - first.total) / seconds;
  }

  // Lost events in % of the events counted over the samples kept, or null
  // (as for the rate). Late events that take more gaps back than new ones
  // open give 0, not a negative loss.
  function lossFrom(samples) {
    if (samples.length < 2) return null;
    const first = samples[0];
    const last = samples[samples.length - 1];
    const counted = last.total - first.total;
    if (!(counted > 0) || typeof first.lost !== 'number' || typeof last.lost !== 'number') return null;
    return (100 * Math.max(0, last.lost - first.lost)) / counted;
  }

  // Drops trend points older than the window, and gap markers that no
  // longer follow a point.
  function pruneTrend(points, now, windowMs) {
    let start = 0;
    while (start < points.length && now - points[start].t > windowMs) ++start;
    const kept = points.slice(start);
    while (kept.length && kept[0].value === null) kept.shift();
    return kept;
  }

  // SVG path data through the points, broken wherever a value is null (no
  // data: the server gone, statistics off, a counter reset).
  function stripPath(points, x, y) {
    let d = '';
    let pen = false;
    for (const p of points) {
      if (typeof p.value !== 'number' || !Number.isFinite(p.value)) {
        pen = false;
        continue;
      }
      d += `${pen ? 'L' : 'M'}${x(p.t).toFixed(1)},${y(p.value).toFixed(1)}`;
      pen = true;
    }
    return d;
  }

  // ---- formatting ----

  const DASH = '—';
  const intFormat = new Intl.NumberFormat('en-US', { maximumFractionDigits: 0 });
  const compactFormat = new Intl.NumberFormat('en-US', { notation: 'compact', maximumFractionDigits: 1 });
  function formatInt(v) { return typeof v === 'number' && Number.isFinite(v) ? intFormat.format(v) : DASH; }
  function formatPercent(v) {
    return typeof v === 'number' && Number.isFinite(v) ? `${v.toFixed(v < 10 ? 3 : 2)} %` : DASH;
  }
  function formatNumber(v) {
    return typeof v === 'number' && Number.isFinite(v) ? String(Math.round(v * 1000) / 1000) : DASH;
  }
  function formatMs(v) { return v >= 1000 ? `${v / 1000} s` : `${v} ms`; }
  function formatTick(v) {
    if (v >= 1000) return `${Math.round(v / 100) / 10}s`;
    return Number.isInteger(v) ? String(v) : String(Math.round(v * 10) / 10);
  }

  // ---- state ----

  const objectsEl = document.getElementById('objects');
  const template = document.getElementById('object-template');
  const locationTemplate = document.getElementById('location-template');
  const connectionEl = document.getElementById('connection');
  const serverErrorEl = document.getElementById('server-error');
  const noObjectsEl = document.getElementById('no-objects');
  const updatedEl = document.getElementById('updated');
  const tokenEl = document.getElementById('token');

  const sections = new Map();  // location name -> its section
  const cards = new Map();  // location name, NUL, base name -> card
  // True while the server answers the list of locations; false for a server
  // that serves one location at the older path only.
  let hasLocations = true;
  let updates = 0;
  let lastGood = null;

  // ---- token ----

  function readToken() {
    try { return sessionStorage.getItem(TOKEN_KEY) || ''; } catch (e) { return tokenEl.value; }
  }
  function storeToken(value) {
    try {
      if (value) sessionStorage.setItem(TOKEN_KEY, value); else sessionStorage.removeItem(TOKEN_KEY);
    } catch (e) { /* storage disabled: the field still holds it for this page */ }
  }
  tokenEl.value = readToken();
  tokenEl.addEventListener('input', () => storeToken(tokenEl.value));
  document.getElementById('token-forget').addEventListener('click', () => {
    tokenEl.value = '';
    storeToken('');
    tokenEl.focus();
  });

  // ---- objects ----

  function baseNames(properties) {
    const names = [];
    for (const name of Object.keys(properties)) {
      if (name.endsWith(SUFFIX.on) && name.length > SUFFIX.on.length) {
        names.push(name.slice(0, -SUFFIX.on.length));
      }
    }
    return names;
  }

  function createSection(location) {
    const root = locationTemplate.content.firstElementChild.cloneNode(true);
    root.dataset.location = location;
    const title = root.querySelector('[data-role="location-title"]');
    title.textContent = location || 'Location';
    root.setAttribute('aria-label', `Location ${location}`);
    return { location, root, objects: root.querySelector('[data-role="location-objects"]') };
  }

  function createCard(location, base) {
    const root = template.content.firstElementChild.cloneNode(true);
    const card = {
      location, base, root, roles: {}, plots: [], trends: [], samples: [], writing: 0,
      periodDirty: false,
    };
    root.dataset.object = base;
    root.dataset.location = location;
    for (const el of root.querySelectorAll('[data-role]')) {
      const role = el.dataset.role;
      card.roles[role] = el;
      el.dataset.testid = `${role}-${base}`;
    }
    card.roles.title.textContent = base;
    root.setAttribute('aria-label', `Statistics object ${base}`);
    for (const fig of root.querySelectorAll('figure.plot')) {
      const suffixKey = fig.dataset.suffix;
      const name = base + SUFFIX[suffixKey];
      fig.dataset.plot = name;
      fig.dataset.bars = '0';
      fig.dataset.clamped = '0';
      const title = fig.querySelector('figcaption strong').textContent;
      const part = (role) => fig.querySelector(`[data-plot-role="${role}"]`);
      const plot = {
        fig, name, suffixKey, title, svg: fig.querySelector('svg'), summary: part('summary'),
        percentiles: part('percentiles'), logToggle: part('log'), countScale: null,
      };
      plot.logToggle.dataset.testid = `log-${name}`;
      // Ticking the box overrides the automatic choice of the count axis.
      plot.logToggle.addEventListener('change', () => {
        plot.countScale = plot.logToggle.checked ? 'log' : 'linear';
        plot.drawn = null;
        drawPlot(plot, plot.value, plot.live);
      });
      card.plots.push(plot);
    }
    for (const fig of root.querySelectorAll('figure.trend')) {
      const kind = fig.dataset.trend;
      fig.dataset.testid = `trend-${kind}-${base}`;
      fig.dataset.points = '0';
      const title = fig.querySelector('figcaption strong').textContent;
      const caption = fig.querySelector('[data-span]');
      card.trends.push({
        fig, kind, title, caption, unit: caption.textContent, svg: fig.querySelector('svg'), points: [],
      });
    }
    card.roles.switch.addEventListener('change', () => writeSwitch(card));
    // A period being typed is not overwritten by the next read; Escape
    // gives the edit up.
    card.roles.period.addEventListener('input', () => { card.periodDirty = true; });
    card.roles.period.addEventListener('keydown', (event) => {
      if (event.key !== 'Escape') return;
      card.periodDirty = false;
      card.roles.period.value = card.period === undefined ? '' : String(card.period);
    });
    card.roles['period-form'].addEventListener('submit', (event) => {
      event.preventDefault();
      writePeriod(card);
    });
    return card;
  }

  // The shown text for people, the raw value in data-value for scripts.
  function setText(el, text, value) {
    if (el.textContent !== text) el.textContent = text;
    if ((typeof value === 'number' && Number.isFinite(value)) || (typeof value === 'string' && value)) {
      el.dataset.value = String(value);
    } else {
      el.removeAttribute('data-value');
    }
  }

  function renderCard(card, properties, now) {
    const get = (key) => properties[card.base + SUFFIX[key]];
    const on = Number(get('on')) !== 0;
    const live = on && get('total') !== undefined;
    const r = card.roles;

    r.state.textContent = on ? 'on' : 'off';
    r.state.dataset.state = on ? 'on' : 'off';
    if (!card.writing) {
      r.switch.checked = on;
      r.switch.disabled = false;
    }

    const period = get('lostPeriod');
    card.period = period;
    r.period.disabled = !live;
    r['period-apply'].disabled = !live;
    const editing = document.activeElement === r.period || card.periodDirty;
    if (!editing) r.period.value = typeof period === 'number' ? String(period) : '';

    const total = get('total');
    const lost = get('lost');
    if (typeof total === 'number') {
      card.samples.push({ t: now, total, lost });
      if (card.samples.length > 1 && total < card.samples[card.samples.length - 2].total) {
        card.samples = [{ t: now, total, lost }];
      }
      while (card.samples.length > 2 && now - card.samples[0].t > RATE_WINDOW_MS) card.samples.shift();
    } else {
      card.samples = [];
    }
    const rate = rateFrom(card.samples);
    // Why a strip may have nothing to draw: the statistics are off, or no
    // event has been counted while the page reads (no loss to take).
    const first = card.samples[0];
    const idle = card.samples.length >= 2 && first.total === card.samples[card.samples.length - 1].total;
    const off = { text: 'statistics off' };
    const none = { text: 'no data yet' };
    addTrendPoint(card, now, { rate, lost: lossFrom(card.samples) }, {
      rate: live ? none : off,
      lost: live ? (idle ? { text: 'no data yet', note: 'no new events while this page reads' } : none) : off,
    });

    const info = get('eventInfo');
    const eventNumber = info && typeof info === 'object' ? info.i1_data : undefined;
    const eventType = info && typeof info === 'object' && typeof info.str_data === 'string' ? info.str_data : '';

    setText(r.total, formatInt(total), total);
    const rateText = rate === null ? DASH : `${rate < 10 ? rate.toFixed(1) : formatInt(rate)} /s`;
    setText(r.rate, rateText, rate === null ? null : Math.round(rate * 10) / 10);
    setText(r.lost, formatInt(lost), lost);
    setText(r['lost-perc'], formatPercent(get('lostPercent')), get('lostPercent'));
    setText(r['lost-prd-perc'], formatPercent(get('lostPeriodPercent')), get('lostPeriodPercent'));
    setText(r.diff, formatNumber(get('diff')), get('diff'));
    setText(r.event, formatInt(eventNumber), eventNumber);
    setText(r.type, eventType || DASH, eventType || null);

    for (const plot of card.plots) {
      drawPlot(plot, live ? get(plot.suffixKey) : undefined, live);
    }
  }

  // ---- trends ----

  // One point per read and strip; null where there is no value to show.
  // `empty` says why a strip without any value has none.
  function addTrendPoint(card, now, values, empty) {
    for (const trend of card.trends) {
      const value = values[trend.kind];
      trend.points.push({ t: now, value: typeof value === 'number' ? value : null });
      trend.points = pruneTrend(trend.points, now, TREND_WINDOW_MS);
      trend.empty = empty[trend.kind];
      drawTrend(trend, now);
    }
  }

  // A gap in every strip while the server cannot be read.
  function addTrendGap(now) {
    for (const card of cards.values()) {
      for (const trend of card.trends) {
        const last = trend.points[trend.points.length - 1];
        if (last && last.value !== null) trend.points.push({ t: now, value: null });
        trend.points = pruneTrend(trend.points, now, TREND_WINDOW_MS);
        trend.empty = { text: 'no data', note: 'the server cannot be read' };
        drawTrend(trend, now);
      }
    }
  }

  function drawTrend(trend, now) {
    const { fig, svg: root, points } = trend;
    const width = Math.max(240, Math.round(root.clientWidth || 360));
    const height = Math.max(70, Math.round(root.clientHeight || 96));
    const m = { left: 48, right: 12, top: 8, bottom: 22 };
    const w = width - m.left - m.right;
    const h = height - m.top - m.bottom;
    root.setAttribute('viewBox', `0 0 ${width} ${height}`);
    root.replaceChildren();

    const values = points.filter((p) => p.value !== null).map((p) => p.value);
    fig.dataset.points = String(values.length);
    const label = svg('title', {}, root);
    const span = values.length ? trendSpan(points, now) : null;
    if (span === null) {
      const empty = trend.empty || { text: 'no data yet' };
      svg('rect', { class: 'axis', x: m.left, y: m.top, width: w, height: h }, root);
      const mid = m.top + h / 2 + (empty.note ? -2 : 4);
      svg('text', { class: 'empty', x: m.left + w / 2, y: mid, 'text-anchor': 'middle' }, root, empty.text);
      if (empty.note) {
        svg('text', { class: 'empty-note', x: m.left + w / 2, y: mid + 16, 'text-anchor': 'middle' }, root,
          empty.note);
      }
      label.textContent = `${trend.title}: ${empty.text}${empty.note ? ` (${empty.note})` : ''}`;
      fig.dataset.empty = empty.text;
      fig.dataset.ended = '';
      fig.dataset.span = '0';
      trend.caption.textContent = trend.unit;
      return;
    }
    fig.dataset.empty = '';
    fig.dataset.span = String(Math.round(span));
    trend.caption.textContent = `${trend.unit}, last ${formatSpan(span)}`;

    const peak = values.reduce((a, b) => Math.max(a, b), 0);
    const yTop = niceCeiling(peak);
    const x = (t) => m.left + ((t - (now - span)) / span) * w;
    const y = (v) => m.top + h - (Math.max(0, v) / yTop) * h;
    const unit = trend.kind === 'lost' ? ' %' : '';

    for (const t of [0, yTop / 2, yTop]) {
      if (t > 0) svg('line', { class: 'grid', x1: m.left, x2: m.left + w, y1: y(t), y2: y(t) }, root);
      svg('text', { x: m.left - 4, y: y(t) + 4, 'text-anchor': 'end' }, root,
        trend.kind === 'lost' ? formatTrendPercent(t) : formatRateTick(t));
    }
    for (const ago of timeTicks(span)) {
      const tx = x(now - ago);
      svg('line', { class: 'axis', x1: tx, x2: tx, y1: m.top + h, y2: m.top + h + 4 }, root);
      svg('text', { class: 'tick', x: tx, y: m.top + h + 15, 'text-anchor': ago === 0 ? 'end' : 'middle' }, root,
        formatAgo(ago));
    }
    svg('path', { class: trend.kind === 'lost' ? 'line lost' : 'line', d: stripPath(points, x, y) }, root);
    // The newest value as a dot, so that a single point shows too.
    const newest = points[points.length - 1];
    if (newest && newest.value !== null) {
      svg('circle', { class: trend.kind === 'lost' ? 'dot lost' : 'dot', cx: x(newest.t), cy: y(newest.value), r: 2.5 },
        root);
    } else if (trend.empty) {
      // The line has ended: say why beside its end.
      svg('text', { class: 'ended', x: m.left + w - 2, y: m.top + 11, 'text-anchor': 'end' }, root, trend.empty.text);
    }
    fig.dataset.ended = newest && newest.value === null && trend.empty ? trend.empty.text : '';
    svg('line', { class: 'axis', x1: m.left, x2: m.left + w, y1: m.top + h, y2: m.top + h }, root);
    svg('line', { class: 'axis', x1: m.left, x2: m.left, y1: m.top, y2: m.top + h }, root);

    const last = values[values.length - 1];
    const shown = (v) => (trend.kind === 'lost' ? formatTrendPercent(v) : formatInt(v));
    label.textContent = `${trend.title} over the last ${formatSpan(span)}: now ${shown(last)}${unit}, ` +
      `at most ${shown(peak)}${unit}`;
  }

  // A slow or idle stream has a rate axis below 10/s, whose middle tick is
  // no whole number.
  function formatRateTick(v) { return Number.isInteger(v) ? formatInt(v) : v.toFixed(1); }
  function formatTrendPercent(v) {
    if (v === 0) return '0';
    return v >= 1 ? String(Math.round(v * 100) / 100) : String(Number(v.toPrecision(2)));
  }

  // ---- plots ----

  function svg(tag, attrs, parent, text) {
    const el = document.createElementNS(SVG_NS, tag);
    for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, String(v));
    if (text !== undefined) el.textContent = text;
    parent.appendChild(el);
    return el;
  }

  function drawPlot(plot, value, live) {
    const { fig, svg: root, summary, percentiles } = plot;
    plot.value = value;
    plot.live = live;
    const width = Math.max(240, Math.round(root.clientWidth || 360));
    const height = Math.max(150, Math.round(root.clientHeight || 200));
    const m = { left: 48, right: 12, top: 16, bottom: 30 };
    const w = width - m.left - m.right;
    const h = height - m.top - m.bottom;
    // Redrawing unchanged data would only reset a tooltip the user is reading.
    const key = `${width}x${height}:${live}:${plot.countScale}:${JSON.stringify(value)}`;
    if (plot.drawn === key) return;
    plot.drawn = key;
    root.setAttribute('viewBox', `0 0 ${width} ${height}`);
    root.replaceChildren();

    const pairs = binPairs(value);
    const entries = pairs.reduce((s, [, c]) => s + c, 0);
    const label = svg('title', {}, root);
    fig.dataset.entries = String(entries);

    if (pairs.length === 0) {
      const text = live ? 'no data yet' : 'statistics off';
      svg('rect', { class: 'axis', x: m.left, y: m.top, width: w, height: h }, root);
      svg('text', { class: 'empty', x: m.left + w / 2, y: m.top + h / 2, 'text-anchor': 'middle' }, root, text);
      label.textContent = `${plot.title}: ${text}`;
      fig.dataset.bars = '0';
      fig.dataset.clamped = '0';
      fig.dataset.scale = 'none';
      fig.dataset.countScale = 'none';
      fig.dataset.empty = text;
      for (const p of ['p50', 'p90', 'p99']) delete fig.dataset[p];
      percentiles.textContent = '';
      summary.textContent = live ? 'No data yet.' : '';
      plot.logToggle.parentElement.hidden = true;
      return;
    }
    fig.dataset.empty = '';
    plot.logToggle.parentElement.hidden = false;

    const minBin = pairs[0][0];
    const maxBin = pairs[pairs.length - 1][0];
    const scale = chooseScale(minBin, maxBin);
    const x = axisMap(scale, m.left, w);
    const bars = layoutBars(pairs, x);
    const peak = bars.reduce((a, b) => Math.max(a, b.count), 0);
    const countScale = plot.countScale || chooseCountScale(bars.map((b) => b.count));
    plot.logToggle.checked = countScale === 'log';
    let y;
    let yTicks;
    if (countScale === 'log') {
      const axis = logCountAxis(bars.reduce((a, b) => Math.min(a, b.count), peak), peak);
      const a = Math.log10(axis.lo);
      const span = Math.log10(axis.hi) - a;
      y = (c) => m.top + h - ((Math.log10(Math.max(c, axis.lo)) - a) / span) * h;
      yTicks = axis.ticks;
    } else {
      const yTop = niceCeiling(peak);
      y = (c) => m.top + h - (c / yTop) * h;
      yTicks = [0, yTop / 2, yTop];
    }

    for (const t of yTicks) {
      if (t > 0) svg('line', { class: 'grid', x1: m.left, x2: m.left + w, y1: y(t), y2: y(t) }, root);
      svg('text', { x: m.left - 4, y: y(t) + 4, 'text-anchor': 'end' }, root,
        countScale === 'log' ? compactFormat.format(t) : formatInt(t));
    }
    for (const t of axisTicks(scale)) {
      const tx = x(t);
      if (tx < m.left - 0.5 || tx > m.left + w + 0.5) continue;
      svg('line', { class: 'axis', x1: tx, x2: tx, y1: m.top + h, y2: m.top + h + 4 }, root);
      svg('text', { x: tx, y: m.top + h + 15, 'text-anchor': 'middle' }, root, formatTick(t));
    }
    svg('text', { x: m.left + w, y: height - 2, 'text-anchor': 'end' }, root,
      scale.kind === 'log' ? 'ms (log scale)' : 'ms');
    if (countScale === 'log') {
      svg('text', { x: m.left + 4, y: m.top - 4, 'text-anchor': 'start' }, root, 'count (log scale)');
    }

    let clamped = 0;
    for (const bar of bars) {
      const barHeight = Math.max(2, m.top + h - y(bar.count));
      const rect = svg('rect', {
        class: bar.clamped ? 'bar clamped' : 'bar',
        x: bar.x.toFixed(2),
        y: (m.top + h - barHeight).toFixed(2),
        width: bar.width.toFixed(2),
        height: barHeight.toFixed(2),
      }, root);
      let tip;
      if (bar.clamped) {
        clamped = bar.count;
        tip = `${formatInt(bar.count)} at ${LAST_BIN} ms or longer (last bin)`;
      } else if (bar.first === bar.last) {
        tip = bar.first === 0
          ? `below 1 ms (negative times included): ${formatInt(bar.count)}`
          : `${bar.first} to ${bar.first + 1} ms: ${formatInt(bar.count)}`;
      } else {
        tip = `${bar.first === 0 ? 'below 1 ms' : `${bar.first} ms`} to ${bar.last + 1} ms: ` +
          `${formatInt(bar.sum)} in all, up to ${formatInt(bar.count)} per 1 ms bin`;
      }
      svg('title', {}, rect, tip);
      if (bar.clamped) {
        const lx = Math.min(bar.x + bar.width, m.left + w);
        svg('text', { class: 'clamped', x: lx, y: m.top - 4, 'text-anchor': 'end' }, root, `≥${LAST_BIN} ms`);
      }
    }
    svg('line', { class: 'axis', x1: m.left, x2: m.left + w, y1: m.top + h, y2: m.top + h }, root);
    svg('line', { class: 'axis', x1: m.left, x2: m.left, y1: m.top, y2: m.top + h }, root);

    fig.dataset.bars = String(bars.length);
    fig.dataset.clamped = String(clamped);
    fig.dataset.scale = scale.kind;
    fig.dataset.countScale = countScale;

    const p = percentileBins(pairs);
    for (const name of ['p50', 'p90', 'p99']) fig.dataset[name] = String(p[name]);
    percentiles.textContent = `p50 ${binLabel(p.p50)} · p90 ${binLabel(p.p90)} · p99 ${binLabel(p.p99)}`;

    const peakBin = pairs.reduce((a, b) => (b[1] > a[1] ? b : a));
    const low = minBin === 0 ? 'below 1 ms' : formatMs(minBin);
    const high = maxBin === LAST_BIN ? `${LAST_BIN} ms or longer` : formatMs(maxBin + 1);
    let range = `from ${low} to ${high}`;
    if (minBin === maxBin && minBin === 0) range = 'all below 1 ms';
    if (minBin === maxBin && minBin === LAST_BIN) range = `all at ${LAST_BIN} ms or longer`;
    let most = `at ${formatMs(peakBin[0])}`;
    if (peakBin[0] === 0) most = 'below 1 ms';
    if (peakBin[0] === LAST_BIN) most = 'in the last bin';
    const text = `${formatInt(entries)} entries ${range}; most ${most}.`;
    label.textContent = `${plot.title} distribution: ${text} ${percentiles.textContent}.`;
    summary.replaceChildren(document.createTextNode(text));
    if (clamped) {
      const note = document.createElement('span');
      note.className = 'clamped-note';
      note.textContent = ` ${formatInt(clamped)} at ${LAST_BIN} ms or longer, counted in the last bin.`;
      summary.appendChild(note);
    }
  }

  function niceCeiling(v) {
    if (!(v > 0)) return 1;
    const power = Math.pow(10, Math.floor(Math.log10(v)));
    for (const f of [1, 1.2, 1.5, 2, 2.5, 3, 4, 5, 6, 8, 10]) {
      if (f * power >= v) return f * power;
    }
    return 10 * power;
  }

  // ---- reading ----

  // locations: [[name, properties], ...] in the server's order.
  function render(locations) {
    const now = performance.now();
    const seen = new Set();
    let objects = 0;
    locations.forEach(([location, properties], i) => {
      let section = sections.get(location);
      if (!section) {
        section = createSection(location);
        sections.set(location, section);
      }
      if (objectsEl.children[i] !== section.root) {
        objectsEl.insertBefore(section.root, objectsEl.children[i] || null);
      }
      baseNames(properties).forEach((base, k) => {
        const key = `${location}\u0000${base}`;
        seen.add(key);
        let card = cards.get(key);
        if (!card) {
          card = createCard(location, base);
          cards.set(key, card);
        }
        const list = section.objects;
        if (list.children[k] !== card.root) list.insertBefore(card.root, list.children[k] || null);
        renderCard(card, properties, now);
        objects += 1;
      });
    });
    for (const [key, card] of cards) {
      if (!seen.has(key)) {
        card.root.remove();
        cards.delete(key);
      }
    }
    const names = new Set(locations.map(([location]) => location));
    for (const [location, section] of sections) {
      if (!names.has(location)) {
        section.root.remove();
        sections.delete(location);
      }
    }
    objectsEl.dataset.locations = String(locations.length);
    noObjectsEl.hidden = objects !== 0;
  }

  async function fetchJson(url, options) {
    const controller = new AbortController();
    const timer = setTimeout(() => controller.abort(), FETCH_TIMEOUT_MS);
    try {
      const response = await fetch(url, { cache: 'no-store', ...options, signal: controller.signal });
      let body = null;
      try { body = await response.json(); } catch (e) { body = null; }
      return { status: response.status, ok: response.ok, body };
    } finally {
      clearTimeout(timer);
    }
  }

  function describeFailure(error) {
    if (error && error.name === 'AbortError') return `no answer within ${FETCH_TIMEOUT_MS / 1000} s`;
    return 'the server cannot be reached';
  }

  function showConnection(state, text) {
    connectionEl.dataset.state = state;
    connectionEl.textContent = text;
  }

  function showServerTrouble(reason) {
    const since = lastGood ? ` Values shown are from ${lastGood.toLocaleTimeString()}.` : '';
    serverErrorEl.textContent = `No data: ${reason}. Retrying every ${RETRY_MS / 1000} s.${since}`;
    serverErrorEl.hidden = false;
    objectsEl.classList.add('stale');
    for (const card of cards.values()) {
      card.samples = [];
      setText(card.roles.rate, DASH, null);
    }
    addTrendGap(performance.now());
    showConnection('error', 'Disconnected');
  }

  function showServerGood() {
    lastGood = new Date();
    updates += 1;
    objectsEl.dataset.updates = String(updates);
    objectsEl.classList.remove('stale');
    serverErrorEl.hidden = true;
    serverErrorEl.textContent = '';
    updatedEl.dateTime = lastGood.toISOString();
    updatedEl.textContent = lastGood.toLocaleTimeString();
    showConnection('ok', 'Live');
  }

  function locationApi(location) {
    return hasLocations ? `${LOCATIONS_API}/${encodeURIComponent(location)}/properties` : SINGLE_LOCATION_API;
  }

  // Throws an Error whose message completes "No data: ".
  async function readProperties(url) {
    const reply = await fetchJson(url);
    const properties = reply.body && reply.body.properties;
    if (!reply.ok) throw new Error(`the server answered HTTP ${reply.status}`);
    if (!properties || typeof properties !== 'object') throw new Error('the server sent an unexpected reply');
    return properties;
  }

  // The names of the locations, or [''] for a server with one location at
  // the older path (it answers the list with 404).
  async function readLocations() {
    const reply = await fetchJson(LOCATIONS_API);
    if (reply.status === 404) {
      hasLocations = false;
      return [''];
    }
    const names = reply.body && reply.body.locations;
    if (!reply.ok) throw new Error(`the server answered HTTP ${reply.status}`);
    if (!Array.isArray(names) || !names.every((n) => typeof n === 'string')) {
      throw new Error('the server sent an unexpected reply');
    }
    hasLocations = true;
    return names;
  }

  async function readOnce() {
    const locations = [];
    try {
      for (const name of await readLocations()) {
        locations.push([name, await readProperties(locationApi(name))]);
      }
    } catch (error) {
      showServerTrouble(error instanceof TypeError || (error && error.name === 'AbortError')
        ? describeFailure(error) : error.message);
      return false;
    }
    render(locations);
    showServerGood();
    return true;
  }

  // One read at a time, the next one a moment after the last answer, so a
  // slow server is never asked faster than it answers.
  async function poll() {
    let ok = false;
    try {
      ok = await readOnce();
    } finally {
      setTimeout(poll, ok ? REFRESH_MS : RETRY_MS);
    }
  }

  // ---- writing ----

  function showMessage(card, kind, text) {
    const el = card.roles.message;
    el.dataset.kind = kind;
    el.textContent = text;
  }

  // Returns the reply's value, or throws an Error whose message is for the user.
  async function writeProperty(card, name, value) {
    const headers = { 'Content-Type': 'application/json' };
    const token = tokenEl.value.trim();
    if (token) headers.Authorization = `Bearer ${token}`;
    let reply;
    try {
      reply = await fetchJson(`${locationApi(card.location)}/${encodeURIComponent(name)}`, {
        method: 'PUT',
        headers,
        body: JSON.stringify({ value }),
      });
    } catch (error) {
      throw new Error(`Not written: ${describeFailure(error)}.`);
    }
    if (reply.status === 403) {
      throw new Error(token
        ? 'Refused (403): the write token is wrong. Check the token above.'
        : 'Refused (403): enter the server\'s write token above to make changes.');
    }
    const detail = reply.body && typeof reply.body.error === 'string' ? `: ${reply.body.error}` : '';
    if (reply.status === 404) throw new Error(`Not written: ${name} does not exist now${detail}.`);
    if (!reply.ok) throw new Error(`Not written: the server answered HTTP ${reply.status}${detail}.`);
    return reply.body ? reply.body.value : undefined;
  }

  async function writeSwitch(card) {
    const sw = card.roles.switch;
    const wanted = sw.checked ? 1 : 0;
    const name = card.base + SUFFIX.on;
    card.writing += 1;
    sw.disabled = true;
    try {
      const value = await writeProperty(card, name, wanted);
      sw.checked = Number(value) !== 0;
      showMessage(card, 'ok', `Statistics switched ${sw.checked ? 'on' : 'off'}.`);
    } catch (error) {
      sw.checked = !wanted;
      showMessage(card, 'error', error.message);
    } finally {
      card.writing -= 1;
      sw.disabled = false;
    }
  }

  async function writePeriod(card) {
    const input = card.roles.period;
    const text = input.value.trim();
    const wanted = Number(text);
    if (!/^\d+$/.test(text) || !Number.isSafeInteger(wanted) || wanted < 1) {
      showMessage(card, 'error', 'The period is a whole number of seconds, 1 or more.');
      input.focus();
      return;
    }
    const name = card.base + SUFFIX.lostPeriod;
    const apply = card.roles['period-apply'];
    apply.disabled = true;
    try {
      const value = await writeProperty(card, name, wanted);
      card.periodDirty = false;
      input.value = value === undefined ? text : String(value);
      if (Number(value) === wanted) {
        showMessage(card, 'ok', `Period set to ${wanted} s.`);
      } else {
        showMessage(card, 'error', `The server kept the period at ${value} s.`);
      }
    } catch (error) {
      showMessage(card, 'error', error.message);
    } finally {
      apply.disabled = false;
    }
  }

  window.daqDashboard = {
    chooseScale, axisTicks, binPairs, layoutBars, rateFrom, lossFrom, pruneTrend, stripPath, axisMap, LAST_BIN,
    percentileBins, binLabel, chooseCountScale, logCountAxis, trendSpan, timeTicks, formatAgo,
  };
  poll();
})();
