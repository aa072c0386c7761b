// The script of a tallymere report page. It fills the tables and draws the
// charts from the page's data block (JSON). Names from the repository are
// set as text (textContent) or drawn on a canvas, never parsed as markup.
// It runs before Chart.js, so that it records the errors of every script
// after it: they are shown on the page and kept in the root element's
// data-script-errors attribute; data-page="drawn" says the page is complete.
(function () {
  'use strict';
  var root = document.documentElement;
  var errors = [];
  var palette = ['#4e79a7', '#f28e2b', '#e15759', '#76b7b2', '#59a14f', '#edc948', '#b07aa1', '#ff9da7',
                 '#9c755f', '#86bcb6'];
  var restColour = '#bab0ac';

  function record(text) {
    errors.push(String(text));
    root.setAttribute('data-script-errors', errors.join('\n'));
    var box = document.getElementById('script-errors');
    if (box) {
      box.textContent = 'The page could not be drawn whole: ' + errors.join('; ');
      box.hidden = false;
    }
  }
  window.addEventListener('error', function (event) {
    record(event.message || 'a script failed');
  });
  document.addEventListener('securitypolicyviolation', function (event) {
    record('the page\u2019s policy blocked ' + event.violatedDirective);
  });

  // Control characters as their pictures (U+2400 on), as the page's own
  // text shows them: a name's line break or escape stays visible.
  function shown(text) {
    return String(text).replace(/[\u0000-\u001f\u007f]/g, function (c) {
      var code = c.charCodeAt(0);
      return String.fromCharCode(code === 0x7f ? 0x2421 : 0x2400 + code);
    });
  }
  // Long names are cut on the charts' axes and legends; the tables hold them whole.
  function shortened(text) {
    var all = shown(text);
    return all.length > 40 ? all.slice(0, 39) + '\u2026' : all;
  }

  // Rows of cells, the last two of each (the count and its share) numbers;
  // with `rest`, the last row is the "other" row.
  function fillTable(body, rows, rest) {
    if (!body) return;
    rows.forEach(function (cells, index) {
      var row = body.insertRow();
      if (rest && index === rows.length - 1) row.className = 'rest';
      cells.forEach(function (text, column) {
        var cell = row.insertCell();
        cell.textContent = shown(text);
        if (column >= cells.length - 2) cell.className = 'num';
      });
    });
  }

  function axisLabels() {
    return {
      autoSkip: true,
      callback: function (value) { return shortened(this.getLabelForValue(value)); }
    };
  }

  function drawLevel(canvas, level) {
    if (!canvas || level.counts.length === 0) return;
    canvas.parentNode.style.height = (level.counts.length * 26 + 48) + 'px';
    var colours = level.counts.map(function (count, index) {
      return level.rest && index === level.counts.length - 1 ? restColour : palette[0];
    });
    new Chart(canvas, {
      type: 'bar',
      data: {
        labels: level.labels.map(shown),
        datasets: [{ label: 'Events', data: level.counts, backgroundColor: colours }]
      },
      options: {
        indexAxis: 'y',
        animation: false,
        responsive: true,
        maintainAspectRatio: false,
        plugins: { legend: { display: false } },
        scales: { y: { ticks: axisLabels() }, x: { beginAtZero: true } }
      }
    });
  }

  function drawTime(canvas, time) {
    if (!canvas) return;
    var colour = 0;
    var datasets = time.series.map(function (series) {
      return {
        label: shortened(series.label),
        data: series.counts,
        backgroundColor: series.rest ? restColour : palette[colour++ % palette.length]
      };
    });
    new Chart(canvas, {
      type: 'bar',
      data: { labels: time.periods, datasets: datasets },
      options: {
        animation: false,
        responsive: true,
        maintainAspectRatio: false,
        datasets: { bar: { categoryPercentage: 1, barPercentage: 0.9 } },
        plugins: { legend: { position: 'bottom' } },
        scales: {
          x: { stacked: true, ticks: axisLabels(), grid: { display: false } },
          y: { stacked: true, beginAtZero: true }
        }
      }
    });
  }

  function draw() {
    var data = JSON.parse(document.getElementById('page-data').textContent);
    var charts = typeof Chart === 'function';
    if (charts) Chart.defaults.font.family = getComputedStyle(document.body).fontFamily;
    data.levels.forEach(function (level, index) {
      fillTable(document.getElementById('level-' + index), level.cells, level.rest);
      if (charts) drawLevel(document.getElementById('level-' + index + '-chart'), level);
    });
    if (charts && data.time) drawTime(document.getElementById('time-chart'), data.time);
    fillTable(document.getElementById('rows-table'), data.rows, false);
    root.setAttribute('data-page', 'drawn');
  }
  document.addEventListener('DOMContentLoaded', draw);
})();
