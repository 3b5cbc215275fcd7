// Says on arrival, in words, when this browser or this way of opening the
// page cannot work, and what to use instead. A classic script, not a module:
// it runs where the page's modules cannot (a page of several files opened
// from a folder, an old browser). The message stands in the page's HTML, for
// a browser that runs no script at all; this takes it away when all is well.
(function () {
  // Puts `text` in `box`, each long flag (--engine=builtin) in a span that
  // keeps it on one line: a break after its dashes would have it typed as
  // two words. The page's alerts (messages.js) write their text with it too.
  window.movdithSay = function (box, text) {
    box.textContent = '';
    var parts = text.split(/(--[a-z][\w=.-]*)/);
    for (var i = 0; i < parts.length; ++i) {
      if (i % 2 === 0) {
        box.appendChild(document.createTextNode(parts[i]));
      } else {
        var flag = document.createElement('span');
        flag.className = 'whole';
        flag.textContent = parts[i];
        box.appendChild(flag);
      }
    }
  };
  var box = document.getElementById('unsupported');
  var instead = ' Or convert on a computer with the command line: movdith movie.mp4 movie.8xx --engine=builtin.';
  var browsers = 'Use a recent Chrome or Edge (94 or newer), Firefox (130 or newer) or Safari (16.4 or newer).';
  var problem = '';
  if (location.protocol === 'file:' && document.querySelector('script[type="module"][src]')) {
    problem = 'This copy of the page is made of several files, and browsers run those only from a web server, not ' +
      'from a folder on your computer. Open movdith.html, the one-file page, instead: it works from a folder.';
  } else if (typeof WebAssembly !== 'object') {
    problem = 'This browser cannot run the converter: it has no WebAssembly (or it is turned off). ' + browsers + instead;
  } else if (typeof VideoDecoder !== 'function') {
    problem = 'This browser has no WebCodecs: the page reads movies through its video player instead, which is ' +
      'slower and may give slightly different frames. ' + browsers + instead;
  }
  if (problem) window.movdithSay(box, problem);
  else box.remove();
})();
