// Charts and sortable tables of the velmora-scan report. No library, no
// network: everything is drawn as SVG from the JSON block in the page.
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("report-data").textContent);
  const NS = "http://www.w3.org/2000/svg";

  function el(name, attrs, parent) {
    const node = document.createElementNS(NS, name);
    for (const key in attrs) node.setAttribute(key, attrs[key]);
    if (parent) parent.appendChild(node);
    return node;
  }
  function svg(width, height, parent) {
    return el("svg", { viewBox: `0 0 ${width} ${height}`, width: width, height: height }, parent);
  }
  function title(node, text) {
    el("title", {}, node).textContent = text;
  }

  // Values at which a metric turns from green through amber to red; the
  // cyclomatic ones are the rank bounds of the tables.
  const HOT = { cyclomatic: [5, 10, 20, 40], cognitive: [5, 15, 25, 50], essential: [1, 4, 8, 15],
                nesting: [1, 3, 4, 6], longest_path: [8, 16, 30, 60] };
  const COLOURS = ["#5aa469", "#a7c957", "#f2c14e", "#f08a4b", "#c0392b"];
  function colour(metric, value) {
    const bounds = HOT[metric];
    let i = 0;
    while (i < bounds.length && value > bounds[i]) i++;
    return COLOURS[i];
  }

  // -- distribution per metric --------------------------------------------
  function histograms() {
    const host = document.getElementById("histograms");
    for (const metric of data.metrics) {
      const pairs = data.histograms[metric];
      const box = document.createElement("div");
      box.className = "hist";
      box.dataset.metric = metric;
      const head = document.createElement("h4");
      head.textContent = data.labels[metric];
      const note = document.createElement("span");
      note.className = "note";
      head.appendChild(note);
      box.appendChild(head);
      host.appendChild(box);
      const W = 250, H = 120, pad = 18;
      const s = svg(W, H + pad, box);
      if (!pairs.length) continue;
      const lo = pairs[0][0], hi = pairs[pairs.length - 1][0];
      const bins = Math.min(40, hi - lo + 1);
      const width = (hi - lo + 1) / bins;
      const counts = new Array(bins).fill(0);
      for (const [value, n] of pairs) counts[Math.min(bins - 1, Math.floor((value - lo) / width))] += n;
      const top = Math.max(...counts);
      const bw = W / bins;
      counts.forEach((n, i) => {
        if (!n) return;
        const h = Math.max(1, H * Math.sqrt(n / top));
        const from = Math.ceil(lo + i * width), to = Math.ceil(lo + (i + 1) * width) - 1;
        const bar = el("rect", { x: i * bw + 0.5, y: H - h, width: Math.max(1, bw - 1), height: h,
                                 fill: colour(metric, from), class: "bar" }, s);
        title(bar, `${data.labels[metric]} ${from === to || to < from ? from : from + "–" + to}: ${n} functions`);
      });
      el("text", { x: 0, y: H + 13 }, s).textContent = lo;
      el("text", { x: W, y: H + 13, "text-anchor": "end" }, s).textContent = hi;
      note.textContent = ` (tallest bar: ${top} functions)`;
    }
  }

  // -- treemap of modules ---------------------------------------------------
  // Squarified layout (Bruls, Huizing, van Wijk): rows of rectangles laid
  // along the shorter side, a row closed when adding one more would make
  // its worst aspect ratio worse.
  function squarify(items, x, y, w, h) {
    const total = items.reduce((a, it) => a + it.size, 0);
    const out = [];
    if (total <= 0 || w <= 0 || h <= 0) return out;
    const scale = (w * h) / total;
    const rest = items.map((it) => ({ item: it, area: it.size * scale })).sort((a, b) => b.area - a.area);
    let i = 0;
    while (i < rest.length) {
      const side = Math.min(w, h);
      let row = [rest[i]], sum = rest[i].area, j = i + 1;
      const worst = (r, s) => {
        const mx = Math.max(...r.map((q) => q.area)), mn = Math.min(...r.map((q) => q.area));
        return Math.max((side * side * mx) / (s * s), (s * s) / (side * side * mn));
      };
      while (j < rest.length) {
        const next = row.concat([rest[j]]);
        if (worst(next, sum + rest[j].area) > worst(row, sum)) break;
        row = next; sum += rest[j].area; j++;
      }
      const thick = sum / side;
      let offset = 0;
      for (const q of row) {
        const len = q.area / thick;
        if (w >= h) out.push({ item: q.item, x: x, y: y + offset, w: thick, h: len });
        else out.push({ item: q.item, x: x + offset, y: y, w: len, h: thick });
        offset += len;
      }
      if (w >= h) { x += thick; w -= thick; } else { y += thick; h -= thick; }
      i = j;
    }
    return out;
  }

  function treemap() {
    const host = document.getElementById("treemap-chart");
    const select = document.getElementById("treemap-metric");
    for (const metric of data.metrics) {
      const opt = document.createElement("option");
      opt.value = metric;
      opt.textContent = data.labels[metric];
      select.appendChild(opt);
    }
    const groups = new Map();
    for (const m of data.modules) {
      const cut = m.name.lastIndexOf(".");
      const pkg = cut > 0 ? m.name.slice(0, cut) : "(top level)";
      if (!groups.has(pkg)) groups.set(pkg, []);
      groups.get(pkg).push({ size: m.lines, module: m });
    }
    const W = 1200, H = data.modules.length < 12 ? 240 : 520;
    const s = svg(W, H, host);
    const outer = squarify([...groups].map(([name, items]) => ({
      name: name, items: items, size: items.reduce((a, it) => a + it.size, 0) })), 0, 0, W, H);
    const rects = [];
    for (const g of outer) {
      const pad = g.w > 40 && g.h > 40 ? 14 : 0;
      for (const r of squarify(g.item.items, g.x + 1, g.y + pad + 1, g.w - 2, g.h - pad - 2)) {
        const m = r.item.module;
        const rect = el("rect", { x: r.x, y: r.y, width: Math.max(0, r.w - 1), height: Math.max(0, r.h - 1),
                                  class: "module", "data-module": m.name }, s);
        title(rect, `${m.name} (${m.file})\n${m.lines} lines, ${m.functions} functions\n` +
              data.metrics.map((k) => `highest ${data.labels[k]}: ${m.max[k]}`).join("\n"));
        rects.push([rect, m]);
        if (r.w > 70 && r.h > 16) {
          const label = el("text", { x: r.x + 4, y: r.y + 12, fill: "#1d2430" }, s);
          label.textContent = m.name.slice(m.name.lastIndexOf(".") + 1);
        }
      }
      el("rect", { x: g.x, y: g.y, width: g.w, height: g.h, fill: "none", stroke: "#1f2a3a", "stroke-width": 1.5 }, s);
      if (pad) el("text", { x: g.x + 4, y: g.y + 11, fill: "#1d2430", "font-weight": "600" }, s).textContent = g.item.name;
    }
    const legend = document.getElementById("treemap-legend");
    function paint() {
      const metric = select.value;
      for (const [rect, m] of rects) rect.setAttribute("fill", colour(metric, m.max[metric]));
      const b = HOT[metric];
      legend.innerHTML = "";
      const names = [`≤ ${b[0]}`, `≤ ${b[1]}`, `≤ ${b[2]}`, `≤ ${b[3]}`, `> ${b[3]}`];
      COLOURS.forEach((c, i) => {
        const chip = document.createElement("span");
        chip.style.background = c;
        legend.appendChild(chip);
        legend.appendChild(document.createTextNode(names[i]));
      });
    }
    select.addEventListener("change", paint);
    paint();
  }

  // -- module graph ---------------------------------------------------------
  // Fruchterman–Reingold from a circle, a fixed number of rounds: the same
  // picture every time the page opens.
  function graph() {
    const host = document.getElementById("graph-chart");
    const g = data.graph;
    if (!g.nodes.length) { host.textContent = "No modules."; return; }
    const W = 1200, H = 560, n = g.nodes.length;
    const pos = g.nodes.map((_, i) => [W / 2 + (W / 3) * Math.cos((2 * Math.PI * i) / n),
                                       H / 2 + (H / 3) * Math.sin((2 * Math.PI * i) / n)]);
    const k = Math.sqrt((W * H) / n) * 0.6;
    let temp = W / 10;
    for (let round = 0; round < 300; round++) {
      const disp = pos.map(() => [0, 0]);
      for (let a = 0; a < n; a++) {
        for (let b = a + 1; b < n; b++) {
          let dx = pos[a][0] - pos[b][0], dy = pos[a][1] - pos[b][1];
          const d = Math.max(0.01, Math.hypot(dx, dy)), f = (k * k) / d;
          dx /= d; dy /= d;
          disp[a][0] += dx * f; disp[a][1] += dy * f;
          disp[b][0] -= dx * f; disp[b][1] -= dy * f;
        }
      }
      for (const [a, b] of g.edges) {
        let dx = pos[a][0] - pos[b][0], dy = pos[a][1] - pos[b][1];
        const d = Math.max(0.01, Math.hypot(dx, dy)), f = (d * d) / k;
        dx /= d; dy /= d;
        disp[a][0] -= dx * f; disp[a][1] -= dy * f;
        disp[b][0] += dx * f; disp[b][1] += dy * f;
      }
      for (let a = 0; a < n; a++) {
        const d = Math.max(0.01, Math.hypot(disp[a][0], disp[a][1]));
        pos[a][0] = Math.min(W - 20, Math.max(20, pos[a][0] + (disp[a][0] / d) * Math.min(d, temp)));
        pos[a][1] = Math.min(H - 20, Math.max(20, pos[a][1] + (disp[a][1] / d) * Math.min(d, temp)));
      }
      temp *= 0.985;
    }
    const s = svg(W, H, host);
    el("defs", {}, s).innerHTML =
      '<marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="6" markerHeight="6" orient="auto">' +
      '<path d="M0,0 L10,5 L0,10 z" fill="#9aa5b4"/></marker>';
    for (const [a, b] of g.edges) {
      el("line", { x1: pos[a][0], y1: pos[a][1], x2: pos[b][0], y2: pos[b][1], stroke: "#b8c1cc",
                   "stroke-width": 1, "marker-end": "url(#arrow)", class: "import" }, s);
    }
    const worst = Math.min(...g.bottlenecks.map((b) => b[2]), -0.01);
    for (const [a, b, c] of g.bottlenecks) {
      const line = el("line", { x1: pos[a][0], y1: pos[a][1], x2: pos[b][0], y2: pos[b][1], stroke: "#c0392b",
                                "stroke-width": 1.5 + 3.5 * (c / worst), class: "bottleneck" }, s);
      title(line, `${g.nodes[a].name} — ${g.nodes[b].name}: curvature ${c}`);
    }
    g.nodes.forEach((node, i) => {
      const dot = el("circle", { cx: pos[i][0], cy: pos[i][1], r: 3 + Math.sqrt(node.degree), fill: "#2c6cb0",
                                 "fill-opacity": 0.85, class: "node" }, s);
      title(dot, `${node.name}: ${node.degree} import edges`);
      if (node.label) {
        const t = el("text", { x: pos[i][0] + 6, y: pos[i][1] - 6, fill: "#1d2430" }, s);
        t.textContent = node.name;
      }
    });
    if (g.shown < g.total) {
      el("text", { x: 8, y: H - 8 }, s).textContent =
        `${g.shown} of ${g.total} modules: the ends of the bottleneck edges and the most connected ones`;
    }
  }

  // -- entropy profile --------------------------------------------------------
  function profiles() {
    const host = document.getElementById("profiles");
    for (const p of data.profiles) {
      const row = document.createElement("div");
      row.className = "profile";
      const name = document.createElement("div");
      name.className = "name";
      name.textContent = p.file;
      name.title = `${p.file}: variance ${p.variance}`;
      row.appendChild(name);
      const W = 800, H = 34;
      const s = svg(W, H, row);
      s.setAttribute("class", "sparkline");
      const n = p.blocks.length;
      const step = n > 1 ? W / (n - 1) : W;
      const points = p.blocks.map((e, i) => `${(i * step).toFixed(1)},${(H - 2 - e * (H - 4)).toFixed(1)}`);
      el("polyline", { points: points.join(" "), fill: "none", stroke: "#2c6cb0", "stroke-width": 1.5 }, s);
      title(s, `${n} blocks of ${data.blockSize} characters, entropy ${Math.min(...p.blocks)}–${Math.max(...p.blocks)}`);
      host.appendChild(row);
    }
  }

  // -- sortable tables ----------------------------------------------------------
  function sortable() {
    for (const table of document.querySelectorAll("table.sortable")) {
      const heads = table.querySelectorAll("th");
      heads.forEach((th, col) => {
        th.addEventListener("click", () => {
          const body = table.tBodies[0];
          const desc = !th.classList.contains("sorted-desc");
          heads.forEach((h) => h.classList.remove("sorted-asc", "sorted-desc"));
          th.classList.add(desc ? "sorted-desc" : "sorted-asc");
          const key = (row) => {
            const cell = row.cells[col];
            const text = cell.dataset.v !== undefined ? cell.dataset.v : cell.textContent;
            const num = Number(text);
            return text !== "" && !Number.isNaN(num) ? num : text;
          };
          const rows = [...body.rows].map((r, i) => [key(r), i, r]);
          rows.sort((a, b) => {
            let c = 0;
            if (typeof a[0] === "number" && typeof b[0] === "number") c = a[0] - b[0];
            else c = String(a[0]).localeCompare(String(b[0]));
            return (desc ? -c : c) || a[1] - b[1];
          });
          for (const r of rows) body.appendChild(r[2]);
        });
      });
    }
  }

  histograms();
  treemap();
  graph();
  profiles();
  sortable();
  document.body.dataset.ready = "1";
})();
