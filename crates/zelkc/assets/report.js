// The report's script: draws the memory map of the tile and phase range the
// address names, from the frames, marks and style the page's data carries.
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

  // A name longer than `room` pixels keeps its first characters and gets
  // an ellipsis; the buffer's tooltip has it whole.
  function shorten(node, name, room) {
    var length = node.getComputedTextLength ? node.getComputedTextLength() : 0;
    if (length <= room) { return; }
    var characters = Array.from(name);
    var kept = Math.min(characters.length - 1, Math.floor(characters.length * room / length));
    for (; kept >= 0; --kept) {
      node.textContent = characters.slice(0, kept).join("") + "\u2026";
      if (kept === 0 || node.getComputedTextLength() <= room) { return; }
    }
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

  // Every how many phases a number is written when `count` phases share the
  // frame's width.
  function labelStep(count) {
    var steps = data.map_style.phase_label_steps;
    for (var i = 0; i < steps.length - 1; ++i) {
      if (count <= steps[i][1]) { return steps[i][0]; }
    }
    return steps[steps.length - 1][0];
  }

  function phaseName(phase) {
    if (phase >= data.phases.length) { return "after the last phase"; }
    return data.phases[phase] === null ? "exchange" : data.phases[phase];
  }

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

  // Marks as the C++ side lays them out: [element, {attributes}, text].
  function drawMarks(marks, parent) {
    marks.forEach(function (mark) {
      var node = element(mark[0], mark[1], parent);
      if (mark.length > 2) { node.textContent = mark[2]; }
    });
  }

  function drawMap(tile, run, from, to) {
    var frame = run ? run.frame : data.empty_frame;
    var marks = data.maps[run ? run.map : data.empty_map];
    var style = data.map_style;
    var buffers = run ? run.buffers : [];
    var column = frame.width / (to - from + 1);
    var x = function (phase) { return frame.left + (phase - from) * column; };
    var y = function (offset) { return frame.top + offset / frame.shown_bytes * frame.height; };
    var width = frame.picture_width;
    var height = frame.picture_height;
    map.setAttribute("width", width);
    map.setAttribute("height", height);
    map.setAttribute("viewBox", "0 0 " + width + " " + height);

    drawMarks(marks.backdrop, map);
    drawMarks(marks.window, map);
    for (var phase = from; phase <= to && phase < data.phases.length; ++phase) {
      if (data.phases[phase] === null) {
        element("rect", { "class": "exchange", x: x(phase), y: frame.top, width: column,
          height: frame.height, fill: style.exchange_fill }, map);
      }
    }
    var step = labelStep(to - from + 1);
    for (var label = Math.ceil(from / step) * step; label <= to; label += step) {
      text(map, x(label) + column / 2, frame.phase_label_y, String(label), { "text-anchor": "middle" });
    }
    drawMarks(marks.axes, map);

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
        stroke: style.buffer_stroke, "stroke-width": style.buffer_stroke_width }, group);
      if (h >= style.label_min_height && w >= style.label_min_width) {
        var clip = element("svg", { x: left, y: top, width: w, height: h }, group);
        shorten(text(clip, style.label_x,
          Math.min(h / 2 + style.label_below_middle, style.label_most_y), tensor[0]),
          tensor[0], w - 2 * style.label_x);
      }
      ++drawn;
    });

    if (buffers.length === 0) { drawMarks([marks.empty], map); }
    drawMarks(marks.limits, map);
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
      words += " Tiles " + run.tiles + " have the same memory map.";
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
    option.textContent = (group.first === group.last ? "tile " : "tiles ") + group.tiles + ": " + group.tensors +
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
