// Draws a section to scale as SVG from its parameters: I and H sections, channels, angles, rectangular and
// circular hollow sections. Every length is in millimetres; the drawing is in pixels, `data-scale` px per mm.
"use strict";

(function () {
  const SVG = "http://www.w3.org/2000/svg";
  const BOX = 320;  // the largest side of a section, in pixels
  const MARGIN = 90;
  const TO_MM = { mm: 1, cm: 10, dm: 100, m: 1000, in: 25.4, ft: 304.8 };

  function el(name, attributes, text) {
    const e = document.createElementNS(SVG, name);
    for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, String(v));
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // The lengths of a pattern, in mm, keyed by lower-case name; parameters that are not lengths are left out.
  function lengths(parameters) {
    const out = {};
    for (const p of parameters) {
      const factor = TO_MM[(p.unit || "mm").toLowerCase()];
      if (factor && typeof p.value === "number" && isFinite(p.value) && p.value > 0)
        out[p.name.toLowerCase()] = p.value * factor;
    }
    return out;
  }

  // Which shape a family holds: told by its code or name first, by its parameters otherwise.
  function shapeOf(family, code, l) {
    const words = (code + " " + family).toUpperCase();
    if ((l.d || l.od) && l.t && !l.b) return "chs";
    if (/\b(CHS|ROR|TUBE|PIPE)/.test(words)) return "chs";
    if (/\b(RHS|SHS|HSS|MSH|ROR|HOHL)/.test(words)) return "rhs";
    if (/^\s*L|\bANGLE/.test(words)) return "angle";
    if (/^\s*(U|C)|\b(UPN|UPE|UAP|CHANNEL|PFC)/.test(words)) return "channel";
    if (l.h && l.b && l.t && !l.tw) return "rhs";
    return "i";
  }

  function fmt(mm) {
    return (Math.round(mm * 10) / 10).toString();
  }

  // A dimension line from (x1, y1) to (x2, y2) with ticks at both ends and its label beside the middle.
  function dimension(g, x1, y1, x2, y2, label, dx, dy) {
    g.appendChild(el("line", { x1, y1, x2, y2, class: "dim", "data-dim": label.split(" ")[0] }));
    const nx = y2 - y1, ny = x1 - x2, n = Math.hypot(nx, ny) || 1;
    for (const [x, y] of [[x1, y1], [x2, y2]])
      g.appendChild(el("line", { x1: x - 4 * nx / n, y1: y - 4 * ny / n, x2: x + 4 * nx / n, y2: y + 4 * ny / n,
                                 class: "dim" }));
    g.appendChild(el("text", { x: (x1 + x2) / 2 + dx, y: (y1 + y2) / 2 + dy, class: "dimtext",
                               "text-anchor": dx < 0 ? "end" : dx > 0 ? "start" : "middle" }, label));
  }

  // The outline as a path in section millimetres (origin top left, y down), traversed clockwise so that every
  // root radius is the arc "A r r 0 0 0".
  function iPath(h, b, tw, tf, r) {
    const c = b / 2, w = tw / 2;
    return `M0 0 H${b} V${tf} H${c + w + r} A${r} ${r} 0 0 0 ${c + w} ${tf + r} V${h - tf - r} ` +
      `A${r} ${r} 0 0 0 ${c + w + r} ${h - tf} H${b} V${h} H0 V${h - tf} H${c - w - r} ` +
      `A${r} ${r} 0 0 0 ${c - w} ${h - tf - r} V${tf + r} A${r} ${r} 0 0 0 ${c - w - r} ${tf} H0 Z`;
  }
  function channelPath(h, b, tw, tf, r) {
    return `M0 0 H${b} V${tf} H${tw + r} A${r} ${r} 0 0 0 ${tw} ${tf + r} V${h - tf - r} ` +
      `A${r} ${r} 0 0 0 ${tw + r} ${h - tf} H${b} V${h} H0 Z`;
  }
  function anglePath(h, b, t, r) {
    return `M0 0 H${t} V${h - t - r} A${r} ${r} 0 0 0 ${t + r} ${h - t} H${b} V${h} H0 Z`;
  }
  function roundRect(x, y, w, h, r) {
    r = Math.max(0, Math.min(r, w / 2, h / 2));
    return `M${x + r} ${y} H${x + w - r} A${r} ${r} 0 0 1 ${x + w} ${y + r} V${y + h - r} ` +
      `A${r} ${r} 0 0 1 ${x + w - r} ${y + h} H${x + r} A${r} ${r} 0 0 1 ${x} ${y + h - r} V${y + r} ` +
      `A${r} ${r} 0 0 1 ${x + r} ${y} Z`;
  }
  function circle(cx, cy, r) {
    return `M${cx - r} ${cy} A${r} ${r} 0 1 1 ${cx + r} ${cy} A${r} ${r} 0 1 1 ${cx - r} ${cy} Z`;
  }

  // Returns the <svg>, or a note saying which parameters are missing.
  function draw(family, code, parameters) {
    const l = lengths(parameters);
    const shape = shapeOf(family || "", code || "", l);
    let h, b, path, need;
    const tw = l.tw || l.s || l.t, tf = l.tf || l.t, r = l.r || l.r1 || 0;
    if (shape === "chs") {
      const d = l.d || l.od;
      need = d && l.t && l.t < d / 2;
      h = b = d;
      if (need) path = circle(d / 2, d / 2, d / 2) + " " + circle(d / 2, d / 2, d / 2 - l.t);
    } else if (shape === "rhs") {
      h = l.h;
      b = l.b || l.h;
      const t = l.t || l.tw;
      need = h && b && t && 2 * t < Math.min(h, b);
      const ro = l.r || l.ro || 1.5 * t || 0, ri = l.ri || Math.max(ro - t, 0);
      if (need) path = roundRect(0, 0, b, h, ro) + " " + roundRect(t, t, b - 2 * t, h - 2 * t, ri);
    } else if (shape === "angle") {
      h = l.h || l.a;
      b = l.b || h;
      const t = l.t || l.tw;
      need = h && b && t && t + r < Math.min(h, b);
      if (need) path = anglePath(h, b, t, r);
    } else {
      h = l.h;
      b = l.b;
      need = h && b && tw && tf && tw + 2 * r < b && 2 * (tf + r) < h;
      if (need) path = shape === "channel" ? channelPath(h, b, tw, tf, r) : iPath(h, b, tw, tf, r);
    }
    if (!need) {
      const note = document.createElement("p");
      note.className = "note";
      note.textContent = "No drawing: the lengths this section needs (h, b, tw, tf, r or t, D) are missing or do not fit.";
      return note;
    }
    const scale = BOX / Math.max(h, b);
    const width = b * scale + 2 * MARGIN, height = h * scale + 2 * MARGIN;
    const svg = el("svg", { width, height, viewBox: `0 0 ${width} ${height}`, "data-role": "section-drawing",
                            "data-shape": shape, "data-scale": scale, "data-h": h, "data-b": b });
    const g = el("g", { transform: `translate(${MARGIN} ${MARGIN}) scale(${scale})` });
    g.appendChild(el("path", { d: path, class: "outline", "data-part": "outline",
                               "vector-effect": "non-scaling-stroke" }));
    svg.appendChild(g);
    const d = el("g", { transform: `translate(${MARGIN} ${MARGIN})` });
    const H = h * scale, B = b * scale;
    dimension(d, -25, 0, -25, H, `h = ${fmt(h)}`, -6, 4);
    dimension(d, 0, -25, B, -25, `b = ${fmt(b)}`, 0, -6);
    if (shape === "i" || shape === "channel") {
      const x0 = shape === "i" ? (b - tw) / 2 * scale : 0;
      dimension(d, x0, H / 2, x0 + tw * scale, H / 2, `tw = ${fmt(tw)}`, 0, -8);
      dimension(d, B + 20, 0, B + 20, tf * scale, `tf = ${fmt(tf)}`, 6, 4);
    } else if (shape !== "chs" || l.t) {
      const t = l.t || tw;
      dimension(d, B + 20, H - t * scale, B + 20, H, `t = ${fmt(t)}`, 6, 4);
    }
    if (r > 0 && shape !== "chs") {
      // A leader from outside the section to the first root radius's arc.
      const cx = shape === "i" ? (b + tw) / 2 + r : shape === "channel" ? tw + r : (l.t || tw) + r;
      const cy = shape === "angle" ? h - (l.t || tw) - r : shape === "rhs" ? r : tf + r;
      const k = Math.SQRT1_2;
      const ax = (shape === "rhs" ? cx + 0 : cx - r * k) * scale, ay = (shape === "rhs" ? 0 : cy - r * k) * scale;
      if (shape !== "rhs") {
        d.appendChild(el("line", { x1: ax, y1: ay, x2: ax + 40, y2: ay + 40, class: "dim", "data-dim": "r" }));
        d.appendChild(el("text", { x: ax + 42, y: ay + 52, class: "dimtext" }, `r = ${fmt(r)}`));
      }
    }
    svg.appendChild(d);
    return svg;
  }

  window.VdDrawing = { draw, shapeOf, lengths };
})();
