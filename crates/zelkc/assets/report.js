(function () {
  "use strict";
  var NS = "http://www.w3.org/2000/svg";
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var map = document.getElementById("memory-map");
  var caption = document.getElementById("map-caption");
  var chart = document.getElementById("group-chart");
  var tileInput = document.getElementById("tile-input");
  var groupSelect = document.getElementById("group-select");
  var phaseFrom = document.getElementById("phase-from");
  var phaseTo = document.getElementById("phase-to");
  var lastColumn = data.phases.length;  // outputs stay live one phase past the last

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

  function runOf(tile) {
    var low = 0;
    var high = data.runs.length - 1;
    while (low <= high) {
      var middle = (low + high) >> 1;
      var run = data.runs[middle];
      if (tile < run.first) { high = middle - 1; } else if (tile > run.last) { low = middle + 1; }
      else { return run; }
    }
    return null;
  }

  function groupIndexOf(tile) {
    for (var i = 0; i < data.groups.length; ++i) {
      if (tile >= data.groups[i].first && tile <= data.groups[i].last) { return i; }
    }
    return -1;
  }

  // The first of 1, 2, 5, 10, 20, 50, ... phases whose labels keep `spacing`
  // pixels apart.
  function labelStep(column, spacing) {
    for (var decade = 1; ; decade *= 10) {
      var multiples = [1, 2, 5];
      for (var i = 0; i < multiples.length; ++i) {
        if (decade * multiples[i] * column >= spacing || decade > 1e15) { return decade * multiples[i]; }
      }
    }
  }

  function phaseName(phase) {
    if (phase >= data.phases.length) { return "after the last phase"; }
    return data.phases[phase] === null ? "exchange" : data.phases[phase];
  }

  function tileRange(first, last) { return first === last ? String(first) : first + "-" + last; }

  // "#tile=5" or "#tile=5&phases=10-40".
  function readView() {
    var match = /^#tile=(\d+)(?:&phases=(\d+)-(\d+))?$/.exec(window.location.hash);
    var view = { tile: data.default_tile, from: 0, to: lastColumn };
    if (match) {
      view.tile = Number(match[1]);
      if (match[2] !== undefined) {
        view.from = Math.min(Number(match[2]), lastColumn);
        view.to = Math.min(Number(match[3]), lastColumn);
        if (view.from > view.to) { var swap = view.from; view.from = view.to; view.to = swap; }
      }
    }
    return view;
  }

  function show(view) {
    var hash = "tile=" + view.tile;
    if (view.from !== 0 || view.to !== lastColumn) { hash += "&phases=" + view.from + "-" + view.to; }
    window.location.hash = hash;
  }

  function clear(node) { while (node.firstChild) { node.removeChild(node.firstChild); } }

  function drawMap(tile, run, from, to) {
    var frame = run ? run.frame : data.empty_frame;
    var buffers = run ? run.buffers : [];
    var column = frame.width / (to - from + 1);
    var x = function (phase) { return frame.left + (phase - from) * column; };
    var y = function (offset) { return frame.top + offset / frame.shown_bytes * frame.height; };
    var right = frame.left + frame.width;
    var bottom = frame.top + frame.height;
    var width = frame.picture_width;
    var height = frame.picture_height;
    map.setAttribute("width", width);
    map.setAttribute("height", height);
    map.setAttribute("viewBox", "0 0 " + width + " " + height);

    element("rect", { width: "100%", height: "100%", fill: "#ffffff" }, map);
    element("rect", { "class": "data-window", x: frame.left, y: frame.top, width: frame.width,
      height: frame.height, fill: "#f6f6f2", stroke: "#888888" }, map);
    for (var phase = from; phase <= to && phase < data.phases.length; ++phase) {
      if (data.phases[phase] === null) {
        element("rect", { "class": "exchange", x: x(phase), y: frame.top, width: column,
          height: frame.height, fill: "#e2e6f0" }, map);
      }
    }
    var step = labelStep(column, frame.label_spacing);
    for (var label = Math.ceil(from / step) * step; label <= to; label += step) {
      text(map, x(label) + column / 2, frame.top - 8, String(label), { "text-anchor": "middle" });
    }
    text(map, frame.left + frame.width / 2, frame.top - 26, "phase",
      { "text-anchor": "middle", fill: "#555555" });
    for (var offset = 0; offset <= frame.shown_bytes; offset += frame.tick_bytes) {
      element("line", { x1: frame.left - 5, y1: y(offset), x2: frame.left, y2: y(offset),
        stroke: "#888888" }, map);
      text(map, frame.left - 8, y(offset) + 4, hex(data.data_base + offset), { "text-anchor": "end" });
      if (frame.shown_bytes - offset < frame.tick_bytes) { break; }
    }

    var drawn = 0;
    buffers.forEach(function (buffer) {
      var tensor = data.tensors[buffer[0]];
      var first = buffer[3];
      var last = Math.max(buffer[4], first);
      if (last < from || first > to) { return; }
      var left = x(Math.max(first, from));
      var w = x(Math.min(last, to) + 1) - left;
      var top = y(buffer[1]);
      var h = Math.max(y(buffer[1] + buffer[2]) - top, 1);
      var group = element("g", { "class": "buffer", "data-tensor": buffer[0] }, map);
      element("title", {}, group).textContent = tensor[0] + " (" + tensor[1].toLowerCase() +
        ", tensor " + buffer[0] + "): " + buffer[2] + " bytes at " + hex(data.data_base + buffer[1]) +
        ", live from phase " + first + " (" + phaseName(first) + ") to " + buffer[4] + " (" +
        phaseName(buffer[4]) + ")";
      element("rect", { x: left, y: top, width: w, height: h, fill: tensor[2],
        stroke: "#333333", "stroke-width": 0.8 }, group);
      if (h >= 10 && w >= 24) {
        var clip = element("svg", { x: left, y: top, width: w, height: h }, group);
        text(clip, 3, Math.min(h / 2 + 4, 13), tensor[0]);
      }
      ++drawn;
    });

    if (buffers.length === 0) {
      text(map, frame.left + 12, frame.top + 24, "No buffers on this tile.");
    }
    var peak = run ? run.peak : 0;
    var peakY = y(peak);
    element("line", { "class": "peak", x1: frame.left, y1: peakY, x2: right + 6, y2: peakY,
      stroke: "#c0392b", "stroke-width": 1.5, "stroke-dasharray": "6 3" }, map);
    text(map, right + 10, Math.min(Math.max(peakY + 4, frame.top + 18), bottom - 10),
      "peak " + peak + " B (" + hex(data.data_base + peak) + ")", { fill: "#c0392b" });
    text(map, right + 10, frame.top + 4, "data_base " + hex(data.data_base), { fill: "#555555" });
    if (frame.shown_bytes >= frame.window_bytes) {
      text(map, right + 10, bottom + 4, "data_limit " + hex(data.data_limit), { fill: "#555555" });
    } else {
      text(map, frame.left, bottom + 22, "The data window goes on to data_limit " +
        hex(data.data_limit) + " (" + frame.window_bytes + " bytes); the picture shows its first " +
        frame.shown_bytes + " bytes.", { fill: "#555555" });
    }
    return drawn;
  }

  function draw() {
    var view = readView();
    var tile = view.tile;
    clear(map);
    if (!(tile < data.tile_count)) {
      caption.textContent = "There is no tile " + tile + " in this schedule (tiles 0 to " +
        (data.tile_count - 1) + ").";
      map.setAttribute("width", "0");
      map.setAttribute("height", "0");
      map.setAttribute("data-tile", String(tile));
      map.setAttribute("data-buffers", "0");
      return;
    }
    var run = runOf(tile);
    var drawn = drawMap(tile, run, view.from, view.to);
    map.setAttribute("data-tile", String(tile));
    map.setAttribute("data-buffers", String(drawn));
    var count = run ? run.buffers.length : 0;
    var words = "Tile " + tile + ": " + count + " buffers, peak " + (run ? run.peak : 0) +
      " bytes, lower bound " + (run ? run.lower_bound : 0) + " bytes.";
    if (run && run.last > run.first) {
      words += " Tiles " + tileRange(run.first, run.last) + " have the same memory map.";
    }
    if (view.from !== 0 || view.to !== lastColumn) {
      words += " Phases " + view.from + " to " + view.to + ": " + drawn + " buffers live.";
    }
    caption.textContent = words;

    tileInput.value = String(tile);
    phaseFrom.value = String(view.from);
    phaseTo.value = String(view.to);
    var groupIndex = groupIndexOf(tile);
    groupSelect.value = String(groupIndex);
    chart.querySelectorAll("a.group").forEach(function (bar) {
      var chosen = tile >= Number(bar.getAttribute("data-first")) &&
        tile <= Number(bar.getAttribute("data-last"));
      bar.setAttribute("class", chosen ? "group chosen" : "group");
    });
    document.getElementById("chosen-tile").setAttribute("x", String(
      Number(chart.getAttribute("data-left")) + tile * Number(chart.getAttribute("data-tile-width"))));
  }

  var none = document.createElement("option");
  none.value = "-1";
  none.textContent = "(a tile without buffers)";
  groupSelect.appendChild(none);
  data.groups.forEach(function (group, index) {
    var option = document.createElement("option");
    option.value = String(index);
    option.textContent = "tiles " + tileRange(group.first, group.last) + ": " + group.tensors +
      " tensors, peak " + group.peak + " B";
    groupSelect.appendChild(option);
  });
  groupSelect.addEventListener("change", function () {
    var group = data.groups[Number(groupSelect.value)];
    if (group) { var view = readView(); view.tile = group.first; show(view); }
  });
  tileInput.addEventListener("change", function () {
    var view = readView();
    view.tile = Math.max(0, Math.floor(Number(tileInput.value)) || 0);
    show(view);
  });
  function range() {
    var view = readView();
    view.from = Math.max(0, Math.min(Math.floor(Number(phaseFrom.value)) || 0, lastColumn));
    view.to = Math.max(0, Math.min(Math.floor(Number(phaseTo.value)) || 0, lastColumn));
    if (view.from > view.to) { var swap = view.from; view.from = view.to; view.to = swap; }
    show(view);
  }
  phaseFrom.addEventListener("change", range);
  phaseTo.addEventListener("change", range);
  document.getElementById("all-phases").addEventListener("click", function () {
    var view = readView();
    view.from = 0;
    view.to = lastColumn;
    show(view);
  });
  document.getElementById("map-controls").addEventListener("submit", function (event) {
    event.preventDefault();
  });

  // A bar stands for a whole group: choose the tile under the pointer.
  chart.addEventListener("click", function (event) {
    var bar = event.target.closest("a.group");
    if (!bar) { return; }
    event.preventDefault();
    var point = chart.createSVGPoint();
    point.x = event.clientX;
    point.y = event.clientY;
    var local = point.matrixTransform(chart.getScreenCTM().inverse());
    var tile = Math.floor((local.x - Number(chart.getAttribute("data-left"))) /
      Number(chart.getAttribute("data-tile-width")));
    var view = readView();
    view.tile = Math.min(Math.max(tile, Number(bar.getAttribute("data-first"))),
      Number(bar.getAttribute("data-last")));
    show(view);
  });

  // An exchange's pairs are listed when asked for.
  document.addEventListener("toggle", function (event) {
    var details = event.target;
    if (!details.open || details.getAttribute("data-filled")) { return; }
    var list = data.pairs[details.getAttribute("data-phase")][Number(details.getAttribute("data-group"))];
    var same = true;
    for (var i = 5; i < list.length; i += 3) { same = same && list[i] === list[2]; }
    var words = [];
    for (var j = 0; j < list.length; j += 3) {
      words.push(list[j] + "\u2192" + list[j + 1] + (same ? "" : " (" + list[j + 2] + " B)"));
    }
    details.querySelector(".pairs").textContent = words.join("  ");
    details.setAttribute("data-filled", "yes");
  }, true);

  window.addEventListener("hashchange", draw);
  draw();
})();
