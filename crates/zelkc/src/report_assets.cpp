// The report's inline style sheet and script.
#include "report_assets.hpp"

namespace zelkc {

const std::string_view kReportStyle = R"css(
body { font-family: sans-serif; margin: 24px 32px; color: #222222; max-width: 1280px; }
h1 { font-size: 22px; margin-bottom: 4px; }
h2 { font-size: 17px; margin-top: 28px; border-bottom: 1px solid #dddddd; padding-bottom: 4px; }
pre { background: #f6f6f2; padding: 10px 14px; border: 1px solid #e0e0da; overflow-x: auto; }
.note { color: #555555; font-size: 13px; }
.chart a rect.peak-bar { fill: #8db8e0; }
.chart a:hover rect.peak-bar { fill: #4a86c5; }
.chart a.chosen rect.peak-bar { fill: #f0a04b; }
.chart rect.bound-mark { fill: #1f3b5a; }
#map-box { overflow-x: auto; border: 1px solid #e0e0da; }
table { border-collapse: collapse; font-size: 13px; }
th, td { text-align: left; vertical-align: top; padding: 3px 10px; border-bottom: 1px solid #eeeeee; }
td { white-space: nowrap; }
td.transfers { white-space: normal; }
tr.exchange td { background: #eef1f8; }
td.transfers { font-family: monospace; }
)css";

// The memory map follows the layout of memory_map.cpp, so the page and the
// --memory-map picture of a tile look alike.
const std::string_view kReportScript = R"js(
(function () {
  "use strict";
  var NS = "http://www.w3.org/2000/svg";
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var doc = data.document;
  var schedule = doc.schedule;
  var options = doc.options;
  var byTile = {};
  data.tiles.forEach(function (row) { byTile[row.tile] = row; });

  function hex(value) { return "0x" + value.toString(16).toUpperCase(); }

  function element(name, attributes, parent) {
    var node = document.createElementNS(NS, name);
    Object.keys(attributes).forEach(function (key) { node.setAttribute(key, attributes[key]); });
    if (parent) { parent.appendChild(node); }
    return node;
  }

  function text(parent, x, y, content, attributes) {
    var node = element("text", Object.assign({ x: x, y: y }, attributes || {}), parent);
    node.textContent = content;
    return node;
  }

  // Columns for phases 0 to N (outputs stay live one phase past the last);
  // the whole data window when the tile fills much of it, otherwise a
  // little more than the peak, rounded to a power-of-two tick step.
  function frameFor(phases, windowBytes, peak) {
    var frame = { left: 110, top: 92, height: 520, columns: phases + 1 };
    frame.column = Math.min(48, Math.max(4, 760 / frame.columns));
    frame.width = frame.columns * frame.column;
    var wanted = Math.max(peak + Math.floor(peak / 5), 1024);
    var span = wanted >= Math.floor(windowBytes / 3) * 2 ? windowBytes : wanted;
    var step = 1;
    while (Math.floor(span / step) > 8) { step *= 2; }
    frame.tick = step;
    frame.shown = span === windowBytes ? windowBytes : Math.ceil(span / step) * step;
    frame.shown = Math.max(frame.shown, 1);
    frame.x = function (phase) { return frame.left + phase * frame.column; };
    frame.y = function (offset) { return frame.top + offset / frame.shown * frame.height; };
    return frame;
  }

  function chosenTile() {
    var match = /^#tile=(\d+)$/.exec(window.location.hash);
    return match ? Number(match[1]) : data.default_tile;
  }

  function draw(tile) {
    var map = document.getElementById("memory-map");
    while (map.firstChild) { map.removeChild(map.firstChild); }
    var caption = document.getElementById("map-caption");
    if (!(tile >= 0 && tile < schedule.tile_count)) {
      caption.textContent = "There is no tile " + tile + " in this schedule (tiles 0 to " +
        (schedule.tile_count - 1) + ").";
      map.setAttribute("data-tile", String(tile));
      map.setAttribute("data-buffers", "0");
      map.setAttribute("width", "0");
      map.setAttribute("height", "0");
      return;
    }
    var buffers = schedule.allocations.filter(function (a) { return a.tile === tile; });
    var row = byTile[tile] || { peak: 0, lower_bound: 0 };
    var windowBytes = Math.max(options.data_limit - options.data_base, 1);
    var frame = frameFor(schedule.phases.length, windowBytes, row.peak);
    var right = frame.left + frame.width;
    var bottom = frame.top + frame.height;
    var width = right + 170;
    var height = bottom + 56;
    map.setAttribute("width", width);
    map.setAttribute("height", height);
    map.setAttribute("viewBox", "0 0 " + width + " " + height);

    element("rect", { width: "100%", height: "100%", fill: "#ffffff" }, map);
    element("rect", { "class": "data-window", x: frame.left, y: frame.top, width: frame.width,
      height: frame.height, fill: "#f6f6f2", stroke: "#888888" }, map);
    schedule.phases.forEach(function (phase, index) {
      if (phase.variant === "Exchange") {
        element("rect", { "class": "exchange", x: frame.x(index), y: frame.top,
          width: frame.column, height: frame.height, fill: "#e2e6f0" }, map);
      }
    });
    var every = frame.column >= 18 ? 1 : (frame.column >= 8 ? 5 : 10);
    for (var phase = 0; phase < frame.columns; phase += every) {
      text(map, frame.x(phase) + frame.column / 2, frame.top - 8, String(phase),
        { "text-anchor": "middle" });
    }
    text(map, frame.left + frame.width / 2, frame.top - 26, "phase",
      { "text-anchor": "middle", fill: "#555555" });
    for (var offset = 0; offset <= frame.shown; offset += frame.tick) {
      var y = frame.y(offset);
      element("line", { x1: frame.left - 5, y1: y, x2: frame.left, y2: y, stroke: "#888888" }, map);
      text(map, frame.left - 8, y + 4, hex(options.data_base + offset), { "text-anchor": "end" });
      if (frame.shown - offset < frame.tick) { break; }
    }

    buffers.forEach(function (buffer) {
      var tensor = doc.tensors[buffer.tensor];
      var last = Math.max(buffer.live_until, buffer.live_from);
      var x = frame.x(buffer.live_from);
      var top = frame.y(buffer.address - options.data_base);
      var w = (last - buffer.live_from + 1) * frame.column;
      var h = Math.max(frame.y(buffer.address - options.data_base + buffer.size) - top, 1);
      var group = element("g", { "class": "buffer", "data-tensor": buffer.tensor }, map);
      element("title", {}, group).textContent = tensor.name + " (tensor " + buffer.tensor + "): " +
        buffer.size + " bytes at " + hex(buffer.address) + ", phases " + buffer.live_from +
        " to " + buffer.live_until;
      element("rect", { x: x, y: top, width: w, height: h,
        fill: data.palette[buffer.tensor % data.palette.length],
        stroke: "#333333", "stroke-width": 0.8 }, group);
      if (h >= 10) {
        var clip = element("svg", { x: x, y: top, width: w, height: h }, group);
        text(clip, 3, Math.min(h / 2 + 4, 13), tensor.name);
      }
    });

    var peakY = frame.y(row.peak);
    element("line", { "class": "peak", x1: frame.left, y1: peakY, x2: right + 6, y2: peakY,
      stroke: "#c0392b", "stroke-width": 1.5, "stroke-dasharray": "6 3" }, map);
    text(map, right + 10, peakY + 4, "peak " + row.peak + " B (" +
      hex(options.data_base + row.peak) + ")", { fill: "#c0392b" });
    text(map, right + 10, frame.top + 4, "data_base " + hex(options.data_base), { fill: "#555555" });
    if (frame.shown >= windowBytes) {
      text(map, right + 10, bottom + 4, "data_limit " + hex(options.data_limit), { fill: "#555555" });
    } else {
      text(map, frame.left, bottom + 22, "The data window goes on to data_limit " +
        hex(options.data_limit) + " (" + windowBytes + " bytes); the picture shows its first " +
        frame.shown + " bytes.", { fill: "#555555" });
    }

    map.setAttribute("data-tile", String(tile));
    map.setAttribute("data-buffers", String(buffers.length));
    caption.textContent = "Tile " + tile + ": " + buffers.length + " buffers, peak " + row.peak +
      " bytes, lower bound " + row.lower_bound + " bytes. Shaded columns are exchange phases.";
    var select = document.getElementById("tile-select");
    select.value = String(tile);
    document.querySelectorAll(".chart a").forEach(function (bar) {
      bar.setAttribute("class", bar.getAttribute("data-tile") === String(tile) ? "chosen" : "");
    });
  }

  var select = document.getElementById("tile-select");
  data.tiles.forEach(function (row) {
    var option = document.createElement("option");
    option.value = String(row.tile);
    option.textContent = "tile " + row.tile + " (peak " + row.peak + " B)";
    select.appendChild(option);
  });
  select.addEventListener("change", function () {
    window.location.hash = "tile=" + select.value;
  });
  window.addEventListener("hashchange", function () { draw(chosenTile()); });
  draw(chosenTile());
})();
)js";

}  // namespace zelkc
