"use strict";
// A framework event (an HTTP exchange, an SQL statement, a log record, a request and its response)
// reads as the line the server made of it, as `vesk show` prints it; other plugin records keep
// their fields.
(function () {
  const fields = vesk.eventText;
  vesk.eventText = function (node) {
    return typeof node.line === "string" ? node.line : fields(node);
  };
})();
