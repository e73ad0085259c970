// Draws the report's charts from the data the page carries, with the charting library that is
// written into the page above this script. Every canvas then says whether its series were
// really drawn (data-drawn="yes": pixels of a series' colour inside the plot area) and how many
// points it got, so that a browser test checks the pictures and not only the page.
(function () {
  'use strict';
  var body = document.body;
  var problems = [];

  function note(problem) {
    problems.push(problem);
    body.setAttribute('data-problems', problems.join(' | '));
  }
  window.addEventListener('error', function (event) { note(String(event.message)); });

  function rgb(hex) {
    return [parseInt(hex.substr(1, 2), 16), parseInt(hex.substr(3, 2), 16),
            parseInt(hex.substr(5, 2), 16)];
  }

  function dataset(series, index, stacked) {
    var points = series.points.map(function (p) { return { x: p[0], y: p[1] }; });
    var isPoints = series.style === 'points';
    var isArea = series.style === 'area';
    return {
      label: series.label,
      data: points,
      yAxisID: series.axis,
      borderColor: series.color,
      backgroundColor: isArea ? series.color + '99' : series.color,
      borderWidth: 2,
      borderDash: series.dashed ? [6, 4] : [],
      showLine: !isPoints,
      pointStyle: series.marker,
      pointRadius: points.length === 1 ? Math.max(series.radius, 3) : series.radius,
      pointHoverRadius: isPoints ? 8 : 4,
      fill: isArea ? (stacked && index > 0 ? '-1' : 'origin') : false,
      tension: 0
    };
  }

  function config(chart) {
    var scales = {
      x: { type: chart.log_x ? 'logarithmic' : 'linear',
           title: { display: true, text: chart.x } },
      y: { beginAtZero: true, stacked: chart.stacked,
           title: { display: true, text: chart.y } }
    };
    if (chart.log_x) {
      // Ticks at the sweep's own steps (1, 2, 4, 8 ...), not at the axis's 1, 2, 5, 10.
      var steps = [];
      chart.series.forEach(function (s) {
        s.points.forEach(function (p) { if (steps.indexOf(p[0]) < 0) steps.push(p[0]); });
      });
      steps.sort(function (a, b) { return a - b; });
      scales.x.afterBuildTicks = function (axis) {
        axis.ticks = steps.map(function (v) { return { value: v }; });
      };
      scales.x.ticks = { autoSkip: false, callback: function (value) { return String(value); } };
    }
    if (chart.y2) {
      scales.y2 = { position: 'right', beginAtZero: true, grid: { drawOnChartArea: false },
                    ticks: { precision: 0 }, title: { display: true, text: chart.y2 } };
    }
    return {
      type: 'line',
      data: { datasets: chart.series.map(function (s, i) { return dataset(s, i, chart.stacked); }) },
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        responsive: true,
        maintainAspectRatio: false,
        interaction: { mode: 'nearest', axis: 'x', intersect: false },
        plugins: { legend: { position: 'bottom', labels: { usePointStyle: true } } },
        scales: scales
      }
    };
  }

  // True when some pixel inside the plot area has the colour of one of the chart's series.
  function seriesDrawn(instance, colours) {
    var area = instance.chartArea;
    var ratio = instance.currentDevicePixelRatio || 1;
    var left = Math.floor(area.left * ratio), top = Math.floor(area.top * ratio);
    var width = Math.ceil((area.right - area.left) * ratio);
    var height = Math.ceil((area.bottom - area.top) * ratio);
    if (width <= 0 || height <= 0) return false;
    var pixels = instance.ctx.getImageData(left, top, width, height).data;
    for (var i = 0; i < pixels.length; i += 4) {
      if (pixels[i + 3] < 200) continue;
      for (var c = 0; c < colours.length; ++c) {
        var d = Math.abs(pixels[i] - colours[c][0]) + Math.abs(pixels[i + 1] - colours[c][1]) +
                Math.abs(pixels[i + 2] - colours[c][2]);
        if (d < 40) return true;
      }
    }
    return false;
  }

  function draw(chart) {
    var canvas = document.getElementById(chart.id);
    if (!canvas) { note('no canvas for chart ' + chart.id); return false; }
    var points = 0;
    chart.series.forEach(function (s) { points += s.points.length; });
    canvas.setAttribute('data-points', String(points));
    var instance = new Chart(canvas.getContext('2d'), config(chart));
    var drawn = seriesDrawn(instance, chart.series.map(function (s) { return rgb(s.color); }));
    canvas.setAttribute('data-drawn', drawn ? 'yes' : 'no');
    return drawn;
  }

  var data = JSON.parse(document.getElementById('report-data').textContent);
  var drawn = 0;
  if (typeof Chart === 'undefined') {
    note('the charting library did not load');
  } else {
    Chart.defaults.font.family = 'system-ui, sans-serif';
    data.charts.forEach(function (chart) {
      try {
        if (draw(chart)) ++drawn;
      } catch (error) {
        note('chart ' + chart.id + ': ' + error);
      }
    });
  }
  body.setAttribute('data-charts', String(data.charts.length));
  body.setAttribute('data-charts-drawn', String(drawn));
})();
